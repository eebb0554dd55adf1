#pragma once

#include "QtBusyWindow.h"
#include "QtKeyboardCue.h"
#include "QtToolkit.h"
#include "bundle/ResourceBundle.h"
#include "protocol/Connection.h"
#include "protocol/DevConBinding.h"
#include "toolkit/Toolkit.h"
#include "ui/AltBugFixes.h"

#include <QGroupBox>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>

#include <memory>

namespace korvalis {

// The one window of the uploader. It owns its components and forwards their
// events; the work lives in imaging/, bundle/ and protocol/.
class TfrmMain : public QWidget, public IWindowCursor, public IRepaintable {
    Q_OBJECT
  public:
    static constexpr int kClientWidth = 774;
    static constexpr int kClientHeight = 430;

    explicit TfrmMain(QWidget* parent = nullptr);
    ~TfrmMain() override;

    // Components, in creation order.
    QGroupBox* grp1;
    TPictureControl* img1;
    QPushButton* btn1Def;
    QPushButton* btn1Open;
    QGroupBox* grp2;
    TPictureControl* img2;
    QPushButton* btn2Clr;
    QPushButton* btn2Open;
    QGroupBox* grp3;
    TPictureControl* img3;
    QPushButton* btn3Clr;
    QPushButton* btn3Open;
    QPushButton* btnUpload;
    TStatusBar* stBar;
    QProgressBar* pb1;
    std::unique_ptr<TQtOpenDialog> dlgOpen;
    THidDeviceController* DevCon;
    TQtTimer* tmrDataflash;

    TResourceBundle& Bundle() { return FBundle; }
    IOpenDialog& OpenDialog() { return *FOpenDialog; }
    // Tests put a scripted dialog in place of the real one.
    void SetOpenDialog(IOpenDialog* dialog) { FOpenDialog = dialog ? dialog : dlgOpen.get(); }

    // IWindowCursor, IRepaintable
    void SetCursor(TCursorKind cursor) override;
    void RepaintNow() override;

    TConnection& Connection() { return *FConnection; }
    TDevConBinding& DevConBinding() { return *FDevConBinding; }
    TQtButton& UploadButton() { return FUploadButton; }
    TQtProgressBar& ProgressBar() { return FProgressBar; }
    TAltBugFix& AltBugFix() { return *FAltBugFix; }

  protected:
    void showEvent(QShowEvent* event) override;
    bool event(QEvent* event) override;

  private:
    void CreateComponents();
    void FormCreate();
    void FormShow();

    void btn1DefClick();
    void btn1OpenClick();
    void btn2OpenClick();
    void btn3OpenClick();
    void btn2ClrClick();
    void btn3ClrClick();
    void btnUploadClick();
    void tmrDataflashTimer();

    TResourceBundle FBundle;
    std::unique_ptr<TConnection> FConnection;
    // DevCon's handlers (DevConEnumerate, DevConDeviceChange, DevConDeviceCreateError,
    // DevConDeviceData) live in the binding.
    std::unique_ptr<TDevConBinding> FDevConBinding;
    TQtButton FUploadButton{nullptr};
    TQtProgressBar FProgressBar{nullptr};
    TQtBusyWindow FBusyWindow;
    IOpenDialog* FOpenDialog = nullptr;
    bool FShown = false;

    // Keyboard-cue fix; the fix goes first, it uses what FKeyboardCue holds.
    void FormShortCut(uint16_t key, bool& handled);
    std::unique_ptr<TQtKeyboardCue> FKeyboardCue;
    std::unique_ptr<TAltBugFix> FAltBugFix;
};

// The window font: Tahoma 8 pt (11 pixels) when installed, else the desktop's
// sans font at the same pixel height.
QFont WindowFont();

} // namespace korvalis
