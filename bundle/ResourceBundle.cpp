#include "ResourceBundle.h"

#include "graphics/Raster.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace korvalis {

namespace {

void PutBigEndian16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

void PutBigEndian32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// Each channel's share of the word, from the same integer rule, so a pixel
// costs three table reads instead of three multiplications.
struct TChannelTables {
    uint16_t Red[256], Green[256], Blue[256];
    constexpr TChannelTables() : Red(), Green(), Blue() {
        for (unsigned v = 0; v < 256; ++v) {
            Red[v] = RGB565(uint8_t(v), 0, 0);
            Green[v] = RGB565(0, uint8_t(v), 0);
            Blue[v] = RGB565(0, 0, uint8_t(v));
        }
    }
};
constexpr TChannelTables kTables;

} // namespace

TResourceBundle::TResourceBundle() : FData(new uint8_t[kSize]()) {}

void TResourceBundle::Initialise() {
    std::memset(FData.get(), 0, kSize);
    uint8_t* entry = FData.get();
    for (const TSlotInfo& slot : kSlots) {
        PutBigEndian16(entry, kPictureWidth);
        PutBigEndian16(entry + 2, kPictureHeight);
        PutBigEndian32(entry + 4, slot.Offset);
        entry += kDirectoryEntryBytes;
    }
    std::memcpy(FData.get() + kSignatureOffset, "Korvalis", 8);
}

void TResourceBundle::Image2Bin(TRaster& image, size_t offset) {
    if (offset > kSize || kSize - offset < kPictureBytes)
        throw std::out_of_range("Picture does not fit into the resource bundle");
    image.SetPixelFormat(TPixelFormat::pf24bit);
    uint8_t* out = FData.get() + offset;
    const int width = std::min(image.Width(), kPictureWidth);
    const int height = std::min(image.Height(), kPictureHeight);
    for (int y = 0; y < kPictureHeight; ++y) {
        int x = 0;
        if (y < height) {
            const uint8_t* in = image.ScanLine(y);
            for (; x < width; ++x, in += 3, out += 2) {
                const uint16_t word =
                    kTables.Red[in[2]] | kTables.Green[in[1]] | kTables.Blue[in[0]];
                out[0] = uint8_t(word);
                out[1] = uint8_t(word >> 8);
            }
        }
        const size_t rest = size_t(kPictureWidth - x) * 2;
        std::memset(out, 0, rest);
        out += rest;
    }
}

TRaster BundlePicture(std::span<const uint8_t> bundle, int index) {
    if (index < 0 || size_t(index) >= kSlotCount)
        throw std::out_of_range("No such picture in the bundle");
    TRaster picture(TResourceBundle::kPictureWidth, TResourceBundle::kPictureHeight);
    const size_t offset = kSlots[size_t(index)].Offset;
    const size_t available = bundle.size() > offset ? bundle.size() - offset : 0;
    const size_t pixels = std::min(available, TResourceBundle::kPictureBytes) / 2;
    uint8_t* out = picture.Bits();
    for (size_t i = 0; i < pixels; ++i, out += 3) {
        const unsigned word = bundle[offset + 2 * i] | bundle[offset + 2 * i + 1] << 8;
        out[0] = Expand5(word & 0x1F);
        out[1] = Expand6((word >> 5) & 0x3F);
        out[2] = Expand5(word >> 11);
    }
    return picture;
}

} // namespace korvalis
