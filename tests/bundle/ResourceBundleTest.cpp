#include "bundle/ResourceBundle.h"
#include "graphics/Raster.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace korvalis {
namespace {

// Nearest integer of v * max / 255 with halves rounded up, by exact rational
// arithmetic rather than the shift constants the code uses.
unsigned Expected(unsigned v, unsigned max) {
    return (2 * v * max + 255) / 510;
}

TRaster Slot(TColor fill) {
    TRaster r(240, 320);
    r.SetFillColor(fill);
    r.FillRect(0, 0, 240, 320);
    return r;
}

uint16_t WordAt(const TResourceBundle& b, size_t offset) {
    return uint16_t(b.Data()[offset] | (b.Data()[offset + 1] << 8));
}

TEST(ResourceBundle, HeaderByteForByte) {
    TResourceBundle b;
    b.Initialise();
    const std::vector<uint8_t> directory = {
        0x00, 0xF0, 0x01, 0x40, 0x00, 0x00, 0x10, 0x00, // Splash
        0x00, 0xF0, 0x01, 0x40, 0x00, 0x02, 0x68, 0x00, // Logo
        0x00, 0xF0, 0x01, 0x40, 0x00, 0x04, 0xC0, 0x00, // Screensaver
    };
    ASSERT_EQ(b.Data().size(), 464896u);
    for (size_t i = 0; i < directory.size(); ++i)
        EXPECT_EQ(b.Data()[i], directory[i]) << "byte " << i;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b.Data()[0x900]), 8), "Korvalis");
    for (size_t i = 0x18; i < 0x900; ++i)
        ASSERT_EQ(b.Data()[i], 0) << "byte " << i;
    for (size_t i = 0x908; i < 0x1000; ++i)
        ASSERT_EQ(b.Data()[i], 0) << "byte " << i;
}

TEST(ResourceBundle, EveryLevelOfEveryChannel) {
    for (unsigned v = 0; v < 256; ++v) {
        const uint8_t c = uint8_t(v);
        EXPECT_EQ(RGB565(c, 0, 0), Expected(v, 31) << 11) << v;
        EXPECT_EQ(RGB565(0, c, 0), Expected(v, 63) << 5) << v;
        EXPECT_EQ(RGB565(0, 0, c), Expected(v, 31)) << v;
    }
}

TEST(ResourceBundle, ExamplesStoredLowByteFirst) {
    struct Row {
        TColor color;
        uint8_t lo, hi;
    };
    const Row rows[] = {
        {{255, 0, 0}, 0x00, 0xF8},     {{0, 255, 0}, 0xE0, 0x07}, {{0, 0, 255}, 0x1F, 0x00},
        {{255, 255, 255}, 0xFF, 0xFF}, {{0, 0, 0}, 0x00, 0x00},   {{128, 128, 128}, 0x10, 0x84},
        {{8, 4, 8}, 0x21, 0x08},       {{3, 1, 3}, 0x00, 0x00},
    };
    for (const Row& row : rows) {
        TResourceBundle b;
        b.Initialise();
        TRaster slot = Slot(row.color);
        b.Image2Bin(slot, kSlots[1].Offset);
        for (size_t i : {size_t{0}, size_t{2}, TResourceBundle::kPictureBytes - 2}) {
            EXPECT_EQ(b.Data()[kSlots[1].Offset + i], row.lo);
            EXPECT_EQ(b.Data()[kSlots[1].Offset + i + 1], row.hi);
        }
        // The areas beside it are untouched.
        EXPECT_EQ(WordAt(b, kSlots[1].Offset - 2), 0);
        EXPECT_EQ(WordAt(b, kSlots[2].Offset), 0);
    }
}

TEST(ResourceBundle, PictureAreasAndPixelOrder) {
    EXPECT_EQ(kSlots[1].Offset, 157696u);
    EXPECT_EQ(kSlots[2].Offset + TResourceBundle::kPictureBytes - 1, 464895u);
    TResourceBundle b;
    b.Initialise();
    TRaster slot(240, 320);
    slot.SetPixel(0, 0, {255, 0, 0});         // first word
    slot.SetPixel(239, 0, {0, 255, 0});       // end of the first row
    slot.SetPixel(0, 1, {0, 0, 255});         // start of the second row
    slot.SetPixel(239, 319, {255, 255, 255}); // last word of the bundle
    b.Image2Bin(slot, kSlots[2].Offset);
    const size_t base = kSlots[2].Offset;
    EXPECT_EQ(WordAt(b, base), 0xF800);
    EXPECT_EQ(WordAt(b, base + 239 * 2), 0x07E0);
    EXPECT_EQ(WordAt(b, base + 480), 0x001F);
    EXPECT_EQ(WordAt(b, 464894), 0xFFFF);
    EXPECT_EQ(WordAt(b, base + 2), 0);
}

