#include "QtKeyboardCue.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QStyle>
#include <QWindow>

namespace korvalis {

uint16_t VirtualKeyFromQt(int key, Qt::KeyboardModifiers modifiers) {
    const bool keypad = modifiers & Qt::KeypadModifier;
    if (key >= Qt::Key_0 && key <= Qt::Key_9)
        return uint16_t((keypad ? vk::Numpad0 : vk::Digit0) + (key - Qt::Key_0));
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return uint16_t(vk::LetterA + (key - Qt::Key_A));
    if (key >= Qt::Key_F1 && key <= Qt::Key_F24)
        return uint16_t(vk::F1 + (key - Qt::Key_F1));
    switch (key) {
    case Qt::Key_Backspace:
        return vk::Back;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return vk::Tab;
    case Qt::Key_Clear:
        return vk::Clear;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return vk::Return;
    case Qt::Key_Shift:
        return vk::Shift;
    case Qt::Key_Control:
        return vk::Control;
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
        return vk::Alt;
    case Qt::Key_Pause:
        return vk::Pause;
    case Qt::Key_CapsLock:
        return vk::Capital;
    case Qt::Key_Escape:
        return vk::Escape;
    case Qt::Key_Space:
        return vk::Space;
    case Qt::Key_PageUp:
        return vk::Prior;
    case Qt::Key_PageDown:
        return vk::Next;
    case Qt::Key_End:
        return vk::End;
    case Qt::Key_Home:
        return vk::Home;
    case Qt::Key_Left:
        return vk::Left;
    case Qt::Key_Up:
        return vk::Up;
    case Qt::Key_Right:
        return vk::Right;
    case Qt::Key_Down:
        return vk::Down;
    case Qt::Key_Print:
        return vk::Snapshot;
    case Qt::Key_Insert:
        return vk::Insert;
    case Qt::Key_Delete:
        return vk::Delete;
    case Qt::Key_Help:
        return vk::Help;
    case Qt::Key_Meta:
        return vk::LWin;
    case Qt::Key_Menu:
        return vk::Apps;
    case Qt::Key_NumLock:
        return vk::NumLock;
    case Qt::Key_ScrollLock:
        return vk::Scroll;
    case Qt::Key_Asterisk:
        return keypad ? vk::Multiply : vk::None;
    case Qt::Key_Plus:
        return keypad ? vk::Add : vk::None;
    case Qt::Key_Minus:
        return keypad ? vk::Subtract : vk::None;
    case Qt::Key_Period:
        return keypad ? vk::Decimal : vk::None;
    case Qt::Key_Slash:
        return keypad ? vk::Divide : vk::None;
    default:
        return vk::None;
    }
}

QEvent::Type TQtWindowMessage::EventType() {
    static const QEvent::Type type = QEvent::Type(QEvent::registerEventType());
    return type;
}

void TQtMessagePoster::PostMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (FWindow)
        QCoreApplication::postEvent(FWindow, new TQtWindowMessage(message, wParam, lParam));
}

bool TQtControl::IsWindowed() const {
    if (!FWidget)
        return false;
    return !dynamic_cast<IPictureControl*>(FWidget.data()) && !qobject_cast<QLabel*>(FWidget);
}

bool TQtControl::IsButton() const {
    return qobject_cast<QAbstractButton*>(FWidget) != nullptr;
}

void TQtControl::Refresh() const {
    std::vector<std::unique_ptr<TQtControl>> children;
    if (FWidget) {
        for (QObject* object : FWidget->children()) {
            auto* widget = qobject_cast<QWidget*>(object);
            // Dialogs parented to the window are windows of their own, not controls.
            if (!widget || widget->isWindow())
                continue;
            auto known = std::find_if(FChildren.begin(), FChildren.end(),
                                      [&](const auto& c) { return c && c->FWidget == widget; });
            children.push_back(known != FChildren.end() ? std::move(*known)
                                                        : std::make_unique<TQtControl>(widget));
        }
    }
    FChildren = std::move(children);
}

int TQtControl::ControlCount() const {
    Refresh();
    return int(FChildren.size());
}

IControl& TQtControl::Control(int index) {
    if (index < 0 || size_t(index) >= FChildren.size())
        Refresh();
    if (index < 0 || size_t(index) >= FChildren.size()) {
        // Out of range: a control that is neither windowed nor has children.
        static TQtControl none(nullptr);
        return none;
    }
    return *FChildren[size_t(index)];
}

void TQtControl::RepaintNow() {
    if (FWidget)
        FWidget->repaint();
}

bool TQtVisualStyles::Active() const {
    const QStyle* style = QApplication::style();
    return style && style->styleHint(QStyle::SH_UnderlineShortcut, nullptr, nullptr) == 0;
}

std::unique_ptr<IOneShotTimer> TQtTimerFactory::CreateTimer() {
    return std::make_unique<TQtTimer>(nullptr);
}

TQtKeyDownFilter::TQtKeyDownFilter(QWidget* window, std::function<void(uint16_t)> onKeyDown)
    : FWindow(window), FOnKeyDown(std::move(onKeyDown)) {
    // The window's QWindow is made and remade as the window is shown and
    // hidden, so watch from the application and pick its events out.
    QCoreApplication::instance()->installEventFilter(this);
}

TQtKeyDownFilter::~TQtKeyDownFilter() {
    if (QCoreApplication* app = QCoreApplication::instance())
        app->removeEventFilter(this);
}

bool TQtKeyDownFilter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress || !FWindow || !FOnKeyDown)
        return false;
    if (!watched->isWindowType() || watched != FWindow->windowHandle())
        return false;
    const auto* key = static_cast<const QKeyEvent*>(event);
    FOnKeyDown(VirtualKeyFromQt(key->key(), key->modifiers()));
    return false;
}

} // namespace korvalis
