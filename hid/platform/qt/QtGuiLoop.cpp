#include "QtGuiLoop.h"

#include "hid/HidGuiLoop.h"

#include <QCoreApplication>
#include <QObject>
#include <QThread>
#include <QTimer>

#include <stdexcept>

namespace korvalis {

namespace {

// A child of the application object, so posted calls run from its event
// loop (nested ones included) and the adapter goes with it.
class TQtHidGuiLoop final : public QObject, public IHidGuiLoop {
  public:
    explicit TQtHidGuiLoop(QCoreApplication* app) : QObject(app) { InstallHidGuiLoop(this); }
    ~TQtHidGuiLoop() override { ReleaseHidGuiLoop(this); }

    void Post(std::function<void()> call) override {
        QMetaObject::invokeMethod(this, std::move(call), Qt::QueuedConnection);
    }
    void PostDelayed(int milliseconds, std::function<void()> call) override {
        QTimer::singleShot(milliseconds, this, std::move(call));
    }
    bool OnGuiThread() const override { return QThread::currentThread() == thread(); }
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
