#include "MainForm.h"

#include "decoders/JpegPicture.h"
#include "imaging/ImageSlots.h"

namespace korvalis {

TfrmMain::TfrmMain(IFormComponents& window)
    : img1(window.PictureControl("img1")), btn1Def(window.Button("btn1Def")),
      btn1Open(window.Button("btn1Open")), img2(window.PictureControl("img2")),
      btn2Clr(window.Button("btn2Clr")), btn2Open(window.Button("btn2Open")),
      img3(window.PictureControl("img3")), btn3Clr(window.Button("btn3Clr")),
      btn3Open(window.Button("btn3Open")), btnUpload(window.Button("btnUpload")),
      stBar(window.StatusPanel("stBar")), pb1(window.ProgressBar("pb1")),
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
    FConnection = std::make_unique<TConnection>(std::move(view));
    FDevConBinding = std::make_unique<TDevConBinding>(*DevCon, *FConnection);

    btn1Def.SetOnClick([this] { btn1DefClick(); });
    btn1Open.SetOnClick([this] { btn1OpenClick(); });
    btn2Open.SetOnClick([this] { btn2OpenClick(); });
    btn3Open.SetOnClick([this] { btn3OpenClick(); });
    btn2Clr.SetOnClick([this] { btn2ClrClick(); });
    btn3Clr.SetOnClick([this] { btn3ClrClick(); });
    btnUpload.SetOnClick([this] { btnUploadClick(); });
    tmrDataflash.SetOnTimer([this] { tmrDataflashTimer(); });
    FormCreate();
}

TfrmMain::~TfrmMain() {
    // The controller goes first, while the handlers it may still call exist.
    FDevConBinding.reset();
    delete DevCon;
    DevCon = nullptr;
    // No handler may reach a form that is gone.
    for (IPushButton* button :
         {&btn1Def, &btn1Open, &btn2Open, &btn3Open, &btn2Clr, &btn3Clr, &btnUpload})
        button->SetOnClick(nullptr);
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
    btn1DefClick();
    ClearImage(img2);
    ClearImage(img3);
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

void TfrmMain::btn1DefClick() {
    DefaultPicture(img1);
}
void TfrmMain::btn1OpenClick() {
    LoadImage(img1, *FOpenDialog, stBar);
}
void TfrmMain::btn2OpenClick() {
    LoadImage(img2, *FOpenDialog, stBar);
}
void TfrmMain::btn3OpenClick() {
    LoadImage(img3, *FOpenDialog, stBar);
}
void TfrmMain::btn2ClrClick() {
    ClearImage(img2);
}
void TfrmMain::btn3ClrClick() {
    ClearImage(img3);
}
void TfrmMain::btnUploadClick() {
    FConnection->btnUploadClick(FBundle, img1.Picture(), img2.Picture(), img3.Picture());
}

void TfrmMain::tmrDataflashTimer() {
    FConnection->tmrDataflashTimer();
}

} // namespace korvalis
