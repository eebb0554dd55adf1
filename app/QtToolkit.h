#pragma once

// The Qt side of the toolkit interfaces: one small adaptor per window operation.

#include "qtloop/QtTimer.h"
#include "graphics/Raster.h"
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

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    std::unique_ptr<TRaster> FPicture;
};

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
