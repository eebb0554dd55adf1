// The Qt side of the keyboard-cue fix, driven with real Qt events offscreen.
#include "app/MainWindow.h"
#include "app/QtKeyboardCue.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleFactory>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QWindow>
#include <gtest/gtest.h>

#include <map>

namespace korvalis {
namespace {

// Fusion with keyboard cues either hidden until ALT (as the desktop's themes
// draw them) or always shown.
class TCueStyle : public QProxyStyle {
  public:
    explicit TCueStyle(bool hideCues)
        : QProxyStyle(QStyleFactory::create(QStringLiteral("fusion"))), FHideCues(hideCues) {}
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* data) const override {
        if (hint == SH_UnderlineShortcut)
            return FHideCues ? 0 : 1;
        return QProxyStyle::styleHint(hint, option, widget, data);
    }

  private:
    bool FHideCues;
};

// Puts a style in place for one test and restores Qt's Fusion afterwards.
struct TStyleScope {
    explicit TStyleScope(QStyle* style) { QApplication::setStyle(style); }
    ~TStyleScope() { QApplication::setStyle(QStringLiteral("fusion")); }
};

// A key from the desktop, through the window system layer, delivered before
// this returns; posted events stay queued.
void DesktopKey(QWindow* window, QEvent::Type type, Qt::Key key,
                Qt::KeyboardModifiers modifiers = Qt::NoModifier, bool autoRepeat = false) {
    qt_handleKeyEvent(window, type, key, modifiers, QString(), autoRepeat);
}

TEST(QtKeyboardCue, QtKeysMapToVirtualKeyCodes) {
    const struct {
        int key;
        Qt::KeyboardModifiers modifiers;
        uint16_t code;
    } rows[] = {
        {Qt::Key_Alt, Qt::NoModifier, 18},         {Qt::Key_Alt, Qt::AltModifier, 18},
        {Qt::Key_AltGr, Qt::NoModifier, 18},       {Qt::Key_Tab, Qt::NoModifier, 9},
        {Qt::Key_Tab, Qt::AltModifier, 9},         {Qt::Key_Backtab, Qt::ShiftModifier, 9},
        {Qt::Key_Left, Qt::NoModifier, 37},        {Qt::Key_Up, Qt::NoModifier, 38},
        {Qt::Key_Right, Qt::NoModifier, 39},       {Qt::Key_Down, Qt::KeypadModifier, 40},
        {Qt::Key_A, Qt::NoModifier, 0x41},         {Qt::Key_Z, Qt::ShiftModifier, 0x5A},
        {Qt::Key_0, Qt::NoModifier, 0x30},         {Qt::Key_9, Qt::NoModifier, 0x39},
        {Qt::Key_0, Qt::KeypadModifier, 0x60},     {Qt::Key_9, Qt::KeypadModifier, 0x69},
        {Qt::Key_F1, Qt::NoModifier, 0x70},        {Qt::Key_F12, Qt::NoModifier, 0x7B},
        {Qt::Key_F24, Qt::NoModifier, 0x87},       {Qt::Key_Backspace, Qt::NoModifier, 8},
        {Qt::Key_Return, Qt::NoModifier, 13},      {Qt::Key_Enter, Qt::KeypadModifier, 13},
        {Qt::Key_Shift, Qt::NoModifier, 16},       {Qt::Key_Control, Qt::NoModifier, 17},
        {Qt::Key_Escape, Qt::NoModifier, 27},      {Qt::Key_Space, Qt::NoModifier, 32},
        {Qt::Key_PageUp, Qt::NoModifier, 33},      {Qt::Key_PageDown, Qt::NoModifier, 34},
        {Qt::Key_End, Qt::NoModifier, 35},         {Qt::Key_Home, Qt::NoModifier, 36},
        {Qt::Key_Insert, Qt::NoModifier, 45},      {Qt::Key_Delete, Qt::NoModifier, 46},
        {Qt::Key_Plus, Qt::KeypadModifier, 0x6B},  {Qt::Key_Plus, Qt::NoModifier, 0},
        {Qt::Key_Slash, Qt::KeypadModifier, 0x6F}, {Qt::Key_Eacute, Qt::NoModifier, 0},
        {Qt::Key_unknown, Qt::NoModifier, 0},
    };
    for (const auto& row : rows)
        EXPECT_EQ(VirtualKeyFromQt(row.key, row.modifiers), row.code) << std::hex << row.key;
}

TEST(QtKeyboardCue, ControlWalkSeesChildWidgetsInIndexOrder) {
    QWidget root;
    auto* label = new QLabel(QStringLiteral("label"), &root);
    auto* picture = new TPictureControl(&root);
    auto* push = new QPushButton(QStringLiteral("push"), &root);
    new QTimer(&root); // not a widget: not a control
    auto* check = new QCheckBox(QStringLiteral("check"), &root);
    auto* dialog = new QDialog(&root); // a window of its own: not a control
    auto* radio = new QRadioButton(QStringLiteral("radio"), &root);
    auto* tool = new QToolButton(&root);
    auto* group = new QGroupBox(&root);
    auto* inner = new QPushButton(group);
    (void)dialog;

    TQtControl control(&root);
    EXPECT_TRUE(control.IsWindowed());
    EXPECT_FALSE(control.IsButton());
    const struct {
        QWidget* widget;
        bool windowed;
        bool button;
    } rows[] = {{label, false, false}, {picture, false, false}, {push, true, true},
                {check, true, true},   {radio, true, true},     {tool, true, true},
                {group, true, false}};
    ASSERT_EQ(control.ControlCount(), int(std::size(rows)));
    for (int i = 0; i < control.ControlCount(); ++i) {
        auto& child = static_cast<TQtControl&>(control.Control(i));
        EXPECT_EQ(child.Widget(), rows[i].widget) << i;
        EXPECT_EQ(child.IsWindowed(), rows[i].windowed) << i;
        EXPECT_EQ(child.IsButton(), rows[i].button) << i;
    }
    IControl& groupControl = control.Control(6);
    ASSERT_EQ(groupControl.ControlCount(), 1);
    EXPECT_EQ(static_cast<TQtControl&>(groupControl.Control(0)).Widget(), inner);

    // Raising a control moves it to the end of the order, as on the desktop;
    // adaptors of children that stay are the same objects.
    IControl* pushControl = &control.Control(2);
    label->raise();
    ASSERT_EQ(control.ControlCount(), int(std::size(rows)));
    EXPECT_EQ(static_cast<TQtControl&>(control.Control(6)).Widget(), label);
    EXPECT_EQ(&control.Control(1), pushControl);
    delete check;
    ASSERT_EQ(control.ControlCount(), int(std::size(rows)) - 1);
    EXPECT_EQ(&control.Control(1), pushControl);
    // Out of range: an empty, non-windowed control rather than a crash.
    EXPECT_FALSE(control.Control(99).IsWindowed());
    EXPECT_EQ(control.Control(-1).ControlCount(), 0);
}

TEST(QtKeyboardCue, ControlOfADeletedWidgetIsInert) {
    auto* widget = new QPushButton(QStringLiteral("gone"));
    TQtControl control(widget);
    delete widget;
    EXPECT_FALSE(control.IsWindowed());
    EXPECT_FALSE(control.IsButton());
    EXPECT_EQ(control.ControlCount(), 0);
    control.RepaintNow();
}

class TMessageSink : public QWidget {
  public:
    std::vector<std::tuple<uint32_t, uintptr_t, intptr_t>> Received;

