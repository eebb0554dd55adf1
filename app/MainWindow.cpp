#include "MainWindow.h"

#include "AppIcon.h"
#include "decoders/JpegPicture.h"
#include "imaging/ImageSlots.h"

#include <QApplication>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QScreen>
#include <QThread>

namespace korvalis {

namespace {

QPushButton* MakeButton(QWidget* parent, const char* caption, QRect geometry) {
    auto* button = new QPushButton(QString::fromLatin1(caption), parent);
    button->setGeometry(geometry);
    button->setAutoDefault(false);
    // Opaque, so repainting one button (keyboard cues) leaves its parent alone.
    button->setAutoFillBackground(true);
    return button;
}

QGroupBox* MakeGroup(QWidget* parent, const char* caption, int left) {
    auto* group = new QGroupBox(QString::fromLatin1(caption), parent);
    group->setGeometry(left, 0, 252, 377);
    group->setFlat(true);
    return group;
}

TPictureControl* MakePicture(QWidget* parent) {
    auto* picture = new TPictureControl(parent);
    picture->setGeometry(6, 16, 240, 320);
    return picture;
}

} // namespace

QFont WindowFont() {
    QFont font = QFontDatabase::hasFamily(QStringLiteral("Tahoma"))
                     ? QFont(QStringLiteral("Tahoma"))
                     : QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(11);
    return font;
}

TfrmMain::TfrmMain(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Korvalis Graphics Uploader"));
    setWindowIcon(KorvalisIcon());
    // Fixed single border: system menu, minimise and close, no maximise.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(kClientWidth, kClientHeight);
    setFont(WindowFont());
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);
    // JPEG pictures decode to 24 bits on any screen deeper than 8 bits.
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        InitJpegDefaults(screen->depth());
    CreateComponents();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(kClientWidth / 2, kClientHeight / 2));
    FormCreate();
}

TfrmMain::~TfrmMain() {
    // The controller goes first, while the handlers it may still call exist.
    FDevConBinding.reset();
    delete DevCon;
    DevCon = nullptr;
}

void TfrmMain::CreateComponents() {
    grp1 = MakeGroup(this, " Splash ", 4);
    grp1->setObjectName(QStringLiteral("grp1"));
    img1 = MakePicture(grp1);
    btn1Def = MakeButton(grp1, "Default", {5, 344, 75, 25});
    btn1Open = MakeButton(grp1, "Open...", {172, 344, 75, 25});
    grp2 = MakeGroup(this, " Logo ", 261);
    img2 = MakePicture(grp2);
    btn2Clr = MakeButton(grp2, "Clear", {5, 344, 75, 25});
    btn2Open = MakeButton(grp2, "Open...", {172, 344, 75, 25});
    grp3 = MakeGroup(this, " Screensaver ", 518);
    img3 = MakePicture(grp3);
    btn3Clr = MakeButton(grp3, "Clear", {5, 344, 75, 25});
    btn3Open = MakeButton(grp3, "Open...", {172, 344, 75, 25});
    btnUpload = MakeButton(this, "Upload", {3, 382, 85, 25});
    stBar = new TStatusBar(this, 500);
    stBar->setGeometry(0, 411, 774, 19);
    pb1 = new QProgressBar(this);
    pb1->setGeometry(518, 413, 255, 16);
    pb1->setTextVisible(false);
    pb1->hide();
    pb1->raise(); // lies over the right end of the status bar
    // The dialog matches the endings in any case, as the loader does.
    dlgOpen = std::make_unique<TQtOpenDialog>(
        this, QStringLiteral("Open Image"),
        QStringList{QStringLiteral("Images (*.bmp;*.jpg;*.jpeg;*.png)")});
    FOpenDialog = dlgOpen.get();
    // The controller posts itself its first pass; it runs from the message loop.
    DevCon = new THidDeviceController();
    tmrDataflash = new TQtTimer(this);
    tmrDataflash->SetInterval(500);
    tmrDataflash->SetEnabled(false);

    const char* names[] = {"img1",     "btn1Def",   "btn1Open", "grp2", "img2",
                           "btn2Clr",  "btn2Open",  "grp3",     "img3", "btn3Clr",
                           "btn3Open", "btnUpload", "stBar",    "pb1"};
    QWidget* widgets[] = {img1, btn1Def, btn1Open, grp2,     img2,      btn2Clr, btn2Open,
                          grp3, img3,    btn3Clr,  btn3Open, btnUpload, stBar,   pb1};
    for (size_t i = 0; i < std::size(names); ++i)
        widgets[i]->setObjectName(QString::fromLatin1(names[i]));

    // Inside each group the left button, then "Open..."; then the next group; then Upload.
    QWidget* order[] = {btn1Def, btn1Open, btn2Clr, btn2Open, btn3Clr, btn3Open, btnUpload};
    for (size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);

    FUploadButton = TQtButton(btnUpload);
    FProgressBar = TQtProgressBar(pb1);
    const auto sleep = [](int ms) { QThread::msleep(ulong(ms)); };
    TConnectionView view{*stBar, FUploadButton, *this, FProgressBar, *this, *tmrDataflash, sleep};
    view.Busy = &FBusyWindow;
    FConnection = std::make_unique<TConnection>(std::move(view));
    FDevConBinding = std::make_unique<TDevConBinding>(*DevCon, *FConnection);

    connect(btn1Def, &QPushButton::clicked, this, &TfrmMain::btn1DefClick);
    connect(btn1Open, &QPushButton::clicked, this, &TfrmMain::btn1OpenClick);
    connect(btn2Open, &QPushButton::clicked, this, &TfrmMain::btn2OpenClick);
    connect(btn3Open, &QPushButton::clicked, this, &TfrmMain::btn3OpenClick);
    connect(btn2Clr, &QPushButton::clicked, this, &TfrmMain::btn2ClrClick);
    connect(btn3Clr, &QPushButton::clicked, this, &TfrmMain::btn3ClrClick);
    connect(btnUpload, &QPushButton::clicked, this, &TfrmMain::btnUploadClick);
    tmrDataflash->SetOnTimer([this] { tmrDataflashTimer(); });
}

