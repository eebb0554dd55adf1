#include "ui/AltBugFixes.h"

#include <gtest/gtest.h>

#include <cctype>
#include <deque>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace korvalis {
namespace {

// A message loop with a virtual millisecond clock: posted messages wait in a
// queue, timers tick when the clock passes their due time.
class TFakeLoop;

class TFakeTimer : public IOneShotTimer {
  public:
    explicit TFakeTimer(TFakeLoop& loop) : FLoop(loop) {}
    void SetEnabled(bool enabled) override;
    bool Enabled() const override { return FEnabled; }
    void SetInterval(uint32_t milliseconds) override;
    uint32_t Interval() const override { return FInterval; }
    void SetOnTimer(std::function<void()> handler) override { FOnTimer = std::move(handler); }

    uint64_t Due() const { return FArmedAt + FInterval; }
    void Tick();

  private:
    TFakeLoop& FLoop;
    bool FEnabled = false;
    uint32_t FInterval = 1000;
    uint64_t FArmedAt = 0;
    std::function<void()> FOnTimer;
};

class TFakeLoop : public ITimerFactory {
  public:
    std::unique_ptr<IOneShotTimer> CreateTimer() override {
        auto timer = std::make_unique<TFakeTimer>(*this);
        FTimers.push_back(timer.get());
        return timer;
    }
    void Post(std::function<void()> message) { FQueue.push_back(std::move(message)); }
    // Delivers every queued message, including ones posted meanwhile.
    void RunQueue() {
        while (!FQueue.empty()) {
            auto message = std::move(FQueue.front());
            FQueue.pop_front();
            message();
        }
    }
    void Advance(uint64_t milliseconds) {
        const uint64_t target = Now + milliseconds;
        for (;;) {
            TFakeTimer* next = nullptr;
            for (TFakeTimer* timer : FTimers)
                if (timer->Enabled() && timer->Due() <= target &&
                    (!next || timer->Due() < next->Due()))
                    next = timer;
            if (!next)
                break;
            Now = next->Due();
            next->Tick();
            RunQueue();
        }
        Now = target;
    }
    uint64_t Now = 0;

  private:
    std::vector<TFakeTimer*> FTimers;
    std::deque<std::function<void()>> FQueue;
};

void TFakeTimer::SetEnabled(bool enabled) {
    if (enabled && !FEnabled)
        FArmedAt = FLoop.Now;
    FEnabled = enabled;
}

void TFakeTimer::SetInterval(uint32_t milliseconds) {
    if (milliseconds == FInterval)
        return;
    FInterval = milliseconds;
    FArmedAt = FLoop.Now; // a new interval restarts an armed timer
}

void TFakeTimer::Tick() {
    FArmedAt = FLoop.Now; // periodic until the handler disables it
    if (FOnTimer)
        FOnTimer();
}

struct TRepaint {
    std::string name;
    uint64_t time;
};

enum class TKind { Window, Button, Graphic };

// One control of a fake window; records its repaints in the window's log.
class TFakeControl : public IControl {
  public:
    TFakeControl(std::string name, TKind kind, std::vector<TRepaint>& log)
        : Name(std::move(name)), FKind(kind), FLog(log) {}
    bool IsWindowed() const override { return FKind != TKind::Graphic; }
    bool IsButton() const override { return FKind == TKind::Button; }
    int ControlCount() const override { return int(FChildren.size()); }
    IControl& Control(int index) override { return *FChildren.at(size_t(index)); }
    void RepaintNow() override { FLog.push_back({Name, Now ? *Now : 0}); }

    TFakeControl& Add(std::string name, TKind kind) {
        FChildren.push_back(std::make_unique<TFakeControl>(std::move(name), kind, FLog));
        FChildren.back()->Now = Now;
        return *FChildren.back();
    }
    const std::string Name;
    const uint64_t* Now = nullptr;

