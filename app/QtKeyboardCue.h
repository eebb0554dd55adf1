#pragma once

// The Qt side of the keyboard-cue fix: the window's control tree, its private
// message queue, the visual-styles rule, the key-down feed and the fix's timer.

#include "QtToolkit.h"
#include "toolkit/KeyboardCue.h"
#include "toolkit/Toolkit.h"

#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

namespace korvalis {

// The desktop's virtual-key code of a Qt key; vk::None for keys without one.
// Shift+TAB arrives from Qt as Backtab and is still TAB; both ALT keys are ALT.
uint16_t VirtualKeyFromQt(int key, Qt::KeyboardModifiers modifiers);

// A private window message as a posted Qt event.
class TQtWindowMessage : public QEvent {
  public:
    TQtWindowMessage(uint32_t message, uintptr_t wParam, intptr_t lParam)
        : QEvent(EventType()), Message(message), WParam(wParam), LParam(lParam) {}
    static QEvent::Type EventType();
    // A whole copy, so a message can wait in the queue while the window is busy.
    TQtWindowMessage* clone() const override {
        return new TQtWindowMessage(Message, WParam, LParam);
    }

    const uint32_t Message;
    const uintptr_t WParam;
    const intptr_t LParam;
};

// Queues messages for one window; they arrive later through its event loop.
// Messages for a window that is gone are dropped.
class TQtMessagePoster : public IMessagePoster {
  public:
    explicit TQtMessagePoster(QObject* window) : FWindow(window) {}
    void PostMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override;

  private:
    QPointer<QObject> FWindow;
};

// A widget in the control walk. Children come in index order: QObject child
// order, which raise() and lower() change like the desktop's z-order. Widgets
// that only draw (picture controls, labels) count as controls without a window
// of their own; every QAbstractButton is a button control.
class TQtControl : public IControl {
  public:
    explicit TQtControl(QWidget* widget) : FWidget(widget) {}
    bool IsWindowed() const override;
    bool IsButton() const override;
    int ControlCount() const override;
    IControl& Control(int index) override;
    void RepaintNow() override;
    QWidget* Widget() const { return FWidget; }

  private:
    void Refresh() const;

    QPointer<QWidget> FWidget;
    // Adaptors are kept per child widget, so references handed out stay valid
    // while that child lives.
    mutable std::vector<std::unique_ptr<TQtControl>> FChildren;
};

// Qt draws keyboard cues through the style: a style that hides the mnemonic
// underlines until ALT is held (the desktop's theme on Windows, and KDE or
// other themes set to hide accelerators) is what the fix exists for. So the
// visual styles count as active exactly when the application's current style
// answers SH_UnderlineShortcut with false. Qt's own Fusion and Windows styles
// underline always, so with them the fix stays idle.
class TQtVisualStyles : public IVisualStyles {
  public:
    bool Active() const override;
};

class TQtTimerFactory : public ITimerFactory {
  public:
    std::unique_ptr<IOneShotTimer> CreateTimer() override;
};

// Feeds every key-down of one top-level window to a handler, ALT alone and
// auto-repeats included, before any widget of the window sees the key. It
// watches the window's QWindow, where each key from the desktop arrives once,
// so a key that bubbles up through the widgets is not reported twice. It never
// consumes a key. Keys that Qt turns into QShortcut activations never reach
// the window and are not reported.
class TQtKeyDownFilter : public QObject {
    Q_OBJECT
  public:
    TQtKeyDownFilter(QWidget* window, std::function<void(uint16_t)> onKeyDown);
    ~TQtKeyDownFilter() override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QPointer<QWidget> FWindow;
    std::function<void(uint16_t)> FOnKeyDown;
};

// A top-level window as the fix sees it.
class TQtFormWindow : public IFormWindow {
  public:
    explicit TQtFormWindow(QWidget* window) : FRoot(window), FMessages(window) {}
    IControl& FormControl() override { return FRoot; }
    IMessagePoster& FormMessages() override { return FMessages; }

  private:
    TQtControl FRoot;
    TQtMessagePoster FMessages;
};

// Everything the window hands to the fix, in one piece the window owns.
class TQtKeyboardCue {
  public:
    TQtKeyboardCue(QWidget* window, std::function<void(uint16_t)> onKeyDown)
        : FForm(window), FKeys(window, std::move(onKeyDown)) {}
    IFormWindow& Form() { return FForm; }
    const IVisualStyles& VisualStyles() const { return FStyles; }
    ITimerFactory& Timers() { return FTimers; }

  private:
    TQtFormWindow FForm;
    TQtVisualStyles FStyles;
    TQtTimerFactory FTimers;
    TQtKeyDownFilter FKeys;
};

} // namespace korvalis