  protected:
    bool event(QEvent* event) override {
        if (event->type() == TQtWindowMessage::EventType()) {
            const auto* m = static_cast<TQtWindowMessage*>(event);
            Received.emplace_back(m->Message, m->WParam, m->LParam);
            return true;
        }
        return QWidget::event(event);
    }
};

TEST(QtKeyboardCue, PostedMessagesArriveLaterInOrderAndDieWithTheWindow) {
    auto sink = std::make_unique<TMessageSink>();
    TQtMessagePoster poster(sink.get());
    poster.PostMessage(0x81A9, 0, 0);
    poster.PostMessage(0x8000, 7, -1);
    EXPECT_TRUE(sink->Received.empty()) << "delivered inside the post";
    QApplication::processEvents();
    using T = std::tuple<uint32_t, uintptr_t, intptr_t>;
    EXPECT_EQ(sink->Received, (std::vector<T>{{0x81A9u, 0u, 0}, {0x8000u, 7u, -1}}));

    poster.PostMessage(0x81A9, 0, 0);
    sink.reset(); // queued message for a window that is gone: dropped
    QApplication::processEvents();
    poster.PostMessage(0x81A9, 0, 0);
    QApplication::processEvents();
}

TEST(QtKeyboardCue, VisualStylesAreActiveWhenTheStyleHidesKeyboardCues) {
    const struct {
        const char* name;
        std::function<QStyle*()> make;
        bool active;
    } rows[] = {
        {"cues hidden until ALT", [] { return new TCueStyle(true); }, true},
        {"cues always shown", [] { return new TCueStyle(false); }, false},
        {"Fusion", [] { return QStyleFactory::create(QStringLiteral("fusion")); }, false},
        {"Windows", [] { return QStyleFactory::create(QStringLiteral("windows")); }, false},
    };
    TQtVisualStyles styles;
    for (const auto& row : rows) {
        QStyle* style = row.make();
        ASSERT_NE(style, nullptr) << row.name;
        TStyleScope scope(style);
        EXPECT_EQ(styles.Active(), row.active) << row.name;
    }
}

TEST(QtKeyboardCue, TimersComeDisabled) {
    TQtTimerFactory factory;
    auto timer = factory.CreateTimer();
    ASSERT_NE(timer, nullptr);
    EXPECT_FALSE(timer->Enabled());
}

class TRecreatableWidget : public QWidget {
  public:
    using QWidget::destroy;
};

// Two buttons in a window; records which keys the filter reports, and where
// the focus was at that moment.
struct TKeyWindow {
    TKeyWindow() {
        window.setGeometry(0, 0, 200, 80);
        first = new QPushButton(QStringLiteral("first"), &window);
        first->setGeometry(0, 0, 80, 25);
        second = new QPushButton(QStringLiteral("second"), &window);
        second->setGeometry(90, 0, 80, 25);
        filter = std::make_unique<TQtKeyDownFilter>(&window, [this](uint16_t key) {
            keys.push_back(key);
            focusAtKey.push_back(QApplication::focusWidget());
        });
        window.show();
        window.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
        first->setFocus();
        QApplication::processEvents();
    }
    TRecreatableWidget window;
    QPushButton* first;
    QPushButton* second;
    std::unique_ptr<TQtKeyDownFilter> filter;
    std::vector<uint16_t> keys;
    std::vector<QWidget*> focusAtKey;
};

TEST(QtKeyboardCue, FilterReportsEveryKeyDownOnceBeforeTheWindowActs) {
    TKeyWindow w;
    QWindow* handle = w.window.windowHandle();
    ASSERT_NE(handle, nullptr);
    // ALT alone, which no widget takes and which bubbles up to the window.
    DesktopKey(handle, QEvent::KeyPress, Qt::Key_Alt);
    DesktopKey(handle, QEvent::KeyRelease, Qt::Key_Alt);
    // TAB: the key is seen while the focus is still on the first button, and
    // then moves the focus as usual.
    DesktopKey(handle, QEvent::KeyPress, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), w.second);
    DesktopKey(handle, QEvent::KeyRelease, Qt::Key_Tab);
    // Shift+TAB comes from Qt as Backtab.
    DesktopKey(handle, QEvent::KeyPress, Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget(), w.first);
    // Held keys repeat their key-down.
    DesktopKey(handle, QEvent::KeyPress, Qt::Key_Down);
    DesktopKey(handle, QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier, true);
    DesktopKey(handle, QEvent::KeyPress, Qt::Key_A);
    DesktopKey(handle, QEvent::KeyRelease, Qt::Key_A);
    QApplication::processEvents();
    EXPECT_EQ(w.keys, (std::vector<uint16_t>{18, 9, 9, 40, 40, 0x41}));
    ASSERT_EQ(w.focusAtKey.size(), 6u);
    EXPECT_EQ(w.focusAtKey[1], w.first);
    EXPECT_EQ(w.focusAtKey[2], w.second);
}