  private:
    TKind FKind;
    std::vector<TRepaint>& FLog;
    std::vector<std::unique_ptr<TFakeControl>> FChildren;
};

struct TPosted {
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
};

// The main window's control tree, with a host that behaves like the window:
// it hands every key-down to the fix first, then processes the key itself, and
// answers the repaint message.
class TFakeForm : public IFormWindow, public IMessagePoster {
  public:
    TFakeForm(TFakeLoop& loop, std::vector<TRepaint>& log)
        : FLoop(loop), FRoot("frmMain", TKind::Window, log) {
        FRoot.Now = &loop.Now;
        for (int slot = 1; slot <= 3; ++slot) {
            const std::string n = std::to_string(slot);
            TFakeControl& group = FRoot.Add("grp" + n, TKind::Window);
            group.Add("img" + n, TKind::Graphic);
            group.Add(slot == 1 ? "btn1Def" : "btn" + n + "Clr", TKind::Button);
            group.Add("btn" + n + "Open", TKind::Button);
        }
        FRoot.Add("btnUpload", TKind::Button);
        FRoot.Add("stBar", TKind::Window).Add("stBarPanel", TKind::Graphic);
        FRoot.Add("pb1", TKind::Window);
    }
    IControl& FormControl() override { return FRoot; }
    IMessagePoster& FormMessages() override { return *this; }
    void PostMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override {
        Posted.push_back({message, wParam, lParam});
        FLoop.Post([this, message] {
            if (message == WM_AltBugForceSelfRepaint && Fix)
                Fix->ForceControlRepaint();
        });
    }
    void KeyDown(uint16_t key) {
        if (Fix)
            Fix->KeyDownCheck(*this, key);
        ProcessedKeys.push_back(key);
    }

    TAltBugFix* Fix = nullptr;
    std::vector<TPosted> Posted;
    std::vector<uint16_t> ProcessedKeys;