void TfrmMain::FormCreate() {
    FConnection->Reset();
    FKeyboardCue = std::make_unique<TQtKeyboardCue>(this, [this](uint16_t key) {
        bool handled = false;
        FormShortCut(key, handled);
    });
    FAltBugFix = std::make_unique<TAltBugFix>(FKeyboardCue->Timers(), FKeyboardCue->VisualStyles());
    FAltBugFix->SetEnabled(true);
    FAltBugFix->SetDelayType(TAltBugFixDelayType::dtPostMsg);
}

// Every key-down, before the window acts on it; the key is never consumed.
void TfrmMain::FormShortCut(uint16_t key, bool& /*handled*/) {
    FAltBugFix->KeyDownCheck(FKeyboardCue->Form(), key);
}

bool TfrmMain::event(QEvent* event) {
    if (event->type() == TQtWindowMessage::EventType() &&
        static_cast<TQtWindowMessage*>(event)->Message == WM_AltBugForceSelfRepaint) {
        FAltBugFix->ForceControlRepaint();
        return true;
    }
    return QWidget::event(event);
}

void TfrmMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!FShown) {
        FShown = true;
        FormShow();
    }
}

void TfrmMain::FormShow() {
    btn1DefClick();
    ClearImage(*img2);
    ClearImage(*img3);
    FBundle.Initialise();
}

void TfrmMain::SetCursor(TCursorKind cursor) {
    if (cursor == TCursorKind::crHourGlass)
        setCursor(Qt::WaitCursor);
    else
        unsetCursor();
}

void TfrmMain::RepaintNow() {
    repaint();
}

void TfrmMain::btn1DefClick() {
    DefaultPicture(*img1);
}
void TfrmMain::btn1OpenClick() {
    LoadImage(*img1, *FOpenDialog, *stBar);
}
void TfrmMain::btn2OpenClick() {
    LoadImage(*img2, *FOpenDialog, *stBar);
}
void TfrmMain::btn3OpenClick() {
    LoadImage(*img3, *FOpenDialog, *stBar);
}
void TfrmMain::btn2ClrClick() {
    ClearImage(*img2);
}
void TfrmMain::btn3ClrClick() {
    ClearImage(*img3);
}
void TfrmMain::btnUploadClick() {
    FConnection->btnUploadClick(FBundle, img1->Picture(), img2->Picture(), img3->Picture());
}

void TfrmMain::tmrDataflashTimer() {
    FConnection->tmrDataflashTimer();
}

} // namespace korvalis