TEST(QtKeyboardCue, FilterIgnoresOtherWindowsAndStopsWithItsWindow) {
    TKeyWindow w;
    QWidget other;
    other.setGeometry(300, 0, 100, 50);
    other.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&other));
    DesktopKey(other.windowHandle(), QEvent::KeyPress, Qt::Key_Alt);
    DesktopKey(other.windowHandle(), QEvent::KeyRelease, Qt::Key_Alt);
    EXPECT_TRUE(w.keys.empty());
    // A widget of the window that gets a key sent straight to it (not from the
    // desktop) is no key-down of the window.
    QKeyEvent direct(QEvent::KeyPress, Qt::Key_Alt, Qt::NoModifier);
    QApplication::sendEvent(w.first, &direct);
    EXPECT_TRUE(w.keys.empty());
    // A window that loses its native window and gets a new one on the next
    // show still reports its keys.
    QPointer<QWindow> oldHandle = w.window.windowHandle();
    w.window.hide();
    w.window.destroy();
    w.window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w.window));
    EXPECT_TRUE(oldHandle.isNull());
    DesktopKey(w.window.windowHandle(), QEvent::KeyPress, Qt::Key_Alt);
    EXPECT_EQ(w.keys, std::vector<uint16_t>{18});
    w.filter.reset();
    DesktopKey(w.window.windowHandle(), QEvent::KeyPress, Qt::Key_Alt);
    EXPECT_EQ(w.keys, std::vector<uint16_t>{18});
}

