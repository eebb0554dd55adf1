#include "MainForm.h"

#include "decoders/JpegPicture.h"
#include "imaging/ImageSlots.h"
#include "imaging/PictureRendering.h"

#include <exception>
#include <optional>
#include <string>

namespace korvalis {

namespace {

constexpr const char* kStatusBar = "stBar";
// Ctrl+1 opens a picture for the first slot, and so on.
static_assert(kSlotCount <= 9);
TShortCut SlotShortCut(const TfrmMain::TSlotComponents& slot) {
    return {uint16_t(vk::Digit0 + 1 + (&slot.Info - kSlots.data()))};
}
const TShortCut kUploadShortCut{uint16_t(vk::LetterA + ('U' - 'A'))};

std::vector<TfrmMain::TSlotComponents> SlotComponentsOf(IFormComponents& window) {
    std::vector<TfrmMain::TSlotComponents> slots;
    for (const TSlotInfo& slot : kSlots)
        slots.push_back({slot, window.PictureControl(slot.Picture), window.Button(slot.ResetButton),
                         window.Button(slot.OpenButton)});
    return slots;
}

} // namespace

TfrmMain::TfrmMain(IFormComponents& window)
    : Slots(SlotComponentsOf(window)), btnUpload(window.Button("btnUpload")),
      stBar(window.StatusPanel(kStatusBar)), pb1(window.ProgressBar("pb1")),
      tmrDataflash(window.Timer("tmrDataflash")), FWindow(window),
      FDlgOpen(window.OpenDialog("dlgOpen")), FOpenDialog(&FDlgOpen) {
    // JPEG pictures decode to 24 bits on any screen deeper than 8 bits.
    if (const int depth = window.ScreenDepth(); depth > 0)
        InitJpegDefaults(depth);
    // The controller posts itself its first pass; it runs from the GUI loop.
    DevCon = new THidDeviceController();
    TConnectionView view{
        stBar, btnUpload, window.Cursor(), pb1, window.Window(), tmrDataflash, [&window](int ms) {
            window.Sleep(ms);
        }};
    view.Busy = window.BusyWindow();
    // The status bar's tooltip explains a failed load; any other message ends it.
    view.StateChanged = [&window](TConnectionState) { window.SetHint(kStatusBar, ""); };
    FConnection = std::make_unique<TConnection>(std::move(view));
    FDevConBinding = std::make_unique<TDevConBinding>(*DevCon, *FConnection);

    for (const TSlotComponents& slot : Slots) {
        slot.Reset.SetOnClick([this, &slot] { SlotResetClick(slot); });
        slot.Open.SetOnClick([this, &slot] { SlotOpenClick(slot); });
    }
    btnUpload.SetOnClick([this] { btnUploadClick(); });
    tmrDataflash.SetOnTimer([this] { tmrDataflashTimer(); });
    AddWindowExtras();
    FormCreate();
}

TfrmMain::~TfrmMain() {
    // The controller goes first, while the handlers it may still call exist.
    FDevConBinding.reset();
    delete DevCon;
    DevCon = nullptr;
    // No handler may reach a form that is gone.
    for (const TSlotComponents& slot : Slots) {
        slot.Reset.SetOnClick(nullptr);
        slot.Open.SetOnClick(nullptr);
        FWindow.SetOnDropFile(slot.Info.Picture, nullptr);
        FWindow.SetOnContextMenu(slot.Info.Picture, nullptr);
        FWindow.SetShortCut(SlotShortCut(slot), nullptr);
    }
    FWindow.SetShortCut(kUploadShortCut, nullptr);
    btnUpload.SetOnClick(nullptr);
    tmrDataflash.SetOnTimer(nullptr);
}

void TfrmMain::FormCreate() {
    FConnection->Reset();
    FAltBugFix = std::make_unique<TAltBugFix>(FWindow.Timers(), FWindow.VisualStyles());
    FAltBugFix->SetEnabled(true);
    FAltBugFix->SetDelayType(TAltBugFixDelayType::dtPostMsg);
}

void TfrmMain::WindowShown() {
    if (!FShown) {
        FShown = true;
        FormShow();
    }
}

void TfrmMain::FormShow() {
    // Every slot as its left button leaves it: the built-in picture or black.
    for (const TSlotComponents& slot : Slots)
        SlotResetClick(slot);
    FBundle.Initialise();
}

void TfrmMain::WindowKeyDown(uint16_t key) {
    bool handled = false;
    FormShortCut(key, handled);
}

// Every key-down, before the window acts on it; the key is never consumed.
void TfrmMain::FormShortCut(uint16_t key, bool& /*handled*/) {
    FAltBugFix->KeyDownCheck(FWindow.FormWindow(), key);
}

bool TfrmMain::WindowMessage(uint32_t message, uintptr_t /*wParam*/, intptr_t /*lParam*/) {
    if (message != WM_AltBugForceSelfRepaint)
        return false;
    FAltBugFix->ForceControlRepaint();
    return true;
}

void TfrmMain::SlotResetClick(const TSlotComponents& slot) {
    State(slot).Source.Forget();
    RedrawSlot(slot);
}
void TfrmMain::SlotOpenClick(const TSlotComponents& slot) {
    if (const std::optional<std::string> fileName = FOpenDialog->Execute())
        LoadSlotFile(slot, *fileName);
}

void TfrmMain::LoadSlotFile(const TSlotComponents& slot, const std::string& fileName) {
    TSlotState& state = State(slot);
    const TLoadOutcome outcome =
        korvalis::LoadSlotFile(slot.Picture, fileName, stBar, state.Source, state.Options);
    if (outcome.Failed) {
        ShowLoadFailure(outcome);
        return;
    }
    FWindow.SetHint(kStatusBar, "");
    ShowDeviceColours(slot);
}

// The status text stays the one the user knows; the reader's reason, which
// names what is wrong with the file, goes in its tooltip.
void TfrmMain::ShowLoadFailure(const TLoadOutcome& outcome) {
    FWindow.SetHint(kStatusBar, outcome.FileName + ": " + outcome.Reason);
}

void TfrmMain::RedrawSlot(const TSlotComponents& slot) {
    TSlotState& state = State(slot);
    // The built-in picture and black are what they always were: the options
    // shape a loaded file.
    if (state.Source.Loaded()) {
        const TLoadOutcome outcome = ApplyOptions(slot.Picture, state.Source, stBar, state.Options);
        if (outcome.Failed) {
            ShowLoadFailure(outcome);
            return;
        }
    } else if (slot.Info.HasBuiltIn()) {
        DefaultPicture(slot.Picture, slot.Info.BuiltIn);
    } else {
        ClearImage(slot.Picture);
    }
    ShowDeviceColours(slot);
}

// The view changes what the slot holds, and so what Upload sends, by nothing:
// the device's colours convert to the very words the picture converts to.
void TfrmMain::ShowDeviceColours(const TSlotComponents& slot) {
    if (!FDeviceColours)
        return;
    TRaster& picture = slot.Picture.Picture();
    picture = DeviceColours(picture);
    slot.Picture.PictureChanged();
}

void TfrmMain::SetSlotOptions(const TSlotComponents& slot, const TPictureOptions& options) {
    if (options == State(slot).Options)
        return;
    State(slot).Options = options;
    RedrawSlot(slot);
}

void TfrmMain::SetDeviceColours(bool shown) {
    FDeviceColours = shown;
    for (const TSlotComponents& slot : Slots)
        if (shown)
            ShowDeviceColours(slot);
        else
            RedrawSlot(slot);
}

namespace {

std::string Capitalised(std::string_view word) {
    std::string text(word);
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z')
        text[0] = char(text[0] - 'a' + 'A');
    return text;
}

TMenuItem Entry(std::string caption, bool checked, bool enabled, std::function<void()> onClick) {
    TMenuItem item;
    item.Caption = std::move(caption);
    item.Checked = checked;
    item.Enabled = enabled;
    item.OnClick = std::move(onClick);
    return item;
}

TMenuItem Submenu(std::string caption, bool enabled, std::vector<TMenuItem> items) {
    TMenuItem item;
    item.Caption = std::move(caption);
    item.Enabled = enabled;
    item.Items = std::move(items);
    return item;
}

// The degree sign, in UTF-8 as every caption is.
constexpr const char* kDegrees = "\xC2\xB0";

uint32_t RgbOf(TColor colour) {
    return uint32_t(colour.r) << 16 | uint32_t(colour.g) << 8 | colour.b;
}

} // namespace

std::vector<TMenuItem> TfrmMain::SlotMenu(const TSlotComponents& slot) {
    const TPictureOptions now = State(slot).Options;
    // Each entry edits the options as they are when it is chosen.
    const auto change = [this, &slot](std::function<void(TPictureOptions&)> edit) {
        return [this, &slot, edit] {
            TPictureOptions options = State(slot).Options;
            edit(options);
            SetSlotOptions(slot, options);
        };
    };
    std::vector<TMenuItem> rotate;
    for (const int degrees : kRotations)
        rotate.push_back(Entry(std::to_string(degrees) + kDegrees, now.Rotation == degrees, true,
                               change([degrees](TPictureOptions& o) { o.Rotation = degrees; })));
    std::vector<TMenuItem> fit;
    for (const TFitMode mode : FitModes())
        fit.push_back(Entry(Capitalised(FitModeName(mode)), now.Fit == mode, true,
                            change([mode](TPictureOptions& o) { o.Fit = mode; })));
    fit.push_back({});
    fit.push_back(Entry("Enlarge Small Pictures", now.Enlarge, now.Fit == TFitMode::Contain,
                        change([](TPictureOptions& o) { o.Enlarge = !o.Enlarge; })));
    std::vector<TMenuItem> filter;
    for (const TScaleFilter kind : ScaleFilters())
        filter.push_back(Entry(Capitalised(ScaleFilterName(kind)), now.Filter == kind, true,
                               change([kind](TPictureOptions& o) { o.Filter = kind; })));
    std::vector<TMenuItem> menu;
    menu.push_back(Submenu("Rotate Clockwise", true, std::move(rotate)));
    menu.push_back(Submenu("Fit", true, std::move(fit)));
    // The device's own rule always takes the nearest pixel.
    menu.push_back(Submenu("Filter", now.Fit != TFitMode::Device, std::move(filter)));
    menu.push_back(Entry("Background Colour...", false, true, [this, &slot] {
        const std::optional<uint32_t> rgb =
            FWindow.ColourDialog().Execute(RgbOf(State(slot).Options.Background));
        if (!rgb)
            return;
        TPictureOptions options = State(slot).Options;
        options.Background = {uint8_t(*rgb >> 16), uint8_t(*rgb >> 8), uint8_t(*rgb)};
        SetSlotOptions(slot, options);
    }));
    menu.push_back(Entry("Dither", now.Dither, true,
                         change([](TPictureOptions& o) { o.Dither = !o.Dither; })));
    menu.push_back({});
    menu.push_back(Entry("Show Device Colours", FDeviceColours, true,
                         [this] { SetDeviceColours(!FDeviceColours); }));
    return menu;
}

// What the window has beyond its stored layout: short cuts (Ctrl with a digit
// or letter: the buttons' captions have no accelerators, and the keyboard-cue
// fix watches only Alt, Tab and the arrows), tooltips, menus and file drops.
void TfrmMain::AddWindowExtras() {
    for (const TSlotComponents& slot : Slots) {
        const TShortCut key = SlotShortCut(slot);
        FWindow.SetShortCut(key, [this, &slot] {
            if (slot.Open.Enabled())
                SlotOpenClick(slot);
        });
        FWindow.SetHint(slot.Info.OpenButton, "Open a picture for the " +
                                                  std::string(slot.Info.Name) + " slot (" +
                                                  key.Text() + ")");
        FWindow.SetHint(slot.Info.ResetButton,
                        slot.Info.HasBuiltIn()
                            ? "Put the built-in " + std::string(slot.Info.Name) + " picture back"
                            : "Make the " + std::string(slot.Info.Name) + " slot black");
        FWindow.SetOnContextMenu(slot.Info.Picture, [this, &slot] { return SlotMenu(slot); });
        FWindow.SetOnDropFile(slot.Info.Picture, [this, &slot](const std::string& fileName) {
            if (slot.Open.Enabled())
                LoadSlotFile(slot, fileName);
        });
    }
    const TShortCut upload = kUploadShortCut;
    FWindow.SetShortCut(upload, [this] {
        if (btnUpload.Enabled())
            btnUploadClick();
    });
    FWindow.SetHint("btnUpload", "Send the pictures to the device (" + upload.Text() + ")");
}
void TfrmMain::btnUploadClick() {
    std::array<TRaster*, kSlotCount> pictures{};
    for (size_t s = 0; s < kSlotCount; ++s)
        pictures[s] = &Slots[s].Picture.Picture();
    FConnection->btnUploadClick(FBundle, pictures);
}

void TfrmMain::tmrDataflashTimer() {
    FConnection->tmrDataflashTimer();
}

} // namespace korvalis
