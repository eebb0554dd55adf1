// Loading picture files into a slot: the decoder by ending, failures, the
// built-in picture.
#include "FakeWindow.h"
#include "TestPictures.h"
#include "decoders/JpegPicture.h"
#include "imaging/ImageSlots.h"
#include "imaging/PictureFile.h"
#include "imaging/PngWriter.h"
#include "tests/decoders/JpegTestSupport.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstring>
#include <string>

namespace korvalis {
namespace {

using namespace korvalis::testing;

enum class TFileKind { Png, Jpeg, Bmp };

std::vector<uint8_t> Bytes(TFileKind kind, const TRaster& picture) {
    switch (kind) {
    case TFileKind::Png:
        return EncodePngRgb(picture);
    case TFileKind::Jpeg:
        return MakeJpegOf(picture);
    case TFileKind::Bmp:
        return MakeBmp24(picture);
    }
    return {};
}

// The slot as it must look after loading a 100 x 100 picture: at (70, 110) on
// black. JPEG pixels come from libjpeg called directly.
TRaster ExpectedSlot(TFileKind kind, const TRaster& picture, const std::vector<uint8_t>& file) {
    TRaster decoded = picture;
    if (kind == TFileKind::Jpeg) {
        const TOracleImage oracle = OracleDecode(file);
        decoded.SetSize(oracle.Width, oracle.Height);
        for (int y = 0; y < oracle.Height; ++y)
            std::copy_n(oracle.Pixels.data() + size_t(y) * oracle.Width * 3, oracle.Width * 3,
                        decoded.ScanLine(y));
    }
    TRaster slot(240, 320);
    slot.Draw(70, 110, decoded);
    return slot;
}

struct TEndingRow {
    const char* Name;
    TFileKind Content;
    bool Loads; // false: "Error loading image", slot unchanged
};

// Endings are matched without regard to case, and ".jpeg" is a JPEG too; any
// other ending, or content that is not what the ending names, fails visibly.
const TEndingRow kEndings[] = {
    {"p.png", TFileKind::Png, true},
    {"p.PNG", TFileKind::Png, true},
    {"p.Png", TFileKind::Png, true},
    {"j.jpg", TFileKind::Jpeg, true},
    {"j.JPG", TFileKind::Jpeg, true},
    {"j.Jpg", TFileKind::Jpeg, true},
    {"j.jpeg", TFileKind::Jpeg, true},
    {"j.JPEG", TFileKind::Jpeg, true},
    {"b.bmp", TFileKind::Bmp, true},
    {"b.BMP", TFileKind::Bmp, true},
    {"dots.in.name.bmp", TFileKind::Bmp, true},
    {"p.gif", TFileKind::Png, false},
    {"p.png.txt", TFileKind::Png, false},
    {"png", TFileKind::Png, false},
    {"p.pn", TFileKind::Png, false},
    {"p.jpe", TFileKind::Jpeg, false},
    {"p.jpg ", TFileKind::Jpeg, false},
    {"png-as.jpg", TFileKind::Png, false},
    {"png-as.bmp", TFileKind::Png, false},
    {"jpeg-as.png", TFileKind::Jpeg, false},
    {"bmp-as.JPG", TFileKind::Bmp, false},
};

void PrintTo(const TEndingRow& r, std::ostream* os) {
    *os << r.Name;
}

class LoadByEnding : public ::testing::TestWithParam<TEndingRow> {};

TEST_P(LoadByEnding, LoadsOrFailsWithTheSlotUnchanged) {
    const TEndingRow& row = GetParam();
    const TRaster picture = PatternRaster(100, 100);
    const std::vector<uint8_t> bytes = Bytes(row.Content, picture);
    const std::string path = WriteScratchFile(row.Name, bytes);

    TRasterPictureControl slot;
    slot.Picture() = PatternRaster(240, 320); // the slot's old picture
    const TRaster before = slot.Picture();
    TScriptedDialog dialog;
    dialog.Queue(path);
    TRecordingStatus status;
    LoadImage(slot, dialog, status);

    EXPECT_EQ(dialog.Runs, 1);
    const TRaster& after = slot.Picture();
    if (row.Loads) {
        EXPECT_TRUE(status.Texts.empty());
        const TRaster expected = ExpectedSlot(row.Content, picture, bytes);
        ASSERT_EQ(after.Width(), 240);
        ASSERT_EQ(after.Height(), 320);
        EXPECT_EQ(0, std::memcmp(after.Bits(), expected.Bits(), expected.Stride() * 320));
    } else {
        EXPECT_EQ(status.Texts, std::vector<std::string>{"Error loading image"});
        ASSERT_EQ(after.Width(), before.Width());
        EXPECT_EQ(0, std::memcmp(after.Bits(), before.Bits(), before.Stride() * 320));
    }
}

INSTANTIATE_TEST_SUITE_P(Endings, LoadByEnding, ::testing::ValuesIn(kEndings),
                         [](const auto& info) {
                             std::string name;
                             for (char c : std::string(info.param.Name))
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

TEST(PictureKind, EndingsWithoutRegardToCase) {
    const std::pair<const char*, TPictureKind> rows[] = {
        {"/a/b.PnG", TPictureKind::pkPng},  {"x.jPeG", TPictureKind::pkJpeg},
        {".jpg", TPictureKind::pkJpeg},     {"/dir.png/file", TPictureKind::pkUnknown},
        {"", TPictureKind::pkUnknown},      {"a.bMp", TPictureKind::pkBmp},
        {"a.tif", TPictureKind::pkUnknown}, {"a.jfif", TPictureKind::pkUnknown},
    };
    for (const auto& [name, kind] : rows)
        EXPECT_EQ(PictureKindOf(name), kind) << name;
}

// The manuals are configured from CMake's list of formats; it must be the table's.
TEST(PictureFormats, ManualsListTheTable) {
    std::string table;
    for (const TPictureFormat& format : PictureFormats()) {
        table += (table.empty() ? "" : "|") + std::string(format.Name) + ":";
        for (size_t i = 0; i < format.Endings.size(); ++i)
            table += (i ? "," : "") + std::string(format.Endings[i]);
    }
    EXPECT_EQ(table, KORVALIS_PICTURE_FORMATS);
}

TEST(LoadImageTest, CancelChangesNothingAndSaysNothing) {
    TRasterPictureControl slot;
    slot.Picture() = PatternRaster(240, 320);
    TScriptedDialog dialog;
    dialog.Queue(std::nullopt);
    TRecordingStatus status;
    LoadImage(slot, dialog, status);
    EXPECT_EQ(dialog.Runs, 1);
    EXPECT_TRUE(status.Texts.empty());
    EXPECT_EQ(slot.Picture().Pixel(7, 9), PatternColour(7, 9));
}

struct TFailureRow {
    const char* Name;
    std::vector<uint8_t> Bytes;
};

TEST(LoadImageTest, UnreadableAndBrokenFilesLeaveTheSlotAndSayErrorLoadingImage) {
    std::vector<uint8_t> png = EncodePngRgb(PatternRaster(30, 30));
    std::vector<uint8_t> badCrc = png;
    badCrc[30] ^= 0x01; // inside IHDR
    const std::vector<uint8_t> cut(png.begin(), png.begin() + long(png.size()) - 20);
    const TFailureRow rows[] = {
        {"empty.jpg", {}},
        {"empty.png", {}},
        {"crc.png", badCrc},
        {"cut.png", cut},
        {"text.bmp", {'h', 'e', 'l', 'l', 'o'}},
    };
    for (const TFailureRow& row : rows) {
        const std::string path = WriteScratchFile(row.Name, row.Bytes);
        TRasterPictureControl slot;
        slot.Picture() = PatternRaster(240, 320);
        TScriptedDialog dialog;
        dialog.Queue(path);
        TRecordingStatus status;
        LoadImage(slot, dialog, status);
        EXPECT_EQ(status.Text(), "Error loading image") << row.Name;
        EXPECT_EQ(slot.Picture().Pixel(239, 319), PatternColour(239, 319)) << row.Name;
    }
    TRasterPictureControl slot;
    TScriptedDialog dialog;
    dialog.Queue(ScratchDir() + "/no-such-file.png");
    TRecordingStatus status;
    LoadImage(slot, dialog, status);
    EXPECT_EQ(status.Text(), "Error loading image");
}

TEST(LoadImageTest, AnEmptyBmpClearsTheSlotWithoutAMessage) {
    // A zero-length BMP reads as an empty picture: cleared, nothing drawn.
    TRasterPictureControl slot;
    slot.Picture() = PatternRaster(240, 320);
    TScriptedDialog dialog;
    dialog.Queue(WriteScratchFile("zero.bmp", {}));
    TRecordingStatus status;
    LoadImage(slot, dialog, status);
    EXPECT_TRUE(status.Texts.empty());
    EXPECT_TRUE(AllBlack(slot.Picture()));
}

TEST(LoadImageTest, ASuccessfulLoadLeavesAnEarlierMessage) {
    TRasterPictureControl slot;
    TScriptedDialog dialog;
    dialog.Queue(WriteScratchFile("bad.png", {1, 2, 3}));
    dialog.Queue(WriteScratchFile("good.bmp", MakeBmp24(PatternRaster(240, 320))));
    TRecordingStatus status;
    LoadImage(slot, dialog, status);
    LoadImage(slot, dialog, status);
    EXPECT_EQ(status.Text(), "Error loading image");
    EXPECT_EQ(status.Texts.size(), 1u);
    EXPECT_EQ(slot.Picture().Pixel(239, 319), PatternColour(239, 319));
}

TEST(LoadImageTest, GreyJpegIsDrawnThroughItsGreyPalette) {
    const std::vector<uint8_t> jpeg = MakeJpeg(
        64, 48, TMakeSpace::Gray, [](int x, int y, uint8_t* out) { *out = uint8_t(x * 4 + y); });
    const TOracleImage oracle = OracleDecode(jpeg);
    ASSERT_EQ(oracle.Components, 1);
    TRasterPictureControl slot;
    LoadImageFile(slot, WriteScratchFile("grey.jpeg", jpeg));
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) {
            const uint8_t index = oracle.Pixels[size_t(y) * 64 + x];
            const uint8_t* rgb = oracle.Palette.data() + 3 * index;
            ASSERT_EQ(slot.Picture().Pixel(88 + x, 136 + y), (TColor{rgb[0], rgb[1], rgb[2]}))
                << x << "," << y;
        }
}

struct TJpegFitRow {
    const char* Name;
    int Width, Height;
    TMakeSpace Space;
    bool Progressive;
    TJpegPixelFormat Format;
    bool ProgressiveDisplay;
};

// A JPEG slot load keeps only the rows the fitted picture takes; the slot must
// equal the whole decoded picture fitted and centred: shrinking either way,
// enlarging (rows repeated), grey and 8-bit palettes, every pass of a
// progressive file shown.
const TJpegFitRow kJpegFits[] = {
    {"Landscape", 700, 500, TMakeSpace::Rgb, false, TJpegPixelFormat::jf24Bit, false},
    {"PortraitProgressive", 300, 900, TMakeSpace::Rgb, true, TJpegPixelFormat::jf24Bit, false},
    {"EnlargedGrey", 250, 310, TMakeSpace::Gray, false, TJpegPixelFormat::jf24Bit, false},
    {"Fits", 200, 100, TMakeSpace::Rgb, false, TJpegPixelFormat::jf24Bit, false},
    {"EightBitPasses", 500, 400, TMakeSpace::Rgb, true, TJpegPixelFormat::jf8Bit, true},
    {"Cmyk", 260, 330, TMakeSpace::CmykAdobe, false, TJpegPixelFormat::jf24Bit, false},
};

TEST(LoadImageTest, JpegSlotEqualsTheWholeDecodedPictureFitted) {
    const TJpegOptions saved = JpegDefaults();
    for (const TJpegFitRow& row : kJpegFits) {
        SCOPED_TRACE(row.Name);
        JpegDefaults().PixelFormat = row.Format;
        JpegDefaults().ProgressiveDisplay = row.ProgressiveDisplay;
        const int components = row.Space == TMakeSpace::Gray        ? 1
                               : row.Space == TMakeSpace::CmykAdobe ? 4
                                                                    : 3;
        const std::string path =
            WriteScratchFile(std::string(row.Name) + ".jpg",
                             MakeJpeg(
                                 row.Width, row.Height, row.Space,
                                 [components](int x, int y, uint8_t* out) {
                                     for (int c = 0; c < components; ++c)
                                         out[c] =
                                             uint8_t(x * (c + 1) + y * (3 - c) + ((x ^ y) & 15));
                                 },
                                 90, row.Progressive));
        TRasterPictureControl expected, slot;
        PlaceOnSlot(expected, DecodePictureFile(path));
        LoadImageFile(slot, path);
        EXPECT_EQ(0, std::memcmp(slot.Picture().Bits(), expected.Picture().Bits(),
                                 expected.Picture().Stride() * 320));
        // A cached raster hands over the same rows.
        TJpegPicture jpeg;
        jpeg.LoadFromFile(path);
        const TRaster whole = jpeg.Bitmap();
        int rows = 0;
        jpeg.DecodeRows([&](int y, int height, const TRaster& r) {
            ASSERT_EQ(height, whole.Height());
            ASSERT_EQ(y, rows++);
            ASSERT_EQ(0, std::memcmp(r.Bits(), whole.ScanLine(y), whole.Stride()));
        });
        EXPECT_EQ(rows, whole.Height());
    }
    JpegDefaults() = saved;
}

// The built-in picture, decoded by libpng straight from the repository's file.
TRaster SplashByLibpng() {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    const std::string path = std::string(KORVALIS_SOURCE_DIR) + "/resources/splash.png";
    EXPECT_TRUE(png_image_begin_read_from_file(&image, path.c_str()));
    image.format = PNG_FORMAT_BGR;
    TRaster r(int(image.width), int(image.height));
    EXPECT_TRUE(png_image_finish_read(&image, nullptr, r.Bits(), 0, nullptr));
    return r;
}

TEST(DefaultPictureTest, IsTheBuiltInPngPixelForPixel) {
    const TRaster expected = SplashByLibpng();
    ASSERT_EQ(expected.Width(), 240);
    ASSERT_EQ(expected.Height(), 320);
    TRasterPictureControl slot;
    DefaultPicture(slot);
    ASSERT_EQ(slot.Picture().Width(), 240);
    ASSERT_EQ(slot.Picture().Height(), 320);
    ASSERT_EQ(slot.Picture().PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(0, std::memcmp(slot.Picture().Bits(), expected.Bits(), expected.Stride() * 320));
    EXPECT_FALSE(AllBlack(slot.Picture()));
}

TEST(DefaultPictureTest, RestoresTheBuiltInPictureAfterALoadOrAClear) {
    const TRaster expected = SplashByLibpng();
    TRasterPictureControl slot;
    LoadImageFile(slot, WriteScratchFile("any.bmp", MakeBmp24(PatternRaster(500, 77))));
    DefaultPicture(slot);
    EXPECT_EQ(0, std::memcmp(slot.Picture().Bits(), expected.Bits(), expected.Stride() * 320));
    ClearImage(slot);
    DefaultPicture(slot);
    EXPECT_EQ(0, std::memcmp(slot.Picture().Bits(), expected.Bits(), expected.Stride() * 320));
}

TEST(DefaultPictureTest, BuiltInFileHasExactlyTheFiveChunks) {
    const std::vector<uint8_t> file =
        ReadWholeFile(std::string(KORVALIS_SOURCE_DIR) + "/resources/splash.png");
    std::vector<std::string> chunks;
    for (size_t at = 8; at + 12 <= file.size();) {
        const uint32_t length = uint32_t(file[at]) << 24 | uint32_t(file[at + 1]) << 16 |
                                uint32_t(file[at + 2]) << 8 | file[at + 3];
        chunks.emplace_back(reinterpret_cast<const char*>(&file[at + 4]), 4);
        at += 12 + size_t(length);
    }
    EXPECT_EQ(chunks, (std::vector<std::string>{"IHDR", "pHYs", "cHRM", "IDAT", "IEND"}));
    // 240 x 320, 8 bits, RGB, compression 0, filter 0, not interlaced.
    const std::vector<uint8_t> ihdr(file.begin() + 16, file.begin() + 29);
    EXPECT_EQ(ihdr, (std::vector<uint8_t>{0, 0, 0, 240, 0, 0, 1, 64, 8, 2, 0, 0, 0}));
}

} // namespace
} // namespace korvalis
