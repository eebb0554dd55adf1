#pragma once

#include "QtBusyWindow.h"
#include "QtKeyboardCue.h"
#include "QtToolkit.h"
#include "form/MainForm.h"
#include "qtloop/QtTimer.h"
#include "toolkit/Components.h"
#include "toolkit/Layout.h"
#include "toolkit/NamedComponents.h"

#include <QGroupBox>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QWidget>

#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvalis {

// The uploader's window in Qt: built from the main form's layout table, it
// gives the form behaviour (form/TfrmMain) its components and passes on the
// window's show, key-downs and private messages.
class TQtMainWindow : public QWidget,
                      public TNamedComponents,
                      public IWindowCursor,
                      public IRepaintable {
    Q_OBJECT
  public:
    explicit TQtMainWindow(QWidget* parent = nullptr);
    ~TQtMainWindow() override;

    // The built components, by the names of the layout.
    QGroupBox* grp1 = nullptr;
    TPictureControl* img1 = nullptr;
    QPushButton* btn1Def = nullptr;
    QPushButton* btn1Open = nullptr;
    QGroupBox* grp2 = nullptr;
    TPictureControl* img2 = nullptr;
    QPushButton* btn2Clr = nullptr;
    QPushButton* btn2Open = nullptr;
    QGroupBox* grp3 = nullptr;
    TPictureControl* img3 = nullptr;
    QPushButton* btn3Clr = nullptr;
    QPushButton* btn3Open = nullptr;
    QPushButton* btnUpload = nullptr;
    TStatusBar* stBar = nullptr;
    QProgressBar* pb1 = nullptr;
    TQtOpenDialog* dlgOpen = nullptr;
    TQtTimer* tmrDataflash = nullptr;

    TfrmMain& Form() { return *FForm; }
    TResourceBundle& Bundle() { return FForm->Bundle(); }
    IOpenDialog& OpenDialog() { return FForm->OpenDialog(); }
    void SetOpenDialog(IOpenDialog* dialog) { FForm->SetOpenDialog(dialog); }
    TConnection& Connection() { return FForm->Connection(); }
    TDevConBinding& DevConBinding() { return FForm->DevConBinding(); }
    TAltBugFix& AltBugFix() { return FForm->AltBugFix(); }

    // IFormComponents (the named components come from TNamedComponents)
    using TNamedComponents::OpenDialog;
    IWindowCursor& Cursor() override { return *this; }
    IRepaintable& Window() override { return *this; }
    IBusyWindow* BusyWindow() override { return &FBusyWindow; }
    void Sleep(int milliseconds) override;
    int ScreenDepth() const override;
    IFormWindow& FormWindow() override { return FKeyboardCue->Form(); }
    const IVisualStyles& VisualStyles() const override { return FKeyboardCue->VisualStyles(); }
    ITimerFactory& Timers() override { return FKeyboardCue->Timers(); }
    void SetHint(std::string_view name, const std::string& text) override;
    void SetShortCut(const TShortCut& key, std::function<void()> handler) override;
    void SetOnContextMenu(std::string_view picture,
                          std::function<std::vector<TMenuItem>()> menu) override;
    void SetOnDropFile(std::string_view picture,
                       std::function<void(const std::string&)> handler) override;
    IColourDialog& ColourDialog() override { return FColourDialog; }

    // IWindowCursor, IRepaintable
    void SetCursor(TCursorKind cursor) override;
    void RepaintNow() override;

  protected:
    void showEvent(QShowEvent* event) override;
    bool event(QEvent* event) override;
    // The menu key on a slot's button opens the menu of that slot's picture.
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    void Build(std::span<const TComponentLayout> layout);
    void SetTabOrder(std::span<const TComponentLayout> layout);

    std::map<std::string, QWidget*, std::less<>> FWidgets;
    std::vector<std::unique_ptr<TQtButton>> FButtonAdaptors;
    std::vector<std::unique_ptr<TQtProgressBar>> FProgressAdaptors;
    std::vector<std::unique_ptr<TQtOpenDialog>> FDialogObjects;
    std::map<std::pair<uint16_t, bool>, QShortcut*> FShortCuts;
    TQtColourDialog FColourDialog;
    TQtBusyWindow FBusyWindow;
    std::unique_ptr<TQtKeyboardCue> FKeyboardCue;
    // Goes first, while everything it was given exists.
    std::unique_ptr<TfrmMain> FForm;
};

// The window font: Tahoma 8 pt (11 pixels) when installed, else the desktop's
// sans font at the same pixel height.
QFont WindowFont();

} // namespace korvalis
