#pragma once

#include "graphics/Raster.h"

#include <QWidget>

#include <array>
#include <cstdint>
#include <span>

namespace korvalis {

// The demo's "device screen": the three pictures the emulated device received,
// decoded back from RGB565, side by side at half size.
class TDeviceScreen : public QWidget {
    Q_OBJECT
  public:
    explicit TDeviceScreen(QWidget* parent = nullptr);

    // Shows what a bundle holds; an incomplete bundle shows what has arrived.
    void ShowBundle(std::span<const uint8_t> bundle, const QString& caption);
    const TRaster& Picture(int index) const { return FPictures[size_t(index)]; }
    QString Caption() const { return FCaption; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    std::array<TRaster, 3> FPictures;
    QString FCaption;
};

} // namespace korvalis
