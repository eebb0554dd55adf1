#pragma once

#include "bundle/Slots.h"
#include "graphics/Raster.h"

#include <QRect>
#include <QWidget>

#include <array>
#include <cstdint>
#include <span>

namespace korvalis {

// Top-left corners of two window frames placed side by side.
struct TCompanionPlacement {
    QPoint Main;
    QPoint Companion;
};

// Where a companion window's frame goes beside a main window's frame, both
// inside the available area: to the right, else to the left, else the main
// window moves over so that both fit side by side; on an area too narrow for
// that, below the main window. The main window stays where it is unless it
// has to move.
TCompanionPlacement PlaceBeside(const QRect& mainFrame, const QSize& companionFrame,
                                const QRect& available);

// The demo's "device screen": the slots' pictures the emulated device received,
// decoded back from RGB565, side by side at half size.
class TDeviceScreen : public QWidget {
    Q_OBJECT
  public:
    explicit TDeviceScreen(QWidget* parent = nullptr);

    // Shows the window beside the main window, which it never covers, and
    // lets the application end when the main window closes.
    void ShowBeside(QWidget& main);
    // Shows what a bundle holds; an incomplete bundle shows what has arrived.
    void ShowBundle(std::span<const uint8_t> bundle, const QString& caption);
    const TRaster& Picture(int index) const { return FPictures[size_t(index)]; }
    QString Caption() const { return FCaption; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    std::array<TRaster, kSlotCount> FPictures;
    QString FCaption;
};

} // namespace korvalis