  private:
    TFakeLoop& FLoop;
    TFakeControl FRoot;
};

class TFakeStyles : public IVisualStyles {
  public:
    bool Active() const override { return On; }
    bool On = true;
};

const std::vector<std::string> kButtons = {"btn1Def", "btn1Open", "btn2Clr",  "btn2Open",
                                           "btn3Clr", "btn3Open", "btnUpload"};

struct TFixture {
    TFixture() : form(loop, log), fix(loop, styles) { form.Fix = &fix; }
    TFakeLoop loop;
    std::vector<TRepaint> log;
    TFakeStyles styles;
    TFakeForm form;
    TAltBugFix fix;
};

const std::map<std::string, uint16_t> kKeys = {
    {"ALT", vk::Alt},
    {"TAB", vk::Tab},
    {"LEFT", vk::Left},
    {"UP", vk::Up},
    {"RIGHT", vk::Right},
    {"DOWN", vk::Down},
    {"A", vk::LetterA},
    {"SHIFT", vk::Shift},
    {"F1", vk::F1},
    {"ESC", vk::Escape},
    {"CTRL", vk::Control},
    {"SPACE", vk::Space},
    {"CODE18+256", uint16_t(vk::Alt + 256)}, // a code that only shares ALT's low byte
};

// Script words: a key name presses that key; "run" delivers the posted
// messages; "+N" lets N milliseconds pass; "on"/"off" set Enabled;
// "styles"/"nostyles" switch the visual styles; "timer" selects dtTimer;
// "delayN" sets TimerDelayMsec. The queue is also run at the end.
struct TScriptRow {
    const char* script;
    std::vector<uint64_t> passes; // times of the repaint passes over all seven buttons
};

const TScriptRow kScripts[] = {
    {"ALT", {0}},
    {"TAB", {}},
    {"LEFT UP RIGHT DOWN", {}},
    {"ALT TAB", {0, 0}},
    {"ALT run TAB run", {0, 0}},
    {"ALT TAB TAB", {0, 0}},
    {"ALT TAB run TAB LEFT", {0, 0}},
    {"ALT A LEFT", {0, 0}},
    {"ALT SHIFT TAB", {0, 0}},
    {"ALT F1 ESC CTRL SPACE DOWN", {0, 0}},
    {"ALT UP", {0, 0}},
    {"ALT RIGHT", {0, 0}},
    {"ALT DOWN DOWN", {0, 0}},
    {"ALT ALT TAB", {0, 0, 0}},
    {"ALT TAB ALT TAB", {0, 0, 0, 0}},
    {"A SHIFT F1 ESC", {}},
    {"CODE18+256 TAB", {}},
    // Disabled or unstyled: nothing, and an ALT meanwhile does not count later.
    {"off ALT TAB on TAB", {}},
    {"nostyles ALT TAB styles TAB", {}},
    {"off ALT on", {}},
    // Rejected calls leave the ALT state as it was.
    {"ALT run off TAB on TAB", {0, 0}},
    {"ALT run nostyles TAB styles TAB", {0, 0}},
    // A repaint already posted still runs after the fix is disabled.
    {"ALT off run", {0}},
    {"ALT nostyles run", {0}},
    // dtTimer: one shot TimerDelayMsec after the first accepted key.
    {"timer ALT +20", {10}},
    {"timer ALT +5 TAB +20", {10}},
    {"timer ALT +9 TAB +20", {10}},
    {"timer ALT +10 TAB +20", {10, 20}},
    {"timer ALT +30 TAB +30", {10, 40}},
    {"timer TAB +30", {}},
    {"timer ALT +5 ALT +3 ALT +30", {10}},
    {"timer ALT off +20", {10}},
    {"timer ALT +9", {}},
    {"timer delay25 ALT +40", {25}},
    {"timer delay0 ALT +5", {0}},
    // A changed delay restarts an armed timer with the new delay.
    {"timer ALT +5 delay20 TAB +40", {25}},
    {"timer ALT +5 delay20 +40", {10}},
};

class AltBugFixScript : public ::testing::TestWithParam<TScriptRow> {};

TEST_P(AltBugFixScript, RepaintsAllButtonsOncePerAcceptedKey) {
    const TScriptRow& row = GetParam();
    TFixture f;
    f.fix.SetDelayType(TAltBugFixDelayType::dtPostMsg);
    std::istringstream words(row.script);
    std::string word;
    size_t keys = 0;
    while (words >> word) {
        if (auto key = kKeys.find(word); key != kKeys.end()) {
            f.form.KeyDown(key->second);
            ++keys;
        } else if (word == "run") {
            f.loop.RunQueue();
        } else if (word[0] == '+') {
            f.loop.RunQueue();
            f.loop.Advance(std::stoull(word.substr(1)));
        } else if (word == "on" || word == "off") {
            f.fix.SetEnabled(word == "on");
        } else if (word == "styles" || word == "nostyles") {
            f.styles.On = word == "styles";
        } else if (word == "timer") {
            f.fix.SetDelayType(TAltBugFixDelayType::dtTimer);
        } else if (word.rfind("delay", 0) == 0) {
            f.fix.SetTimerDelayMsec(uint32_t(std::stoul(word.substr(5))));
        } else {
            FAIL() << "unknown script word " << word;
        }
    }
    f.loop.RunQueue();

    // The fix never swallows a key.
    EXPECT_EQ(f.form.ProcessedKeys.size(), keys);
    std::vector<std::string> expected;
    for (size_t pass = 0; pass < row.passes.size(); ++pass)
        expected.insert(expected.end(), kButtons.begin(), kButtons.end());
    std::vector<std::string> names;
    for (const TRepaint& r : f.log)
        names.push_back(r.name);
    ASSERT_EQ(names, expected);
    for (size_t i = 0; i < f.log.size(); ++i)
        EXPECT_EQ(f.log[i].time, row.passes[i / kButtons.size()]) << f.log[i].name << " #" << i;
    for (const TPosted& p : f.form.Posted) {
        EXPECT_EQ(p.message, 0x81A9u);
        EXPECT_EQ(p.wParam, 0u);
        EXPECT_EQ(p.lParam, 0);
    }
    const bool timer = std::string(row.script).find("timer") != std::string::npos;
    EXPECT_EQ(f.form.Posted.size(), timer ? 0 : row.passes.size());
}

INSTANTIATE_TEST_SUITE_P(Keys, AltBugFixScript, ::testing::ValuesIn(kScripts),
                         [](const ::testing::TestParamInfo<TScriptRow>& info) {
                             std::string name = std::to_string(info.index) + "_";
                             for (const char* c = info.param.script; *c; ++c)
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             return name;
                         });

TEST(AltBugFix, RepaintRunsAfterTheKeysOwnProcessing) {
    TFixture f;
    f.fix.SetDelayType(TAltBugFixDelayType::dtPostMsg);
    f.form.KeyDown(vk::Alt);
    ASSERT_EQ(f.form.ProcessedKeys, std::vector<uint16_t>{vk::Alt});
    EXPECT_TRUE(f.log.empty()) << "repainted inside the key-down";
    f.loop.RunQueue();
    EXPECT_EQ(f.log.size(), kButtons.size());

    TFixture t; // default delay type is the timer
    t.form.KeyDown(vk::Alt);
    t.loop.RunQueue();
    EXPECT_TRUE(t.log.empty()) << "repainted before the delay";
    t.loop.Advance(10);
    EXPECT_EQ(t.log.size(), kButtons.size());
}

TEST(AltBugFix, ConstructionStateAndTimerSetup) {
    TFakeLoop loop;
    TFakeStyles styles;
    std::vector<TRepaint> log;
    IOneShotTimer* timer = nullptr;
    struct TSpyFactory : ITimerFactory {
        TFakeLoop& loop;
        IOneShotTimer*& made;
        TSpyFactory(TFakeLoop& l, IOneShotTimer*& m) : loop(l), made(m) {}
        std::unique_ptr<IOneShotTimer> CreateTimer() override {
            auto t = loop.CreateTimer();
            made = t.get();
            t->SetEnabled(true); // the fix must not rely on a new timer's state
            return t;
        }
    } factory(loop, timer);
    TAltBugFix fix(factory, styles);
    EXPECT_TRUE(fix.Enabled());
    EXPECT_EQ(fix.DelayType(), TAltBugFixDelayType::dtTimer);
    EXPECT_EQ(static_cast<int>(TAltBugFixDelayType::dtPostMsg), 0);
    EXPECT_EQ(static_cast<int>(TAltBugFixDelayType::dtTimer), 1);
    EXPECT_EQ(fix.TimerDelayMsec(), 10u);
    ASSERT_NE(timer, nullptr);
    EXPECT_FALSE(timer->Enabled());
    EXPECT_EQ(timer->Interval(), 10u);
    // Without a recorded window a repaint request does nothing, and a stray tick is harmless.
    fix.ForceControlRepaint();
    loop.Advance(100);
    EXPECT_TRUE(log.empty());
}

TEST(AltBugFix, OverlongTimerDelayIsCutToTheLongestTimerInterval) {
    const struct {
        uint32_t delay;
        uint32_t interval;
    } rows[] = {{0, 0},
                {10, 10},
                {0x7FFFFFFF, 0x7FFFFFFF},
                {0x80000000u, 0x7FFFFFFF},
                {0xFFFFFFFFu, 0x7FFFFFFF}};
    for (const auto& row : rows) {
        TFixture f;
        f.fix.SetTimerDelayMsec(row.delay);
        f.form.KeyDown(vk::Alt);
        EXPECT_EQ(f.fix.TimerDelayMsec(), row.delay);
        // The only timer the loop knows is the fix's own.
        if (row.interval > 0) {
            f.loop.Advance(row.interval - 1);
            EXPECT_TRUE(f.log.empty()) << row.delay;
        }
        f.loop.Advance(1);
        EXPECT_EQ(f.log.size(), kButtons.size()) << row.delay;
    }
}

TEST(AltBugFix, TimerRepaintsTheWindowRecordedLast) {
    TFakeLoop loop;
    std::vector<TRepaint> logA, logB;
    TFakeStyles styles;
    TFakeForm a(loop, logA), b(loop, logB);
    TAltBugFix fix(loop, styles);
    a.Fix = b.Fix = &fix;
    a.KeyDown(vk::Alt);
    loop.Advance(3);
    b.KeyDown(vk::Tab);
    loop.Advance(20);
    EXPECT_TRUE(logA.empty());
    ASSERT_EQ(logB.size(), kButtons.size());
    EXPECT_EQ(logB.front().time, 10u);
}

// The walk on trees other than the main window's.
struct TWalkRow {
    const char* name;
    std::function<void(TFakeControl&)> build;
    std::vector<std::string> repainted;
};

TEST(AltBugFix, WalkRepaintsWindowedButtonsOnlyInIndexOrder) {
    const TWalkRow rows[] = {
        {"empty window", [](TFakeControl&) {}, {}},
        {"buttons in index order",
         [](TFakeControl& r) {
             r.Add("b3", TKind::Button);
             r.Add("b1", TKind::Button);
             r.Add("b2", TKind::Button);
         },
         {"b3", "b1", "b2"}},
        {"a button's own children are not visited",
         [](TFakeControl& r) { r.Add("outer", TKind::Button).Add("inner", TKind::Button); },
         {"outer"}},
        {"nothing below a graphic control",
         [](TFakeControl& r) { r.Add("picture", TKind::Graphic).Add("hidden", TKind::Button); },
         {}},
        {"deep nesting, depth first",
         [](TFakeControl& r) {
             TFakeControl& p = r.Add("panel", TKind::Window);
             p.Add("panel2", TKind::Window).Add("deep", TKind::Button);
             p.Add("shallow", TKind::Button);
             r.Add("last", TKind::Button);
         },
         {"deep", "shallow", "last"}},
    };
    for (const TWalkRow& row : rows) {
        TFakeLoop loop;
        TFakeStyles styles;
        std::vector<TRepaint> log;
        struct TTreeForm : IFormWindow, IMessagePoster {
            TFakeLoop& loop;
            TFakeControl root;
            TAltBugFix* fix = nullptr;
            TTreeForm(TFakeLoop& l, std::vector<TRepaint>& log)
                : loop(l), root("form", TKind::Window, log) {}
            IControl& FormControl() override { return root; }
            IMessagePoster& FormMessages() override { return *this; }
            void PostMessage(uint32_t, uintptr_t, intptr_t) override {
                loop.Post([this] { fix->ForceControlRepaint(); });
            }
        } form(loop, log);
        row.build(form.root);
        TAltBugFix fix(loop, styles);
        form.fix = &fix;
        fix.SetDelayType(TAltBugFixDelayType::dtPostMsg);
        fix.KeyDownCheck(form, vk::Alt);
        loop.RunQueue();
        std::vector<std::string> names;
        for (const TRepaint& r : log)
            names.push_back(r.name);
        EXPECT_EQ(names, row.repainted) << row.name;
    }
}

TEST(AltBugFix, MainWindowWalkSkipsPicturesGroupsStatusAndProgress) {
    TFixture f;
    f.fix.SetDelayType(TAltBugFixDelayType::dtPostMsg);
    f.form.KeyDown(vk::Alt);
    f.loop.RunQueue();
    for (const TRepaint& r : f.log)
        for (const char* never : {"frmMain", "grp1", "grp2", "grp3", "img1", "img2", "img3",
                                  "stBar", "stBarPanel", "pb1"})
            EXPECT_NE(r.name, never);
}

} // namespace
} // namespace korvalis
