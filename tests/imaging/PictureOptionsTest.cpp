// A slot's picture options: placement of every fit mode, smooth scaling,
// turning JPEGs upright, dithering, and the source a slot keeps to draw again.
#include "FakeWindow.h"
#include "TestPictures.h"
#include "bundle/ResourceBundle.h"
#include "imaging/ImageSlots.h"
#include "imaging/PictureFile.h"
#include "imaging/PictureRendering.h"
#include "imaging/PngWriter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>

namespace korvalis {
namespace {

using namespace korvalis::testing;

bool Same(const TRaster& a, const TRaster& b) {
    return a.Width() == b.Width() && a.Height() == b.Height() &&
           a.PixelFormat() == b.PixelFormat() &&
           std::memcmp(a.Bits(), b.Bits(), a.Stride() * size_t(a.Height())) == 0;
}

TSourcePicture SourceOf(TRaster colours) {
    TSourcePicture source;
    source.Colours = std::move(colours);
    return source;
}

TRaster Filled(int width, int height, TColor colour) {
    TRaster r(width, height);
    r.SetFillColor(colour);
    r.FillRect(0, 0, width, height);
    return r;
}

// Every mode places the picture where its description says, each slot pixel
// showing the source pixel under its centre or the background.
TEST(PictureOptions, EachFitModePlacesThePictureAsDescribed) {
    const struct {
        int W, H;
    } sizes[] = {{100, 50},  {240, 320}, {300, 300}, {1000, 200}, {50, 1000},
                 {260, 300}, {1, 1},     {481, 641}, {7, 3000}};
    const struct {
        TFitMode Fit;
        bool Enlarge;
        int Rotation;
    } modes[] = {{TFitMode::Device, false, 0},  {TFitMode::Contain, false, 0},
                 {TFitMode::Contain, true, 90}, {TFitMode::Cover, false, 0},
                 {TFitMode::Cover, false, 270}, {TFitMode::Stretch, false, 180}};
    const TColor background{0x20, 0x40, 0xC0};
    for (const auto& size : sizes)
        for (const auto& mode : modes) {
            // The picture as turned, then its scaled size from the description.
            const bool sideways = mode.Rotation % 180 != 0;
            const double w = sideways ? size.H : size.W, h = sideways ? size.W : size.H;
            double tw = 240, th = 320;
            if (mode.Fit == TFitMode::Device && (w > 240 || h > 320)) {
                // Landscape to 240 wide, portrait and square to 320 high.
                tw = w > h ? 240 : std::floor(w * 320 / h);
                th = w > h ? std::floor(h * 240 / w) : 320;
            } else if (mode.Fit == TFitMode::Device ||
                       (mode.Fit == TFitMode::Contain && !mode.Enlarge && w <= 240 && h <= 320)) {
                tw = w, th = h;
            } else if (mode.Fit != TFitMode::Stretch) {
                const double s = mode.Fit == TFitMode::Contain ? std::min(240 / w, 320 / h)
                                                               : std::max(240 / w, 320 / h);
                tw = std::max(1.0, std::floor(w * s + 0.5));
                th = std::max(1.0, std::floor(h * s + 0.5));
            }
            const int left = int(std::trunc((240 - tw) / 2)), top = int(std::trunc((320 - th) / 2));
            TPictureOptions options;
            options.Fit = mode.Fit;
            options.Enlarge = mode.Enlarge;
            options.Rotation = mode.Rotation;
            options.Background = background;
            const TRaster slot = RenderPicture(SourceOf(PatternRaster(size.W, size.H)), options);
            ASSERT_EQ(slot.Width(), 240);
            ASSERT_EQ(slot.Height(), 320);
            int wrong = 0;
            for (int y = 0; y < 320; ++y)
                for (int x = 0; x < 240; ++x) {
                    TColor expected = background;
                    const int64_t tx = x - left, ty = y - top;
                    if (tx >= 0 && tx < tw && ty >= 0 && ty < th) {
                        const int64_t u = (2 * tx + 1) * int64_t(w) / (2 * int64_t(tw));
                        const int64_t v = (2 * ty + 1) * int64_t(h) / (2 * int64_t(th));
                        // Back through the clockwise turn to the stored picture.
                        int sx = int(u), sy = int(v);
                        if (mode.Rotation == 90)
                            sx = int(v), sy = size.H - 1 - int(u);
                        else if (mode.Rotation == 180)
                            sx = size.W - 1 - int(u), sy = size.H - 1 - int(v);
                        else if (mode.Rotation == 270)
                            sx = size.W - 1 - int(v), sy = int(u);
                        expected = PatternColour(sx, sy);
                    }
                    wrong += slot.Pixel(x, y) != expected;
                }
            EXPECT_EQ(wrong, 0) << size.W << " x " << size.H << " " << FitModeName(mode.Fit)
                                << (mode.Enlarge ? " enlarged" : "") << " turned " << mode.Rotation;
        }
}

// Each slot pixel of the smooth filter is the mean of the source area it covers.
TEST(PictureOptions, SmoothScalingAveragesTheAreaEachPixelCovers) {
    TRaster columns(480, 640), thirds(720, 960);
    for (int y = 0; y < 640; ++y)
        for (int x = 0; x < 480; ++x)
            columns.SetPixel(x, y, x % 2 ? clWhite : clBlack);
    for (int y = 0; y < 960; ++y)
        for (int x = 0; x < 720; ++x)
            thirds.SetPixel(x, y,
                            x % 3 == 0   ? TColor{255, 0, 0}
                            : x % 3 == 1 ? TColor{0, 255, 0}
                                         : TColor{0, 0, 255});
    const TColor teal{10, 200, 30}, back{1, 2, 3};
    const struct {
        const char* Name;
        TRaster Picture;
        TFitMode Fit;
        bool Enlarge;
        TColor Inside; // every pixel of [Left, 240 - Left) x [Top, 320 - Top)
        int Left, Top; // the rest is the background
    } rows[] = {
        {"halved columns", columns, TFitMode::Stretch, false, {128, 128, 128}, 0, 0},
        {"thirds", thirds, TFitMode::Cover, false, {85, 85, 85}, 0, 0},
        {"enlarged plain", Filled(100, 100, teal), TFitMode::Contain, true, teal, 0, 40},
        {"plain cover", Filled(90, 30, teal), TFitMode::Cover, false, teal, 0, 0},
    };
    for (const auto& row : rows) {
        TPictureOptions options;
        options.Fit = row.Fit;
        options.Enlarge = row.Enlarge;
        options.Filter = TScaleFilter::Smooth;
        options.Background = back;
        const TRaster slot = RenderPicture(SourceOf(row.Picture), options);
        int wrong = 0;
        for (int y = 0; y < 320; ++y)
            for (int x = 0; x < 240; ++x) {
                const bool inside =
                    x >= row.Left && x < 240 - row.Left && y >= row.Top && y < 320 - row.Top;
                wrong += slot.Pixel(x, y) != (inside ? row.Inside : back);
            }
        EXPECT_EQ(wrong, 0) << row.Name;
    }
}

// The upright picture as a camera stores it under each EXIF orientation.
TRaster StoredAs(const TRaster& upright, int orientation) {
    // Where the stored picture's first row and column lie in the upright one.
    const bool rowIsSide = orientation >= 5;
    const bool rowAtEnd = orientation == 3 || orientation == 4 || orientation == 6 ||
                          orientation == 7; // bottom, or the right side
    const bool colAtEnd = orientation == 2 || orientation == 3 || orientation == 7 ||
                          orientation == 8; // right, or the bottom
    const int W = upright.Width(), H = upright.Height();
    TRaster stored(rowIsSide ? H : W, rowIsSide ? W : H);
    for (int sy = 0; sy < stored.Height(); ++sy)
        for (int sx = 0; sx < stored.Width(); ++sx) {
            int ux, uy;
            if (!rowIsSide) {
                uy = rowAtEnd ? H - 1 - sy : sy;
                ux = colAtEnd ? W - 1 - sx : sx;
            } else {
                ux = rowAtEnd ? W - 1 - sy : sy;
                uy = colAtEnd ? H - 1 - sx : sx;
            }
            stored.SetPixel(sx, sy, upright.Pixel(ux, uy));
        }
    return stored;
}

// The JPEG with an Exif APP1 segment of one IFD entry, the orientation, right
// after SOI: 36 bytes.
std::vector<uint8_t> WithOrientation(std::vector<uint8_t> jpeg, int orientation, bool little) {
    const auto o = uint8_t(orientation);
    const std::vector<uint8_t> tiff =
        little ? std::vector<uint8_t>{'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 1, 3,
                                      0,   1,   0,  0, 0, o, 0, 0, 0, 0, 0,    0, 0}
               : std::vector<uint8_t>{'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 1, 0x12, 0,
                                      3,   0,   0, 0,  1, 0, o, 0, 0, 0, 0, 0,    0};
    std::vector<uint8_t> app1 = {0xFF, 0xE1, 0, uint8_t(8 + tiff.size()), 'E', 'x', 'i', 'f', 0, 0};
    app1.insert(app1.end(), tiff.begin(), tiff.end());
    jpeg.insert(jpeg.begin() + 2, app1.begin(), app1.end());
    return jpeg;
}

TEST(PictureOptions, JpegsAreShownUprightWhateverTheirExifOrientation) {
    TRaster upright(64, 32);
    const TColor quadrant[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 64; ++x)
            upright.SetPixel(x, y, quadrant[(y >= 16) * 2 + (x >= 32)]);
    for (int orientation = 1; orientation <= 8; ++orientation) {
        const std::vector<uint8_t> plain = MakeJpegOf(StoredAs(upright, orientation));
        const std::string file =
            WriteScratchFile("turned" + std::to_string(orientation) + ".jpg",
                             WithOrientation(plain, orientation, orientation % 2 == 1));
        TRasterPictureControl slot;
        LoadImageFile(slot, file);
        // Upright, 64 x 32, centred at (88, 144).
        for (int q = 0; q < 4; ++q) {
            const TColor shown =
                slot.Picture().Pixel(88 + 16 + 32 * (q % 2), 144 + 8 + 16 * (q / 2));
            const TColor want = quadrant[q];
            EXPECT_LT(std::abs(shown.r - want.r) + std::abs(shown.g - want.g) +
                          std::abs(shown.b - want.b),
                      60)
                << "orientation " << orientation << " quadrant " << q;
        }
        EXPECT_EQ(slot.Picture().Pixel(87, 150), clBlack) << orientation;
        // Without auto-orientation the slot is what the stored picture alone gives.
        TPictureOptions raw;
        raw.AutoOrient = false;
        TRasterPictureControl asStored, withoutTag;
        LoadImageFile(asStored, file, raw);
        LoadImageFile(withoutTag, WriteScratchFile("plain.jpg", plain));
        EXPECT_TRUE(Same(asStored.Picture(), withoutTag.Picture())) << orientation;
    }
}

// Damaged or unusual Exif never reads outside the file and never turns a picture.
TEST(PictureOptions, DamagedExifLeavesThePictureAsStored) {
    const std::vector<uint8_t> good = [] {
        std::vector<uint8_t> j = WithOrientation(MakeJpegOf(TRaster(8, 8)), 6, true);
        return std::vector<uint8_t>(j.begin(), j.begin() + 2 + 36 + 4); // SOI, APP1, next marker
    }();
    ASSERT_EQ(JpegOrientation(good), 6);
    const auto edited = [&good](size_t at, std::vector<uint8_t> bytes) {
        std::vector<uint8_t> b = good;
        std::copy(bytes.begin(), bytes.end(), b.begin() + ptrdiff_t(at));
        return b;
    };
    // Offsets: 2 APP1 marker, 4 length, 6 "Exif", 12 TIFF (byte order, 42, IFD
    // offset), 20 entry count, 22 tag, 24 type, 26 count, 30 value.
    const struct {
        const char* Name;
        std::vector<uint8_t> Bytes;
        int Orientation;
    } rows[] = {
        {"no SOI", edited(0, {0x00}), 1},
        {"length one", edited(4, {0, 1}), 1},
        {"length past the end", edited(4, {0x7F, 0xFF}), 1},
        {"not Exif", edited(6, {'e'}), 1},
        {"byte order", edited(12, {'I', 'M'}), 1},
        {"not 42", edited(14, {43}), 1},
        {"IFD past the end", edited(16, {0xF0, 0xFF, 0xFF, 0xFF}), 1},
        {"entries past the end", edited(20, {0xFF, 0xFF, 0x13}), 1},
        {"type long", edited(24, {4}), 1},
        {"two values", edited(26, {2}), 1},
        {"value 0", edited(30, {0}), 1},
        {"value 9", edited(30, {9}), 1},
        {"value 8", edited(30, {8}), 8},
        {"other tag", edited(22, {0x13}), 1},
        {"APP0 first",
         [&] {
             std::vector<uint8_t> b = {0xFF, 0xD8, 0xFF, 0xE0, 0, 4, 1, 2, 0xFF};
             b.insert(b.end(), good.begin() + 2, good.end());
             return b;
         }(),
         6},
        {"image data first",
         [&] {
             std::vector<uint8_t> b = {0xFF, 0xD8, 0xFF, 0xDA, 0, 2};
             b.insert(b.end(), good.begin() + 2, good.end());
             return b;
         }(),
         1},
    };
    for (const auto& row : rows)
        EXPECT_EQ(JpegOrientation(row.Bytes), row.Orientation) << row.Name;
    // Cut anywhere: never an orientation from bytes that are not there.
    for (size_t n = 0; n < good.size(); ++n) {
        const std::vector<uint8_t> cut(good.begin(), good.begin() + ptrdiff_t(n));
        EXPECT_EQ(JpegOrientation(cut), n >= 38 ? 6 : 1) << n;
    }
}

// Dithering spreads RGB565's rounding, so the mean colour of every small area
// of a gradient stays close to the picture's.
TEST(PictureOptions, DitheringKeepsAGradientsMeanColour) {
    TRaster gradient(240, 320);
    for (int y = 0; y < 320; ++y)
        for (int x = 0; x < 240; ++x)
            gradient.SetPixel(x, y,
                              {uint8_t(x * 255 / 239), uint8_t((x + y) * 255 / 558),
                               uint8_t(255 - y * 255 / 319)});
    TPictureOptions dithered;
    dithered.Dither = true;
    const TRaster plain = DeviceColours(RenderPicture(SourceOf(gradient), {}));
    const TRaster device = RenderPicture(SourceOf(gradient), dithered);
    // Already the device's colours: the bundle stores them as drawn.
    EXPECT_TRUE(Same(DeviceColours(device), device));
    const auto channel = [](TColor v, int c) { return c == 0 ? v.r : c == 1 ? v.g : v.b; };
    for (int c = 0; c < 3; ++c) {
        // Mean error per 8 x 8 block, over the blocks.
        double plainError = 0, ditheredError = 0;
        for (int by = 0; by < 320; by += 8)
            for (int bx = 0; bx < 240; bx += 8) {
                int want = 0, p = 0, d = 0;
                for (int y = by; y < by + 8; ++y)
                    for (int x = bx; x < bx + 8; ++x) {
                        want += channel(gradient.Pixel(x, y), c);
                        p += channel(plain.Pixel(x, y), c);
                        d += channel(device.Pixel(x, y), c);
                    }
                plainError += std::abs(p - want) / 64.0 / (30 * 40);
                ditheredError += std::abs(d - want) / 64.0 / (30 * 40);
            }
        EXPECT_LT(ditheredError, plainError / 3) << "channel " << c;
    }
}

// With the default options a kept source draws exactly what a load always drew.
TEST(PictureOptions, AKeptSourceDrawsTheDefaultSlotOfEveryCorpusFile) {
    int compared = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(KORVALIS_CORPUS_DIR)) {
        const std::string file = entry.path().string();
        if (!entry.is_regular_file() || PictureKindOf(file) == TPictureKind::pkUnknown)
            continue;
        TRasterPictureControl loaded, kept;
        bool loads = true;
        try {
            LoadImageFile(loaded, file);
        } catch (const std::exception&) {
            loads = false;
        }
        TSlotSource source;
        TRecordingStatus status;
        const TLoadOutcome outcome = LoadSlotFile(kept, file, status, source, {});
        ASSERT_EQ(outcome.Failed, !loads) << file;
        if (!loads) {
            EXPECT_EQ(status.Text(), "Error loading image");
            EXPECT_EQ(outcome.FileName, file);
            EXPECT_FALSE(outcome.Reason.empty());
            EXPECT_FALSE(kept.HasPicture()) << file;
            continue;
        }
        EXPECT_TRUE(Same(kept.Picture(), loaded.Picture())) << file;
        ++compared;
    }
    EXPECT_GT(compared, 250);
}

// A source within the budget is kept and survives its file; a larger one is
// read again, and when its file is gone the slot stays and the reason is given.
TEST(PictureOptions, TheKeptSourceStaysWithinItsBudget) {
    TPngPixels rgba;
    rgba.Width = 100;
    rgba.Height = 50;
    rgba.ColourType = 6;
    for (int i = 0; i < 100 * 50; ++i)
        rgba.Rows.insert(rgba.Rows.end(), {uint8_t(i), uint8_t(i / 7), 99, uint8_t(i % 3 * 100)});
    const struct {
        const char* Name;
        std::vector<uint8_t> Bytes;
        size_t Budget;
        bool Kept;
    } rows[] = {
        {"opaque.bmp", MakeBmp24(PatternRaster(100, 50)), 15000, true},
        {"opaque.bmp", MakeBmp24(PatternRaster(100, 50)), 14999, false},
        {"alpha.png", EncodePng(rgba), 20000, true}, // colours and alpha plane
        {"alpha.png", EncodePng(rgba), 19999, false},
    };
    TPictureOptions turned;
    turned.Rotation = 90;
    turned.Background = {200, 100, 0};
    for (const auto& row : rows) {
        const std::string file = WriteScratchFile(row.Name, row.Bytes);
        TRasterPictureControl slot, expected;
        TSlotSource source(row.Budget);
        TRecordingStatus status;
        EXPECT_FALSE(LoadSlotFile(slot, file, status, source, {}).Failed);
        EXPECT_LE(source.HeldBytes(), row.Budget);
        EXPECT_EQ(source.HeldBytes() > 0, row.Kept) << row.Name << " " << row.Budget;
        LoadImageFile(expected, file, turned);
        EXPECT_FALSE(ApplyOptions(slot, source, status, turned).Failed);
        EXPECT_TRUE(Same(slot.Picture(), expected.Picture())) << row.Name;
        std::filesystem::remove(file);
        const TLoadOutcome again = ApplyOptions(slot, source, status, {});
        EXPECT_EQ(again.Failed, !row.Kept) << row.Name << " " << row.Budget;
        EXPECT_TRUE(Same(slot.Picture(), expected.Picture()) != row.Kept) << row.Name;
        if (again.Failed) {
            EXPECT_EQ(status.Text(), "Error loading image");
            EXPECT_EQ(again.FileName, file);
            EXPECT_FALSE(again.Reason.empty());
        }
    }
}

// Transparency lets the chosen background through, as it let black through.
TEST(PictureOptions, TransparencyShowsTheBackground) {
    TPngPixels rgba;
    rgba.Width = 3;
    rgba.Height = 1;
    rgba.ColourType = 6;
    rgba.Rows = {10, 20, 30, 0, 10, 20, 30, 255, 250, 250, 250, 128};
    const std::string file = WriteScratchFile("see-through.png", EncodePng(rgba));
    TPictureOptions white;
    white.Background = clWhite;
    TRasterPictureControl slot;
    LoadImageFile(slot, file, white);
    const TRaster& p = slot.Picture();
    EXPECT_EQ(p.Pixel(0, 0), clWhite);
    EXPECT_EQ(p.Pixel(118, 159), clWhite);
    EXPECT_EQ(p.Pixel(119, 159), (TColor{10, 20, 30}));
    EXPECT_EQ(p.Pixel(120, 159), (TColor{252, 252, 252}));
}

} // namespace
} // namespace korvalis
