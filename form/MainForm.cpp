#include "MainForm.h"

#include "decoders/JpegPicture.h"
#include "imaging/ImageSlots.h"

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
    AddShortCuts();
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
    if (slot.Info.HasBuiltIn())
        DefaultPicture(slot.Picture, slot.Info.BuiltIn);
    else
        ClearImage(slot.Picture);
}
void TfrmMain::SlotOpenClick(const TSlotComponents& slot) {
    if (const std::optional<std::string> fileName = FOpenDialog->Execute())
        LoadSlotFile(slot, *fileName);
}

void TfrmMain::LoadSlotFile(const TSlotComponents& slot, const std::string& fileName) {
    try {
        LoadImageFile(slot.Picture, fileName);
    } catch (const std::exception& error) {
        // The status text stays the one the user knows; the reader's reason,
        // which names what is wrong with the file, goes in the tooltip.
        stBar.SetText(kErrorLoadingImage);
        FWindow.SetHint(kStatusBar, fileName + ": " + error.what());
        return;
    }
    FWindow.SetHint(kStatusBar, "");
}

// Ctrl with a digit or letter: the buttons' captions have no accelerators, and
// the keyboard-cue fix watches only Alt, Tab and the arrows.
void TfrmMain::AddShortCuts() {
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
