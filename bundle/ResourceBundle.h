#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "Slots.h"
#include "graphics/Raster.h"

namespace korvalis {

// The one block of bytes the device receives on upload: a directory with an
// entry per slot, the signature, and each slot's picture as RGB565 at the
// slot's offset. Header fields are big-endian, pixel words little-endian.
class TResourceBundle {
  public:
    static constexpr size_t kSize = 0x71800; // 464,896
    static constexpr size_t kDirectoryEntryBytes = 8;
    static constexpr size_t kSignatureOffset = 0x900;
    static constexpr int kPictureWidth = 240;
    static constexpr int kPictureHeight = 320;
    static constexpr size_t kPictureBytes = size_t(kPictureWidth) * kPictureHeight * 2;

    TResourceBundle();

    // Zeroes every byte, then writes a directory entry per slot and "Korvalis".
    void Initialise();
    // Converts a slot's picture to RGB565 at offset: 320 rows of 240 pixels, top
    // row first. The picture is converted to 24 bits in place (no colour changes
    // for slot rasters). Pixels a smaller picture lacks are stored black.
    void Image2Bin(TRaster& image, size_t offset);

    std::span<const uint8_t> Data() const { return {FData.get(), kSize}; }

  private:
    std::unique_ptr<uint8_t[]> FData;
};

// The slots' directory, the signature and the pictures never overlap, and every
// picture lies inside the bundle, in slot order.
constexpr bool SlotsFitTheBundle() {
    size_t end = TResourceBundle::kSignatureOffset + 8;
    if (kSlotCount * TResourceBundle::kDirectoryEntryBytes > TResourceBundle::kSignatureOffset)
        return false;
    for (const TSlotInfo& slot : kSlots) {
        if (slot.Offset < end || slot.Offset > TResourceBundle::kSize ||
            TResourceBundle::kSize - slot.Offset < TResourceBundle::kPictureBytes)
            return false;
        end = slot.Offset + TResourceBundle::kPictureBytes;
    }
    return true;
}
static_assert(SlotsFitTheBundle(), "a slot's picture does not fit into the resource bundle");

// Nearest-integer RGB565 of an 8-bit colour, halves rounded up, in integers only.
constexpr uint16_t RGB565(uint8_t r, uint8_t g, uint8_t b) {
    const unsigned r5 = (r * 249u + 1014u) >> 11;
    const unsigned g6 = (g * 253u + 505u) >> 10;
    const unsigned b5 = (b * 249u + 1014u) >> 11;
    return static_cast<uint16_t>((r5 << 11) + (g6 << 5) + b5);
}

} // namespace korvalis

namespace korvalis {

// The 8-bit value a device shows for an RGB565 channel: the channel scaled back
// to 0..255 and rounded to nearest.
constexpr uint8_t Expand5(unsigned v5) {
    return uint8_t((v5 * 255u + 15u) / 31u);
}
constexpr uint8_t Expand6(unsigned v6) {
    return uint8_t((v6 * 255u + 31u) / 63u);
}

// The picture of kSlots[index] in a bundle as the device will show it, as a 240 x 320 24-bit
// raster. A bundle shorter than the picture's area gives black for the missing pixels.
TRaster BundlePicture(std::span<const uint8_t> bundle, int index);

} // namespace korvalis