// Counts paint events per widget.
class TPaintCounter : public QObject {
  public:
    void Watch(QWidget* widget) {
        widget->installEventFilter(this);
        FCounts[widget] = 0;
    }
    int Count(QWidget* widget) const { return FCounts.at(widget); }
    void Reset() {
        for (auto& [widget, count] : FCounts)
            count = 0;
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++FCounts[watched];
        return false;
    }

  private:
    std::map<QObject*, int> FCounts;
};

// The real main window under a style that hides keyboard cues until ALT.
class KeyboardCueWindow : public ::testing::Test {
  protected:
    explicit KeyboardCueWindow(bool hideCues = true) : FStyle(new TCueStyle(hideCues)) {}
    void SetUp() override {
        form = std::make_unique<TQtMainWindow>();
        form->show();
        form->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
        form->btn1Def->setFocus();
        Settle();
        buttons = {form->btn1Def, form->btn1Open, form->btn2Clr,  form->btn2Open,
                   form->btn3Clr, form->btn3Open, form->btnUpload};
        others = {form.get(), form->grp1, form->grp2,  form->grp3, form->img1,
                  form->img2, form->img3, form->stBar, form->pb1,  form->stBar->Panel()};
        for (QWidget* w : buttons)
            paints.Watch(w);
        for (QWidget* w : others)
            paints.Watch(w);
        handle = form->windowHandle();
        ASSERT_NE(handle, nullptr);
    }
    // Lets every pending paint and posted event run.
    static void Settle() {
        for (int i = 0; i < 3; ++i) {
            QApplication::processEvents();
            QTest::qWait(5);
        }
    }
    void ExpectButtonPaints(int expected, const char* when) {
        for (QWidget* w : buttons)
            EXPECT_EQ(paints.Count(w), expected) << w->objectName().toStdString() << " " << when;
    }
    void ExpectOthersUnpainted(const char* when) {
        for (QWidget* w : others)
            EXPECT_EQ(paints.Count(w), 0) << w->objectName().toStdString() << " " << when;
    }

    TStyleScope FStyle;
    std::unique_ptr<TQtMainWindow> form;
    std::vector<QWidget*> buttons;
    std::vector<QWidget*> others;
    TPaintCounter paints;
    QWindow* handle = nullptr;
};

TEST_F(KeyboardCueWindow, CreatedEnabledWithThePostedMessage) {
    EXPECT_TRUE(form->AltBugFix().Enabled());
    EXPECT_EQ(form->AltBugFix().DelayType(), TAltBugFixDelayType::dtPostMsg);
    EXPECT_EQ(form->AltBugFix().TimerDelayMsec(), 10u);
}

TEST_F(KeyboardCueWindow, AltRepaintsEachButtonOnceAfterTheKeyAndNothingElse) {
    DesktopKey(handle, QEvent::KeyPress, Qt::Key_Alt);
    ExpectButtonPaints(0, "inside the key-down");
    QApplication::processEvents();
    ExpectButtonPaints(1, "after ALT");
    ExpectOthersUnpainted("after ALT");
    DesktopKey(handle, QEvent::KeyRelease, Qt::Key_Alt);
    Settle();
    ExpectButtonPaints(1, "after releasing ALT");
    ExpectOthersUnpainted("after releasing ALT");
    // The first TAB after ALT repaints again, a second TAB does not. The TABs
    // move the focus to btn2Clr, which repaints those they pass.
    DesktopKey(handle, QEvent::KeyPress, Qt::Key_Tab);
    DesktopKey(handle, QEvent::KeyPress, Qt::Key_Tab);
    Settle();
    EXPECT_EQ(QApplication::focusWidget(), form->btn2Clr);
    ExpectOthersUnpainted("after TAB");
    for (QWidget* w : {form->btn2Open, form->btn3Clr, form->btn3Open, form->btnUpload})
        EXPECT_EQ(paints.Count(w), 2) << w->objectName().toStdString();
}