TEST(ResourceBundle, BlackSlotGivesZeroBytes) {
    TResourceBundle b;
    b.Initialise();
    TRaster white = Slot(clWhite);
    b.Image2Bin(white, kSlots[0].Offset);
    TRaster black = Slot(clBlack);
    b.Image2Bin(black, kSlots[0].Offset);
    for (size_t i = 0; i < TResourceBundle::kPictureBytes; ++i)
        ASSERT_EQ(b.Data()[kSlots[0].Offset + i], 0) << i;
}

TEST(ResourceBundle, EightBitSlotIsConvertedInPlaceThroughItsTable) {
    TResourceBundle b;
    b.Initialise();
    TRaster slot(240, 320, TPixelFormat::pf8bit);
    slot.ColorTable()[0] = {0, 0, 255, 0}; // red
    b.Image2Bin(slot, kSlots[0].Offset);
    EXPECT_EQ(slot.PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(WordAt(b, kSlots[0].Offset + 1000), 0xF800);
}

TEST(ResourceBundle, SmallPictureIsPaddedBlackAndOffsetsAreChecked) {
    TResourceBundle b;
    b.Initialise();
    TRaster small(2, 2);
    small.SetFillColor(clWhite);
    small.FillRect(0, 0, 2, 2);
    b.Image2Bin(small, kSlots[0].Offset);
    EXPECT_EQ(WordAt(b, kSlots[0].Offset + 2), 0xFFFF);
    EXPECT_EQ(WordAt(b, kSlots[0].Offset + 4), 0);
    EXPECT_EQ(WordAt(b, kSlots[0].Offset + 480 * 2), 0);
    EXPECT_THROW(b.Image2Bin(small, TResourceBundle::kSize - 2), std::out_of_range);
    EXPECT_THROW(b.Image2Bin(small, kSlots[2].Offset + 1), std::out_of_range);
}

} // namespace
} // namespace korvalis

namespace korvalis {
namespace {

TEST(BundlePicture, RoundTripsWithinOneStepOfEachChannel) {
    TResourceBundle b;
    b.Initialise();
    TRaster slot(240, 320);
    for (int y = 0; y < 320; ++y)
        for (int x = 0; x < 240; ++x)
            slot.SetPixel(x, y, {uint8_t(x), uint8_t(y * 255 / 319), uint8_t(x ^ y)});
    b.Image2Bin(slot, kSlots[1].Offset);
    const TRaster back = BundlePicture(b.Data(), 1);
    for (int y = 0; y < 320; ++y)
        for (int x = 0; x < 240; ++x) {
            const TColor in = slot.Pixel(x, y), out = back.Pixel(x, y);
            // Re-encoding the expanded colour gives the same word: nothing drifts.
            ASSERT_EQ(RGB565(out.r, out.g, out.b), RGB565(in.r, in.g, in.b)) << x << "," << y;
            ASSERT_LE(std::abs(in.r - out.r), 4);
            ASSERT_LE(std::abs(in.g - out.g), 2);
        }
    // Extremes map to extremes.
    EXPECT_EQ(Expand5(31), 255);
    EXPECT_EQ(Expand6(63), 255);
    EXPECT_EQ(Expand5(0), 0);
}

TEST(BundlePicture, ShortBundlesGiveBlackAndBadIndexesThrow) {
    std::vector<uint8_t> shortBundle(0x1000 + 4, 0xFF);
    const TRaster splash = BundlePicture(shortBundle, 0);
    EXPECT_EQ(splash.Pixel(1, 0), clWhite);
    EXPECT_EQ(splash.Pixel(2, 0), clBlack);
    EXPECT_EQ(BundlePicture({}, 2).Pixel(239, 319), clBlack);
    EXPECT_THROW(BundlePicture(shortBundle, 3), std::out_of_range);
    EXPECT_THROW(BundlePicture(shortBundle, -1), std::out_of_range);
}

} // namespace
} // namespace korvalis
