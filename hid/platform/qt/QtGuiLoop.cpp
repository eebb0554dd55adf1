#include "QtGuiLoop.h"

#include "hid/HidGuiLoop.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>
#include <QTimer>

#include <stdexcept>

namespace korvalis {

namespace {

// One posted call of the HID layer, as an event of the application's own.
// It can be copied faithfully, so a loop that holds the application's posted
// messages back for a while (the window during an upload) posts it again
// instead of running it in between.
class TQtHidCall final : public QEvent {
  public:
    explicit TQtHidCall(std::function<void()> call) : QEvent(EventType()), FCall(std::move(call)) {}
    static QEvent::Type EventType() {
        static const QEvent::Type type = QEvent::Type(QEvent::registerEventType());
        return type;
    }
    TQtHidCall* clone() const override { return new TQtHidCall(FCall); }
    void Run() const { FCall(); }

  private:
    std::function<void()> FCall;
};

// A child of the application object, so posted calls run from its event
// loop (nested ones included) and the adapter goes with it.
class TQtHidGuiLoop final : public QObject, public IHidGuiLoop {
  public:
    explicit TQtHidGuiLoop(QCoreApplication* app) : QObject(app) { InstallHidGuiLoop(this); }
    ~TQtHidGuiLoop() override { ReleaseHidGuiLoop(this); }

    void Post(std::function<void()> call) override {
        QCoreApplication::postEvent(this, new TQtHidCall(std::move(call)));
    }
    void PostDelayed(int milliseconds, std::function<void()> call) override {
        QTimer::singleShot(milliseconds, this, std::move(call));
    }
    bool OnGuiThread() const override { return QThread::currentThread() == thread(); }

  protected:
    bool event(QEvent* e) override {
        if (e->type() != TQtHidCall::EventType())
            return QObject::event(e);
        static_cast<TQtHidCall*>(e)->Run();
        return true;
    }
};

} // namespace

void UseQtHidGuiLoop() {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        throw std::logic_error("UseQtHidGuiLoop needs the application object");
    if (auto* loop = dynamic_cast<TQtHidGuiLoop*>(HidGuiLoop()); loop && loop->parent() == app)
        return;
    new TQtHidGuiLoop(app);
}

} // namespace korvalis
