// Fitting and centring: where every pixel of a loaded picture lands in the slot.
#include "TestPictures.h"
#include "imaging/ImageSlots.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace korvalis {
namespace {

using testing::PatternColour;
using testing::PatternRaster;

struct TFitRow {
    int W, H;       // the decoded picture
    int FitW, FitH; // after the fit step
    int X, Y;       // where its top-left corner lands
};

// Sizes from the behaviour lists, and their neighbours on each boundary.
const TFitRow kFitRows[] = {
    {240, 320, 240, 320, 0, 0},    // fills the slot exactly
    {100, 100, 100, 100, 70, 110}, // never enlarged
    {101, 101, 101, 101, 69, 109}, // odd black column and row at right and bottom
    {1, 1, 1, 1, 119, 159},        {239, 319, 239, 319, 0, 0},
    {240, 321, 239, 320, 0, 0}, // one row too many: shrinks to 320 high
    {480, 640, 240, 320, 0, 0},    {640, 480, 240, 180, 0, 70},
    {500, 500, 320, 320, -40, 0}, // square: width against height, cropped at both sides
    {250, 300, 266, 320, -13, 0}, // enlarged: 250 x 320 div 300
    {241, 320, 241, 320, 0, 0},   // not resized; the last column is cut
    {241, 319, 241, 320, 0, 0},   // grows by one row only
    {241, 241, 320, 320, -40, 0},  {321, 320, 240, 239, 0, 40}, // landscape by one column
    {1000, 2, 240, 0, 0, 160}, // scales to nothing: the slot stays black
    {2, 1000, 0, 320, 120, 0},     {65535, 1, 240, 0, 0, 160},
    {1, 65535, 0, 320, 120, 0},    {4000, 6000, 213, 320, 13, 0},
    {6000, 4000, 240, 160, 0, 80},
};

void PrintTo(const TFitRow& r, std::ostream* os) {
    *os << r.W << "x" << r.H;
}

class FitAndCentre : public ::testing::TestWithParam<TFitRow> {};
// Every pixel is checked for the sizes that are cheap to make.
class PlacedPixels : public ::testing::TestWithParam<TFitRow> {};

std::vector<TFitRow> SmallRows() {
    std::vector<TFitRow> rows;
    for (const TFitRow& row : kFitRows)
        if (int64_t(row.W) * row.H <= 4'000'000)
            rows.push_back(row);
    return rows;
}

TEST_P(FitAndCentre, FitSizeAndPositionFollowTheIntegerRules) {
    const TFitRow& row = GetParam();
    const TFitSize fit = FitSize(row.W, row.H);
    EXPECT_EQ(fit, (TFitSize{row.FitW, row.FitH}));
    EXPECT_EQ(CentreOffset(kSlotWidth, fit.Width), row.X);
    EXPECT_EQ(CentreOffset(kSlotHeight, fit.Height), row.Y);
}

// floor((2t + 1) * S / (2 * T)): the source pixel under the target pixel's centre.
int NearestSource(int t, int source, int target) {
    return int((2 * int64_t(t) + 1) * source / (2 * int64_t(target)));
}

TEST_P(PlacedPixels, EverySlotPixelIsTheNearestSourcePixelOrBlack) {
    const TFitRow& row = GetParam();
    TRasterPictureControl slot;
    slot.Picture().SetPixel(5, 5, {1, 2, 3}); // earlier content must vanish
    PlaceOnSlot(slot, PatternRaster(row.W, row.H));
    const TRaster& out = slot.Picture();
    ASSERT_EQ(out.Width(), kSlotWidth);
    ASSERT_EQ(out.Height(), kSlotHeight);
    int mismatches = 0;
    for (int y = 0; y < kSlotHeight && mismatches < 5; ++y)
        for (int x = 0; x < kSlotWidth && mismatches < 5; ++x) {
            const int u = x - row.X, v = y - row.Y;
            TColor expected = clBlack;
            if (u >= 0 && u < row.FitW && v >= 0 && v < row.FitH)
                expected = PatternColour(NearestSource(u, row.W, row.FitW),
                                         NearestSource(v, row.H, row.FitH));
            if (out.Pixel(x, y) != expected) {
                ++mismatches;
                ADD_FAILURE() << "slot pixel (" << x << ", " << y << ")";
            }
        }
}

std::string RowName(const ::testing::TestParamInfo<TFitRow>& info) {
    return std::to_string(info.param.W) + "x" + std::to_string(info.param.H);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FitAndCentre, ::testing::ValuesIn(kFitRows), RowName);
INSTANTIATE_TEST_SUITE_P(Sizes, PlacedPixels, ::testing::ValuesIn(SmallRows()), RowName);

TEST(FitAndCentreEdges, HalvingKeepsTheOddColumnsAndRows) {
    TRasterPictureControl slot;
    PlaceOnSlot(slot, PatternRaster(480, 640));
    EXPECT_EQ(slot.Picture().Pixel(0, 0), PatternColour(1, 1));
    EXPECT_EQ(slot.Picture().Pixel(239, 319), PatternColour(479, 639));
}

TEST(FitAndCentreEdges, EnlargedPictureShowsColumns13To252) {
    // 250 x 300 grows to 266 x 320 and is drawn at (-13, 0).
    TRasterPictureControl slot;
    PlaceOnSlot(slot, PatternRaster(250, 300));
    EXPECT_EQ(slot.Picture().Pixel(0, 0), PatternColour(NearestSource(13, 250, 266), 0));
    EXPECT_EQ(slot.Picture().Pixel(239, 319),
              PatternColour(NearestSource(252, 250, 266), NearestSource(319, 300, 320)));
}

TEST(FitAndCentreEdges, EightBitPicturesAreDrawnThroughTheirColourTable) {
    TRaster grey(100, 100, TPixelFormat::pf8bit);
    for (int i = 0; i < 256; ++i)
        grey.ColorTable()[i] = {uint8_t(255 - i), uint8_t(i), uint8_t(i / 2), 0};
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x)
            grey.ScanLine(y)[x] = uint8_t(x + y);
    TRasterPictureControl slot;
    PlaceOnSlot(slot, grey);
    EXPECT_EQ(slot.Picture().PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(slot.Picture().Pixel(70 + 10, 110 + 20), (TColor{30 / 2, 30, 255 - 30}));
    EXPECT_EQ(slot.Picture().Pixel(69, 110), clBlack);
}

TEST(ClearImageTest, EveryPixelBecomesBlackAtTheControlSize) {
    TRasterPictureControl slot;
    slot.Picture() = PatternRaster(17, 500); // whatever the slot held before
    slot.Picture().SetPixel(0, 0, clWhite);
    const int changesBefore = slot.Changes();
    ClearImage(slot);
    EXPECT_EQ(slot.Picture().Width(), 240);
    EXPECT_EQ(slot.Picture().Height(), 320);
    EXPECT_TRUE(testing::AllBlack(slot.Picture()));
    EXPECT_EQ(slot.Picture().FillColor(), clBlack);
    EXPECT_EQ(slot.Picture().OutlineColor(), clBlack);
    EXPECT_GT(slot.Changes(), changesBefore);
}

} // namespace
} // namespace korvalis
