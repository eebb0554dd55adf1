// The main window's behaviour with no toolkit at all: components made from
// the layout table as plain fakes, the plain GUI loop, the simulated device.
#include "form/MainForm.h"
#include "emulator/KorvalisSimModel.h"
#include "form/MainFormLayout.h"
#include "hid/PlainGuiLoop.h"
#include "hid/platform/sim/SimPlatform.h"
#include "imaging/ImageSlots.h"
#include "imaging/PictureRendering.h"
#include "tests/imaging/TestPictures.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace korvalis {
namespace {

struct TStatus : IStatusPanel {
    std::vector<std::string> History;
    void SetText(const std::string& text) override { History.push_back(text); }
    std::string Text() const override { return History.empty() ? "" : History.back(); }
};

struct TButton : IPushButton {
    bool IsEnabled = true;
    std::function<void()> OnClick;
    void SetEnabled(bool enabled) override { IsEnabled = enabled; }
    bool Enabled() const override { return IsEnabled; }
    void SetOnClick(std::function<void()> handler) override { OnClick = std::move(handler); }
    void Click() {
        if (IsEnabled && OnClick)
            OnClick();
    }
};

struct TProgress : IProgressBar {
    int Max = 0, Position = 0;
    bool Visible = false;
    void SetMax(int max) override { Max = max; }
    void SetPosition(int position) override { Position = position; }
    void SetVisible(bool visible) override { Visible = visible; }
    void RepaintNow() override {}
};

// Ticks from the plain loop, as a toolkit's timer ticks from its event loop.
struct TLoopTimer : IOneShotTimer {
    explicit TLoopTimer(THidPlainLoop& loop) : Loop(loop) {}
    void SetEnabled(bool enabled) override {
        if (enabled != On) {
            On = enabled;
            Arm();
        }
    }
    bool Enabled() const override { return On; }
    void SetInterval(uint32_t ms) override {
        if (ms != Ms) {
            Ms = ms;
            Arm();
        }
    }
    uint32_t Interval() const override { return Ms; }
    void SetOnTimer(std::function<void()> handler) override { OnTimer = std::move(handler); }
    void Arm() {
        const uint64_t schedule = ++Schedule;
        if (On)
            Loop.PostDelayed(int(Ms), [this, schedule] {
                if (!On || schedule != Schedule)
                    return;
                Arm();
                if (OnTimer)
                    OnTimer();
            });
    }
    THidPlainLoop& Loop;
    bool On = false;
    uint32_t Ms = 0;
    uint64_t Schedule = 0;
    std::function<void()> OnTimer;
};

struct TScriptedDialog : IOpenDialog {
    std::optional<std::string> Answer;
    std::optional<std::string> Execute() override { return Answer; }
};

// A control of the fake window; buttons count their repaints.
struct TControl : IControl {
    bool Windowed = true, Button = false;
    int Repaints = 0;
    std::vector<TControl*> Children;
    bool IsWindowed() const override { return Windowed; }
    bool IsButton() const override { return Button; }
    int ControlCount() const override { return int(Children.size()); }
    IControl& Control(int index) override { return *Children.at(size_t(index)); }
    void RepaintNow() override { ++Repaints; }
};

struct TScriptedColours : IColourDialog {
    std::optional<uint32_t> Answer;
    std::optional<uint32_t> Execute(uint32_t) override { return Answer; }
};

struct TPosted : IMessagePoster {
    std::vector<uint32_t> Messages;
    void PostMessage(uint32_t message, uintptr_t, intptr_t) override {
        Messages.push_back(message);
    }
};

// Every component of the layout, made by kind.
class TFakeWindow : public IFormComponents,
                    public IWindowCursor,
                    public IRepaintable,
                    public IFormWindow,
                    public IVisualStyles,
                    public ITimerFactory {
  public:
    explicit TFakeWindow(THidPlainLoop& loop) : FLoop(loop) {
        for (const TComponentLayout& row : MainFormLayout()) {
            TControl& control = FControls[row.Name];
            Hints[row.Name];
            control.Windowed = row.Kind != TComponentKind::PictureControl;
            control.Button = row.Kind == TComponentKind::Button;
            if (row.Parent)
                FControls.at(row.Parent).Children.push_back(&control);
            switch (row.Kind) {
            case TComponentKind::PictureControl:
                Pictures.try_emplace(row.Name, row.Width, row.Height);
                break;
            case TComponentKind::Button:
                Buttons[row.Name].IsEnabled = row.Enabled;
                break;
            case TComponentKind::StatusBar:
                Status[row.Name];
                break;
            case TComponentKind::ProgressBar:
                Progress[row.Name].Visible = row.Visible;
                break;
            case TComponentKind::Timer: {
                TLoopTimer& timer = Timers_.try_emplace(row.Name, loop).first->second;
                timer.SetInterval(uint32_t(row.Value));
                timer.SetEnabled(row.Enabled);
                break;
            }
            case TComponentKind::OpenDialog:
                Dialogs[row.Name];
                break;
            default:
                break;
            }
        }
    }

    IPictureControl& PictureControl(std::string_view name) override {
        return Pictures.at(std::string(name));
    }
    IPushButton& Button(std::string_view name) override { return Buttons.at(std::string(name)); }
    IStatusPanel& StatusPanel(std::string_view name) override {
        return Status.at(std::string(name));
    }
    IProgressBar& ProgressBar(std::string_view name) override {
        return Progress.at(std::string(name));
    }
    IOneShotTimer& Timer(std::string_view name) override { return Timers_.at(std::string(name)); }
    IOpenDialog& OpenDialog(std::string_view name) override {
        return Dialogs.at(std::string(name));
    }
    IWindowCursor& Cursor() override { return *this; }
    IRepaintable& Window() override { return *this; }
    IBusyWindow* BusyWindow() override { return nullptr; }
    void Sleep(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    int ScreenDepth() const override { return 0; }
    IFormWindow& FormWindow() override { return *this; }
    const IVisualStyles& VisualStyles() const override { return *this; }
    ITimerFactory& Timers() override { return *this; }
    void SetHint(std::string_view name, const std::string& text) override {
        Hints.at(std::string(name)) = text;
    }
    void SetShortCut(const TShortCut& key, std::function<void()> handler) override {
        ShortCuts[key.Text()] = std::move(handler);
    }
    void SetOnContextMenu(std::string_view picture,
                          std::function<std::vector<TMenuItem>()> menu) override {
        Pictures.at(std::string(picture));
        Menus[std::string(picture)] = std::move(menu);
    }
    void SetOnDropFile(std::string_view picture,
                       std::function<void(const std::string&)> handler) override {
        Pictures.at(std::string(picture));
        Drops[std::string(picture)] = std::move(handler);
    }
    IColourDialog& ColourDialog() override { return Colours; }

    void SetCursor(TCursorKind cursor) override { Cursors.push_back(cursor); }
    void RepaintNow() override {}
    IControl& FormControl() override { return FControls.at("frmMain"); }
    IMessagePoster& FormMessages() override { return Posted; }
    bool Active() const override { return true; }
    std::unique_ptr<IOneShotTimer> CreateTimer() override {
        return std::make_unique<TLoopTimer>(FLoop);
    }

    std::map<std::string, TRasterPictureControl> Pictures;
    std::map<std::string, TButton> Buttons;
    std::map<std::string, TStatus> Status;
    std::map<std::string, TProgress> Progress;
    std::map<std::string, TLoopTimer> Timers_;
    std::map<std::string, TScriptedDialog> Dialogs;
    std::vector<TCursorKind> Cursors;
    TPosted Posted;
    std::map<std::string, TControl> FControls;
    std::map<std::string, std::string> Hints;
    std::map<std::string, std::function<void()>> ShortCuts;
    std::map<std::string, std::function<std::vector<TMenuItem>()>> Menus;
    std::map<std::string, std::function<void(const std::string&)>> Drops;
    TScriptedColours Colours;

  private:
    THidPlainLoop& FLoop;
};

TEST(MainForm, ShowPlugUploadWithoutAToolkit) {
    THidPlainLoop loop;
    sim::TSimPlatform::Select();
    sim::TSimPlatform::Instance().Reset();
    TFakeWindow window(loop);
    {
        TfrmMain form(window);
        TStatus& status = window.Status.at("stBar");
        form.WindowShown();
        EXPECT_EQ(window.Pictures.at("img1").Picture().Pixel(120, 160),
                  DefaultPictureRaster().Pixel(120, 160));
        ASSERT_TRUE(loop.RunUntil([&] { return status.Text() == "Disconnected"; }, 3000));
        EXPECT_FALSE(window.Buttons.at("btnUpload").Enabled());

        auto model = std::make_shared<sim::TKorvalisSimModel>();
        sim::TSimPlatform::Instance().Plug(sim::KorvalisInterface(model));
        ASSERT_TRUE(loop.RunUntil([&] { return status.Text() == "Connected"; }, 3000));
        EXPECT_EQ(model->ReadCommands(), 1u);

        window.Pictures.at("img3").Picture().SetPixel(7, 7, {10, 200, 30});
        window.Buttons.at("btnUpload").Click();
        EXPECT_EQ(status.Text(), "Upload succeeded");
        EXPECT_EQ(status.History, (std::vector<std::string>{
                                      "Disconnected", "Disconnected", "Checking firmware...",
                                      "Connected", "Uploading resources...", "Upload succeeded"}));
        EXPECT_FALSE(window.Progress.at("pb1").Visible);
        EXPECT_EQ(window.Cursors.back(), TCursorKind::crArrow);
        ASSERT_TRUE(loop.RunUntil([&] { return model->BundleComplete(); }, 5000));
        const auto sent = form.Bundle().Data();
        EXPECT_EQ(model->ReceivedBundle(), std::vector<uint8_t>(sent.begin(), sent.end()));

        // ALT asks for the buttons to be repainted once the key is through.
        form.WindowKeyDown(vk::Alt);
        ASSERT_EQ(window.Posted.Messages, std::vector<uint32_t>{WM_AltBugForceSelfRepaint});
        EXPECT_TRUE(form.WindowMessage(WM_AltBugForceSelfRepaint, 0, 0));
        EXPECT_EQ(window.FControls.at("btnUpload").Repaints, 1);
        EXPECT_EQ(window.FControls.at("img1").Repaints, 0);
    }
    sim::TSimPlatform::Instance().Reset();
}

// The entry at the end of a path of captions, or nullptr.
const TMenuItem* MenuEntry(const std::vector<TMenuItem>& menu, std::vector<std::string> path) {
    for (const TMenuItem& item : menu)
        if (item.Caption == path.front()) {
            if (path.size() == 1)
                return &item;
            path.erase(path.begin());
            return MenuEntry(item.Items, path);
        }
    return nullptr;
}

bool SameRaster(TRaster a, TRaster b) {
    a.SetPixelFormat(TPixelFormat::pf24bit);
    b.SetPixelFormat(TPixelFormat::pf24bit);
    return a.Width() == b.Width() && a.Height() == b.Height() &&
           std::memcmp(a.Bits(), b.Bits(), a.Stride() * size_t(a.Height())) == 0;
}

// A picture's menu changes its own slot's options and draws that slot again
// from the loaded file, as the imaging layer draws it; the other slots are left
// alone. The device's colours are a view: Upload sends the same bundle.
TEST(MainForm, PictureMenuRedrawsOnlyItsOwnSlot) {
    using namespace korvalis::testing;
    THidPlainLoop loop;
    sim::TSimPlatform::Select();
    sim::TSimPlatform::Instance().Reset();
    TFakeWindow window(loop);
    {
        TfrmMain form(window);
        form.WindowShown();
        const std::string file = WriteScratchFile("menu.bmp", MakeBmp24(PatternRaster(300, 200)));
        const TSourcePicture source = DecodeSourcePicture(file);
        for (const TSlotInfo& slot : kSlots)
            window.Drops.at(slot.Picture)(file);
        TButton& upload = window.Buttons.at("btnUpload");
        upload.IsEnabled = true;
        const auto uploaded = [&] {
            upload.Click();
            upload.IsEnabled = true;
            const auto data = form.Bundle().Data();
            return std::vector<uint8_t>(data.begin(), data.end());
        };
        // A failed load's tooltip lasts as long as its status text.
        const std::string broken = WriteScratchFile("menu.png", {'B', 'M'});
        window.Drops.at("img1")(broken);
        EXPECT_EQ(window.Status.at("stBar").Text(), "Error loading image");
        EXPECT_EQ(window.Hints.at("stBar").rfind(broken + ": ", 0), 0u);
        uploaded();
        EXPECT_EQ(window.Hints.at("stBar"), "");

        struct TRow {
            size_t Slot;
            std::vector<std::string> Path;
            void (*Edit)(TPictureOptions&);
        };
        const TRow rows[] = {
            {1, {"Fit", "Cover"}, [](TPictureOptions& o) { o.Fit = TFitMode::Cover; }},
            {1, {"Filter", "Smooth"}, [](TPictureOptions& o) { o.Filter = TScaleFilter::Smooth; }},
            {2, {"Rotate Clockwise", "90\xC2\xB0"}, [](TPictureOptions& o) { o.Rotation = 90; }},
            {0,
             {"Background Colour..."},
             [](TPictureOptions& o) {
                 o.Background = {51, 102, 153};
             }},
            {2, {"Dither"}, [](TPictureOptions& o) { o.Dither = true; }},
            {1, {"Show Device Colours"}, nullptr},
            {0, {"Fit", "Stretch"}, [](TPictureOptions& o) { o.Fit = TFitMode::Stretch; }},
            {0, {"Show Device Colours"}, nullptr},
        };
        window.Colours.Answer = 0x336699;
        std::array<TPictureOptions, kSlotCount> options{};
        bool deviceColours = false;
        for (const TRow& row : rows) {
            const std::string what = kSlots[row.Slot].Picture + (" " + row.Path.back());
            std::vector<TRaster> before;
            std::vector<int> changes;
            for (const TSlotInfo& slot : kSlots) {
                before.push_back(window.Pictures.at(slot.Picture).Picture());
                changes.push_back(window.Pictures.at(slot.Picture).Changes());
            }
            const std::vector<uint8_t> bundleBefore = uploaded();
            const std::vector<TMenuItem> menu = window.Menus.at(kSlots[row.Slot].Picture)();
            const TMenuItem* entry = MenuEntry(menu, row.Path);
            ASSERT_TRUE(entry && entry->Enabled && entry->OnClick) << what;
            entry->OnClick();
            if (row.Edit)
                row.Edit(options[row.Slot]);
            else
                deviceColours = !deviceColours;
            for (size_t s = 0; s < kSlotCount; ++s) {
                TRasterPictureControl& picture = window.Pictures.at(kSlots[s].Picture);
                EXPECT_EQ(form.SlotOptions(s), options[s]) << what << " slot " << s;
                if (row.Edit && s != row.Slot) {
                    EXPECT_EQ(picture.Changes(), changes[s]) << what << " slot " << s;
                    EXPECT_TRUE(SameRaster(picture.Picture(), before[s])) << what << " slot " << s;
                    continue;
                }
                TRaster expected = RenderPicture(source, options[s]);
                if (deviceColours)
                    expected = DeviceColours(expected);
                EXPECT_TRUE(SameRaster(picture.Picture(), expected)) << what << " slot " << s;
            }
            if (!row.Edit) {
                EXPECT_EQ(uploaded(), bundleBefore) << what;
            }
        }
        // The menu shows the slot's choices as they now are.
        const std::vector<TMenuItem> menu = window.Menus.at("img1")();
        const TMenuItem* stretch = MenuEntry(menu, {"Fit", "Stretch"});
        ASSERT_NE(stretch, nullptr);
        EXPECT_TRUE(stretch->Checked);
    }
    sim::TSimPlatform::Instance().Reset();
}

} // namespace
} // namespace korvalis
