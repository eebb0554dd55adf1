#pragma once

// The Qt side of the toolkit interfaces: one small adaptor per window operation.

#include "graphics/Raster.h"
#include "qtloop/QtTimer.h"
#include "toolkit/Components.h"
#include "toolkit/Toolkit.h"

#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <memory>

class QFileDialog;
class QMenu;

namespace korvalis {

// A picture control: shows its raster at 1:1 from the top-left corner. It has
// no window of its own in the original sense, so it never takes focus.
class TPictureControl : public QWidget, public IPictureControl {
    Q_OBJECT
  public:
    explicit TPictureControl(QWidget* parent);

    TRaster& Picture() override;
    void DiscardPicture() override;
    int ControlWidth() const override { return width(); }
    int ControlHeight() const override { return height(); }
    void PictureChanged() override { update(); }
    bool HasPicture() const { return FPicture != nullptr; }

    // The menu the form gives for this picture, and files dropped onto it.
    void SetOnContextMenu(std::function<std::vector<TMenuItem>()> menu) {
        FOnMenu = std::move(menu);
    }
    void SetOnDropFile(std::function<void(const std::string&)> handler);
    bool HasContextMenu() const { return bool(FOnMenu); }
    // Shows the menu with its top-left corner at `at` (in this control) and
    // runs the entry chosen, once the menu is closed.
    void ShowContextMenu(QPoint at);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    std::unique_ptr<TRaster> FPicture;
    std::function<std::vector<TMenuItem>()> FOnMenu;
    std::function<void(const std::string&)> FOnDrop;
};

// Fills a Qt menu with the form's entries; choosing an action runs nothing
// by itself: the caller runs the entry whose action the menu gave back.
void FillMenu(QMenu& menu, const std::vector<TMenuItem>& items);
// The entry behind an action of a menu FillMenu filled, or nullptr.
const TMenuItem* MenuItemOf(const QAction* action);

// A status bar with one panel of fixed width and no size grip.
class TStatusBar : public QFrame, public IStatusPanel {
    Q_OBJECT
  public:
    TStatusBar(QWidget* parent, int panelWidth);
    void SetText(const std::string& text) override;
    std::string Text() const override;
    QLabel* Panel() const { return FPanel; }

  private:
    QLabel* FPanel;
};

// Clicks run the handler on the GUI thread, directly from the button's signal.
class TQtButton : public IPushButton {
  public:
    explicit TQtButton(QPushButton* button) : FButton(button) {}
    ~TQtButton() override { QObject::disconnect(FClicked); }
    TQtButton(const TQtButton&) = delete;
    TQtButton& operator=(const TQtButton&) = delete;
    void SetEnabled(bool enabled) override { FButton->setEnabled(enabled); }
    bool Enabled() const override { return FButton->isEnabled(); }
    void SetOnClick(std::function<void()> handler) override;

  private:
    QPushButton* FButton;
    std::function<void()> FOnClick;
    QMetaObject::Connection FClicked;
};

class TQtProgressBar : public IProgressBar {
  public:
    explicit TQtProgressBar(QProgressBar* bar) : FBar(bar) {}
    void SetMax(int max) override { FBar->setMaximum(max); }
    void SetPosition(int position) override { FBar->setValue(position); }
    void SetVisible(bool visible) override { FBar->setVisible(visible); }
    void RepaintNow() override { FBar->repaint(); }

  private:
    QProgressBar* FBar;
};

// The modal colour dialog of the desktop, owned by the window.
class TQtColourDialog : public IColourDialog {
  public:
    TQtColourDialog(QWidget* owner, QString title) : FOwner(owner), FTitle(std::move(title)) {}
    std::optional<uint32_t> Execute(uint32_t initial) override;

  private:
    QWidget* FOwner;
    QString FTitle;
};

// The modal open-file dialog. A filter reads as the user knows it from other
// programs, "Images (*.bmp;*.jpg;*.jpeg;*.png)", and matches the endings in
// any case, as the loader does. Qt's dialog splits a filter's patterns at
// spaces only, and the desktop's own dialogs match case-sensitively, so the
// dialog is always Qt's and the window filters its listing itself.
class TQtOpenDialog : public IOpenDialog {
  public:
    TQtOpenDialog(QWidget* owner, QString title, QStringList nameFilters);
    std::optional<std::string> Execute() override;
    // Everything Execute sets up before the dialog runs.
    void Prepare(QFileDialog& dialog) const;

    const QString& Title() const { return FTitle; }
    const QStringList& NameFilters() const { return FNameFilters; }

  private:
    QWidget* FOwner;
    QString FTitle;
    QStringList FNameFilters;
};

} // namespace korvalis
