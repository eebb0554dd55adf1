#pragma once

// The window kept alive through the upload, on Qt's event loop.

#include "toolkit/Toolkit.h"

#include <QObject>

namespace korvalis {

// While busy, an application-wide filter throws away the user's input (mouse,
// keyboard, touch, tablet, drag and drop, the window manager's close request)
// and puts the application's own posted messages (event types from
// QEvent::User on, such as device changes and private window messages) back
// in the queue. KeepAlive turns the event loop once with timers and socket
// notifiers left pending, so what remains is Qt's own work: painting, expose
// and the window-system protocol, whose liveness pings the platform plugin
// answers as it reads them. Queued slot calls (QEvent::MetaCall) cannot be
// put back and still run; the window makes none that could be pending then.
class TQtBusyWindow : public QObject, public IBusyWindow {
    Q_OBJECT
  public:
    explicit TQtBusyWindow(QObject* parent = nullptr) : QObject(parent) {}
    ~TQtBusyWindow() override;

    void BeginBusy() override;
    void KeepAlive() override;
    void EndBusy() override;
    bool Busy() const { return FDepth > 0; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    int FDepth = 0;
};

} // namespace korvalis