TEST_F(KeyboardCueWindow, KeysStillReachTheButtonsAfterAlt) {
    // Upload as after a firmware check, so the focus can reach it.
    form->btnUpload->setEnabled(true);
    DesktopKey(handle, QEvent::KeyPress, Qt::Key_Alt);
    DesktopKey(handle, QEvent::KeyRelease, Qt::Key_Alt);
    Settle();
    const std::vector<QWidget*> order = {form->btn1Open, form->btn2Clr,  form->btn2Open,
                                         form->btn3Clr,  form->btn3Open, form->btnUpload};
    for (QWidget* next : order) {
        DesktopKey(handle, QEvent::KeyPress, Qt::Key_Tab);
        DesktopKey(handle, QEvent::KeyRelease, Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), next) << next->objectName().toStdString();
    }
    DesktopKey(handle, QEvent::KeyPress, Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget(), form->btn3Open);
    Settle();
    // ALT and the first TAB after it each repainted every button; the focus
    // moves repaint only the buttons they touch, never their groups.
    for (QWidget* w : buttons)
        EXPECT_GE(paints.Count(w), 2) << w->objectName().toStdString();
    ExpectOthersUnpainted("after TAB");
}

TEST_F(KeyboardCueWindow, PostedRepaintStillRunsAfterTheFixIsDisabled) {
    DesktopKey(handle, QEvent::KeyPress, Qt::Key_Alt);
    form->AltBugFix().SetEnabled(false);
    QApplication::processEvents();
    ExpectButtonPaints(1, "posted before disabling");
    DesktopKey(handle, QEvent::KeyPress, Qt::Key_Alt);
    Settle();
    ExpectButtonPaints(1, "ALT while disabled");
    ExpectOthersUnpainted("disabled");
}

TEST_F(KeyboardCueWindow, WindowAnswersOnlyItsRepaintMessage) {
    TQtMessagePoster poster(form.get());
    poster.PostMessage(WM_AltBugForceSelfRepaint, 0, 0); // no key seen yet: no window recorded
    Settle();
    ExpectButtonPaints(0, "before any key");
    DesktopKey(handle, QEvent::KeyPress, Qt::Key_Alt);
    Settle();
    poster.PostMessage(WM_AltBugForceSelfRepaint + 1, 0, 0);
    Settle();
    ExpectButtonPaints(1, "another message");
    poster.PostMessage(WM_AltBugForceSelfRepaint, 0, 0);
    Settle();
    ExpectButtonPaints(2, "the repaint message");
    ExpectOthersUnpainted("messages");
}

TEST_F(KeyboardCueWindow, TimerDelayRepaintsOnceAfterTheDelay) {
    form->AltBugFix().SetDelayType(TAltBugFixDelayType::dtTimer);
    QElapsedTimer watch;
    watch.start();
    DesktopKey(handle, QEvent::KeyPress, Qt::Key_Alt);
    DesktopKey(handle, QEvent::KeyPress, Qt::Key_Tab); // within the delay: no second repaint
    qint64 paintedAt = -1;
    while (watch.elapsed() < 2000) {
        QApplication::processEvents(QEventLoop::AllEvents, 1);
        if (paintedAt < 0 && paints.Count(form->btnUpload) > 0)
            paintedAt = watch.elapsed();
        if (paintedAt >= 0 && watch.elapsed() > paintedAt + 100)
            break;
    }
    ASSERT_GE(paintedAt, 0) << "no repaint";
    EXPECT_GE(paintedAt, 9);
    // The TAB moved the focus from the first button to the second: those two
    // also repaint for the focus change.
    for (QWidget* w :
         {form->btn2Clr, form->btn2Open, form->btn3Clr, form->btn3Open, form->btnUpload})
        EXPECT_EQ(paints.Count(w), 1) << w->objectName().toStdString();
    ExpectOthersUnpainted("timer");
}

class KeyboardCueWindowUnstyled : public KeyboardCueWindow {
  protected:
    KeyboardCueWindowUnstyled() : KeyboardCueWindow(false) {}
};

TEST_F(KeyboardCueWindowUnstyled, StyleShowingCuesAlwaysNeedsNoRepaint) {
    DesktopKey(handle, QEvent::KeyPress, Qt::Key_Alt);
    DesktopKey(handle, QEvent::KeyRelease, Qt::Key_Alt);
    Settle();
    ExpectButtonPaints(0, "after ALT");
    ExpectOthersUnpainted("after ALT");
    DesktopKey(handle, QEvent::KeyPress, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), form->btn1Open);
}

} // namespace
} // namespace korvalis
