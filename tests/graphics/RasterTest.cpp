#include "graphics/Raster.h"
#include "graphics/Exceptions.h"

#include <gtest/gtest.h>

namespace korvalis {
namespace {

// A 24-bit raster whose pixel (x, y) encodes its position, so any misplaced copy shows.
TRaster Numbered(int w, int h) {
    TRaster r(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            r.SetPixel(x, y, {uint8_t(x + 1), uint8_t(y + 1), 7});
    return r;
}

TEST(Raster, NewRasterIsBlackAndTopDown) {
    TRaster r(3, 2);
    EXPECT_EQ(r.Stride(), 9u);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(r.Pixel(x, y), clBlack);
    r.SetPixel(1, 0, {10, 20, 30});
    // Row 0 is the top row; bytes are blue, green, red.
    EXPECT_EQ(r.ScanLine(0)[3], 30);
    EXPECT_EQ(r.ScanLine(0)[4], 20);
    EXPECT_EQ(r.ScanLine(0)[5], 10);
    EXPECT_EQ(r.ScanLine(1) - r.ScanLine(0), 9);
}

TEST(Raster, DegenerateSizesAreEmpty) {
    for (auto [w, h] : {std::pair{0, 5}, {5, 0}, {-3, 4}, {4, -1}}) {
        TRaster r(w, h);
        EXPECT_TRUE(r.Empty()) << w << "x" << h;
        EXPECT_EQ(r.Width() * r.Height(), 0);
    }
}

TEST(Raster, HugeSizesFailBeforeAllocating) {
    TRaster r;
    EXPECT_THROW(r.SetSize(65535, 65535), EOutOfResources);
    EXPECT_TRUE(r.Empty());
}

TEST(Raster, ScanLineOutsideRasterThrows) {
    TRaster r(2, 2);
    EXPECT_THROW(r.ScanLine(2), std::out_of_range);
    EXPECT_THROW(r.ScanLine(-1), std::out_of_range);
}

TEST(Raster, EightBitConvertsThroughColourTable) {
    TRaster r(4, 1, TPixelFormat::pf8bit);
    r.ColorTable()[0] = {1, 2, 3, 0};
    r.ColorTable()[200] = {10, 20, 30, 0};
    r.ColorTable()[255] = {255, 128, 0, 0};
    const uint8_t idx[4] = {0, 200, 255, 7};
    std::copy(idx, idx + 4, r.ScanLine(0));
    EXPECT_EQ(r.Pixel(1, 0), (TColor{30, 20, 10}));
    r.SetPixelFormat(TPixelFormat::pf24bit);
    EXPECT_EQ(r.PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(r.Pixel(0, 0), (TColor{3, 2, 1}));
    EXPECT_EQ(r.Pixel(1, 0), (TColor{30, 20, 10}));
    EXPECT_EQ(r.Pixel(2, 0), (TColor{0, 128, 255}));
    EXPECT_EQ(r.Pixel(3, 0), clBlack);
}

TEST(Raster, RectangleUsesOutlineAndFill) {
    TRaster r(5, 4);
    r.SetOutlineColor({255, 0, 0});
    r.SetFillColor({0, 255, 0});
    r.Rectangle(0, 0, 5, 4);
    EXPECT_EQ(r.Pixel(0, 0), (TColor{255, 0, 0}));
    EXPECT_EQ(r.Pixel(4, 3), (TColor{255, 0, 0}));
    EXPECT_EQ(r.Pixel(2, 1), (TColor{0, 255, 0}));
    r.SetFillColor(clBlack);
    r.FillRect(-10, -10, 100, 100);
    EXPECT_EQ(r.Pixel(4, 3), clBlack);
}

struct TDrawCase {
    int x, y;          // where the 4 x 3 source goes on the 6 x 5 target
    int left, top;     // first target pixel covered
    int right, bottom; // one past the last
};

class RasterDraw : public ::testing::TestWithParam<TDrawCase> {};

TEST_P(RasterDraw, ClipsAtEveryEdge) {
    const TDrawCase c = GetParam();
    const TRaster source = Numbered(4, 3);
    TRaster target(6, 5);
    target.Draw(c.x, c.y, source);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x) {
            const bool inside = x >= c.left && x < c.right && y >= c.top && y < c.bottom;
            const TColor want = inside ? source.Pixel(x - c.x, y - c.y) : clBlack;
            ASSERT_EQ(target.Pixel(x, y), want) << "at " << x << "," << y;
        }
}

INSTANTIATE_TEST_SUITE_P(
    Positions, RasterDraw,
    ::testing::Values(TDrawCase{0, 0, 0, 0, 4, 3}, TDrawCase{1, 1, 1, 1, 5, 4},
                      TDrawCase{3, 0, 3, 0, 6, 3},   // cut at the right
                      TDrawCase{0, 3, 0, 3, 4, 5},   // cut at the bottom
                      TDrawCase{-2, 0, 0, 0, 2, 3},  // negative x cuts the source's left
                      TDrawCase{0, -2, 0, 0, 4, 1},  // negative y cuts the source's top
                      TDrawCase{-3, -2, 0, 0, 1, 1}, // one corner pixel left
                      TDrawCase{-4, 0, 0, 0, 0, 0},  // entirely left
                      TDrawCase{6, 0, 0, 0, 0, 0},   // entirely right
                      TDrawCase{0, 5, 0, 0, 0, 0},   // entirely below
                      TDrawCase{2147483600, 0, 0, 0, 0, 0},
                      TDrawCase{-2147483600, -2147483600, 0, 0, 0, 0}));

TEST(Raster, DrawFromEightBitUsesSourceColourTable) {
    TRaster source(2, 1, TPixelFormat::pf8bit);
    source.ColorTable()[1] = {9, 8, 7, 0};
    source.ScanLine(0)[1] = 1;
    TRaster target(3, 1);
    target.Draw(1, 0, source);
    EXPECT_EQ(target.Pixel(0, 0), clBlack);
    EXPECT_EQ(target.Pixel(1, 0), clBlack);
    EXPECT_EQ(target.Pixel(2, 0), (TColor{7, 8, 9}));
}

struct TStretchCase {
    int sw, sh, tw, th;
};

class RasterStretch : public ::testing::TestWithParam<TStretchCase> {};

TEST_P(RasterStretch, EveryTargetPixelIsTheSourcePixelUnderItsCentre) {
    const auto c = GetParam();
    const TRaster source = Numbered(c.sw, c.sh);
    const TRaster out = source.Stretched(c.tw, c.th);
    ASSERT_EQ(out.Width(), std::max(c.tw, 0) * (c.th > 0 && c.tw > 0));
    ASSERT_EQ(out.Height(), std::max(c.th, 0) * (c.th > 0 && c.tw > 0));
    for (int y = 0; y < out.Height(); ++y)
        for (int x = 0; x < out.Width(); ++x) {
            // Centre of target pixel x, in source units: (x + 0.5) * sw / tw.
            const double sx = (x + 0.5) * c.sw / c.tw, sy = (y + 0.5) * c.sh / c.th;
            ASSERT_EQ(out.Pixel(x, y), source.Pixel(int(sx), int(sy))) << x << "," << y;
        }
}

INSTANTIATE_TEST_SUITE_P(Sizes, RasterStretch,
                         ::testing::Values(TStretchCase{480 / 8, 640 / 8, 240 / 8, 320 / 8},
                                           TStretchCase{250, 30, 266, 32}, TStretchCase{5, 5, 1, 1},
                                           TStretchCase{1, 1, 7, 3}, TStretchCase{100, 2, 24, 0},
                                           TStretchCase{241, 3, 241, 4},
                                           TStretchCase{7, 9, 3, 11}));

TEST(Raster, StretchKeepsEightBitFormatAndTable) {
    TRaster source(2, 2, TPixelFormat::pf8bit);
    source.ColorTable()[5] = {1, 1, 1, 0};
    source.ScanLine(1)[1] = 5;
    const TRaster out = source.Stretched(4, 4);
    EXPECT_EQ(out.PixelFormat(), TPixelFormat::pf8bit);
    EXPECT_EQ(out.ScanLine(3)[3], 5);
    EXPECT_EQ(out.ScanLine(2)[2], 5);
    EXPECT_EQ(out.ScanLine(1)[1], 0);
    EXPECT_EQ(out.ColorTable()[5], (TRGBQuad{1, 1, 1, 0}));
}

TEST(Raster, CopyIsDeepAndMoveEmptiesTheSource) {
    TRaster a = Numbered(3, 3);
    TRaster b = a;
    b.SetPixel(0, 0, clWhite);
    EXPECT_NE(a.Pixel(0, 0), clWhite);
    TRaster c = std::move(a);
    EXPECT_TRUE(a.Empty()); // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(c.Width(), 3);
}

} // namespace
} // namespace korvalis
