#include "QtBusyWindow.h"

#include <QCoreApplication>
#include <QEvent>

#include <memory>
#include <typeinfo>

namespace korvalis {

namespace {

// Timers and socket notifiers are where the application's handlers start
// (the data-flash timer, the device monitor, the readers' hand-offs): they
// stay pending, and overdue ones run as soon as the loop turns normally.
constexpr QEventLoop::ProcessEventsFlags kAliveFlags =
    QEventLoop::ExcludeSocketNotifiers | QEventLoop::X11ExcludeTimers;

bool IsUserInput(QEvent::Type type) {
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonRelease:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::NonClientAreaMouseMove:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::InputMethod:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
    case QEvent::TabletPress:
    case QEvent::TabletMove:
    case QEvent::TabletRelease:
    case QEvent::NativeGesture:
    case QEvent::Gesture:
    case QEvent::GestureOverride:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::DragLeave:
    case QEvent::Drop:
    // Closing in the middle would leave the device with half a bundle.
    case QEvent::Close:
        return true;
    default:
        return false;
    }
}

} // namespace

TQtBusyWindow::~TQtBusyWindow() {
    if (FDepth > 0)
        QCoreApplication::instance()->removeEventFilter(this);
}

void TQtBusyWindow::BeginBusy() {
    if (FDepth++ == 0)
        QCoreApplication::instance()->installEventFilter(this);
}

void TQtBusyWindow::KeepAlive() {
    if (FDepth > 0)
        QCoreApplication::processEvents(kAliveFlags);
}

void TQtBusyWindow::EndBusy() {
    if (FDepth == 0)
        return;
    // Input that came in since the last turn is thrown away like the rest;
    // only what arrives after this is the user's next action.
    QCoreApplication::processEvents(kAliveFlags);
    if (--FDepth == 0)
        QCoreApplication::instance()->removeEventFilter(this);
}

bool TQtBusyWindow::eventFilter(QObject* watched, QEvent* event) {
    if (IsUserInput(event->type())) {
        event->ignore();
        return true;
    }
    // Qt's glib dispatcher activates socket notifiers whatever the flags say.
    // A notifier fires again while its descriptor stays ready, so holding the
    // activation back only delays it: the device monitor and the readers'
    // hand-offs run after the upload.
    if (event->type() == QEvent::SockAct)
        return true;
    if (event->type() >= QEvent::User && event->type() <= QEvent::MaxUser) {
        // Only a faithful copy can wait; a message type without its own
        // clone() would come back cut down to a bare QEvent, so it goes
        // through now rather than be lost.
        std::unique_ptr<QEvent> copy(event->clone());
        if (typeid(*copy) == typeid(*event)) {
            QCoreApplication::postEvent(watched, copy.release());
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace korvalis
