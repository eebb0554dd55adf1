#include "decoders/BmpReader.h"
#include "BmpStbOracle.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

namespace korvalis {
namespace {

using testing::StbDecode;
using testing::TStbImage;

const std::string kSuite = std::string(KORVALIS_CORPUS_DIR) + "/bmpsuite/";

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << path;
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TRaster Read(const std::vector<uint8_t>& bytes) {
    TBytesStream stream(bytes);
    TRaster raster;
    ReadBitmap(stream, raster);
    return raster;
}

// The message of what reading raised, or "" when it read.
std::string Outcome(const std::vector<uint8_t>& bytes) {
    try {
        Read(bytes);
        return "";
    } catch (const Exception& e) {
        return e.what();
    }
}

double MeanDifference(const TRaster& raster, const TStbImage& reference) {
    EXPECT_EQ(raster.Width(), reference.Width);
    EXPECT_EQ(raster.Height(), reference.Height);
    if (raster.Width() != reference.Width || raster.Height() != reference.Height)
        return 1e9;
    double sum = 0;
    for (int y = 0; y < raster.Height(); ++y)
        for (int x = 0; x < raster.Width(); ++x) {
            const TColor p = raster.Pixel(x, y);
            const uint8_t* q = &reference.Rgb[3 * (static_cast<size_t>(y) * reference.Width + x)];
            sum += std::abs(p.r - q[0]) + std::abs(p.g - q[1]) + std::abs(p.b - q[2]);
        }
    return sum / (3.0 * raster.Width() * raster.Height());
}

TStbImage Reference(const std::string& name) {
    const std::optional<TStbImage> image = StbDecode(ReadFile(kSuite + name));
    EXPECT_TRUE(image.has_value()) << name;
    return image.value_or(TStbImage{});
}

// --- BMP Suite --------------------------------------------------------------------

// Reference: the file itself through stb_image, or, where stb_image cannot read it,
// the suite's same picture stored another way. Limit: mean difference per channel.
struct TSuiteCase {
    const char* File;
    const char* Outcome; // "" reads; else the message raised
    const char* Reference = nullptr;
    double Limit = 0;
    const char* Why = "";
};

const TSuiteCase kSuiteCases[] = {
    // g/: every valid file, pixel for pixel.
    {"g/pal1.bmp", "", "g/pal1.bmp"},
    {"g/pal1bg.bmp", "", "g/pal1bg.bmp"},
    {"g/pal1wb.bmp", "", "g/pal1wb.bmp"},
    {"g/pal4.bmp", "", "g/pal4.bmp"},
    {"g/pal4gs.bmp", "", "g/pal4gs.bmp"},
    {"g/pal4rle.bmp", "", "g/pal4.bmp", 0, "stb_image has no RLE"},
    {"g/pal8-0.bmp", "", "g/pal8-0.bmp"},
    {"g/pal8.bmp", "", "g/pal8.bmp"},
    {"g/pal8gs.bmp", "", "g/pal8gs.bmp"},
    {"g/pal8nonsquare.bmp", "", "g/pal8nonsquare.bmp"},
    {"g/pal8os2.bmp", "", "g/pal8os2.bmp"},
    {"g/pal8rle.bmp", "", "g/pal8.bmp", 0, "stb_image has no RLE"},
    {"g/pal8topdown.bmp", "", "g/pal8topdown.bmp"},
    {"g/pal8v4.bmp", "", "g/pal8v4.bmp"},
    {"g/pal8v5.bmp", "", "g/pal8v5.bmp"},
    {"g/pal8w124.bmp", "", "g/pal8w124.bmp"},
    {"g/pal8w125.bmp", "", "g/pal8w125.bmp"},
    {"g/pal8w126.bmp", "", "g/pal8w126.bmp"},
    {"g/rgb16-565.bmp", "", "g/rgb16-565.bmp"},
    {"g/rgb16-565pal.bmp", "", "g/rgb16-565.bmp", 0, "stb_image refuses the unused palette"},
    {"g/rgb16.bmp", "", "g/rgb16.bmp"},
    {"g/rgb16bfdef.bmp", "", "g/rgb16bfdef.bmp"},
    {"g/rgb24.bmp", "", "g/rgb24.bmp"},
    {"g/rgb24pal.bmp", "", "g/rgb24.bmp", 0, "stb_image refuses the unused palette"},
    {"g/rgb32.bmp", "", "g/rgb32.bmp"},
    {"g/rgb32bf.bmp", "", "g/rgb32bf.bmp"},
    {"g/rgb32bfdef.bmp", "", "g/rgb32bfdef.bmp"},

    // q/: a deliberate outcome for each questionable file.
    {"q/pal1huffmsb.bmp", "Bitmap image is not valid", nullptr, 0, "OS/2 Huffman coding"},
    {"q/pal1p1.bmp", "", "q/pal1p1.bmp"},
    {"q/pal2.bmp", "", nullptr, 0, "2 bits per pixel read; no reference reads it"},
    {"q/pal2color.bmp", "", nullptr, 0, "2 bits per pixel read; no reference reads it"},
    {"q/pal4rlecut.bmp", "", "g/pal4.bmp", 50, "RLE cut short: the rest stays black"},
    {"q/pal4rletrns.bmp", "", "g/pal4.bmp", 50, "skipped pixels are black"},
    {"q/pal8offs.bmp", "", "g/pal8.bmp", 0, "pixels read from the header's offset"},
    {"q/pal8os2-hs.bmp", "", "q/pal8os2-hs.bmp"},
    {"q/pal8os2-sz.bmp", "", "q/pal8os2-sz.bmp"},
    {"q/pal8os2sp.bmp", "", "g/pal8.bmp", 0, "short palette told by the pixel offset"},
    {"q/pal8os2v2-16.bmp", "", "g/pal8.bmp", 0, "16-byte OS/2 2.x header"},
    {"q/pal8os2v2-40sz.bmp", "", "q/pal8os2v2-40sz.bmp"},
    {"q/pal8os2v2-sz.bmp", "", "g/pal8.bmp", 0, "OS/2 2.x header"},
    {"q/pal8os2v2.bmp", "", "g/pal8.bmp", 0, "64-byte OS/2 2.x header"},
    {"q/pal8oversizepal.bmp", "", "g/pal8.bmp", 0, "300 colours: the first 256 kept"},
    {"q/pal8rlecut.bmp", "", "g/pal8.bmp", 40, "RLE cut short: the rest stays black"},
    {"q/pal8rletrns.bmp", "", "g/pal8.bmp", 15, "skipped pixels are black"},
    {"q/rgb16-231.bmp", "", "q/rgb16-231.bmp"},
    {"q/rgb16-3103.bmp", "", "g/rgb24.bmp", 8, "3-10-3 bit fields"},
    {"q/rgb16faketrns.bmp", "", "q/rgb16faketrns.bmp"},
    {"q/rgb24jpeg.bmp", "Bitmap compression 4 is not supported"},
    {"q/rgb24largepal.bmp", "", "g/rgb24.bmp", 0, "unused palette skipped"},
    {"q/rgb24lprof.bmp", "", "q/rgb24lprof.bmp"},
    {"q/rgb24png.bmp", "Bitmap compression 5 is not supported"},
    {"q/rgb24prof.bmp", "", "q/rgb24prof.bmp"},
    {"q/rgb24prof2.bmp", "", "q/rgb24prof2.bmp", 0, "colour profiles are not applied"},
    {"q/rgb24rle24.bmp", "Bitmap compression 4 is not supported", nullptr, 0, "OS/2 RLE24"},
    {"q/rgb32-111110.bmp", "", "g/rgb24.bmp", 1, "11-11-10 bit fields"},
    {"q/rgb32-7187.bmp", "", "g/rgb24.bmp", 1, "7-18-7 bit fields"},
    {"q/rgb32-xbgr.bmp", "", "q/rgb32-xbgr.bmp"},
    {"q/rgb32fakealpha.bmp", "", "q/rgb32fakealpha.bmp"},
    {"q/rgb32h52.bmp", "", "g/rgb24.bmp", 0, "masks inside a 52-byte header"},
    {"q/rgba16-1924.bmp", "", "q/rgba16-4444.bmp", 45, "1-9-2-4 bit fields, alpha ignored"},
    {"q/rgba16-4444.bmp", "", "q/rgba16-4444.bmp"},
    {"q/rgba16-5551.bmp", "", "q/rgba16-5551.bmp"},
    {"q/rgba32-1.bmp", "", "q/rgba32-1.bmp"},
    {"q/rgba32-1010102.bmp", "", "q/rgba32-1.bmp", 1, "10-10-10-2 bit fields"},
    {"q/rgba32-2.bmp", "", "q/rgba32-2.bmp"},
    {"q/rgba32-61754.bmp", "", "q/rgba32-1.bmp", 3, "6-17-5-4 bit fields"},
    {"q/rgba32-81284.bmp", "", "q/rgba32-1.bmp", 1, "8-12-8-4 bit fields"},
    {"q/rgba32abf.bmp", "", "q/rgba32-1.bmp", 0, "alpha bit fields compression"},
    {"q/rgba32h56.bmp", "", "q/rgba32-1.bmp", 0, "masks inside a 56-byte header"},
    {"q/rgba64.bmp", "Bitmap image is not valid", nullptr, 0, "64 bits per pixel"},

    // b/: refused with a message, or read without touching memory out of bounds
    // (the sanitizers watch); what such a file shows is not promised.
    {"b/badbitcount.bmp", "Bitmap image is not valid"},
    {"b/badbitssize.bmp", "", "b/badbitssize.bmp", 0, "wrong image size ignored"},
    {"b/baddens1.bmp", "", "b/baddens1.bmp"},
    {"b/baddens2.bmp", "", "b/baddens2.bmp"},
    {"b/badfilesize.bmp", "", "b/badfilesize.bmp"},
    {"b/badheadersize.bmp", "", "g/pal1.bmp", 0, "any header of 16 bytes or more"},
    {"b/badpalettesize.bmp", "Stream read error", nullptr, 0, "colour table past the end"},
    {"b/badplanes.bmp", "Bitmap image is not valid"},
    {"b/badrle.bmp", ""},
    {"b/badrle4.bmp", ""},
    {"b/badrle4bis.bmp", ""},
    {"b/badrle4ter.bmp", ""},
    {"b/badrlebis.bmp", ""},
    {"b/badrleter.bmp", ""},
    {"b/badwidth.bmp", "Bitmap image is not valid"},
    {"b/pal8badindex.bmp", ""},
    {"b/reallybig.bmp", "Not enough memory for the image"},
    {"b/rgb16-880.bmp", ""},
    {"b/rletopdown.bmp", "Bitmap image is not valid", nullptr, 0, "RLE must be bottom-up"},
    {"b/shortfile.bmp", "", nullptr, 0, "pixels cut short: the missing rows are black"},

    {"x/ba-bm.bmp", "Bitmap image is not valid", nullptr, 0, "OS/2 bitmap array"},
};

class BmpSuite : public ::testing::TestWithParam<TSuiteCase> {};

TEST_P(BmpSuite, ReadsAsExpected) {
    const TSuiteCase& c = GetParam();
    SCOPED_TRACE(c.Why);
    const auto bytes = ReadFile(kSuite + c.File);
    ASSERT_EQ(Outcome(bytes), c.Outcome);
    if (*c.Outcome || !c.Reference)
        return;
    const TRaster raster = Read(bytes);
    EXPECT_LE(MeanDifference(raster, Reference(c.Reference)), c.Limit);
}

std::string SuiteName(const ::testing::TestParamInfo<TSuiteCase>& info) {
    std::string name = info.param.File;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Corpus, BmpSuite, ::testing::ValuesIn(kSuiteCases), SuiteName);

TEST(BmpSuiteCoverage, EveryFileHasAnOutcome) {
    size_t files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(kSuite)) {
        if (!entry.is_regular_file())
            continue;
        ++files;
        const std::string name = std::filesystem::relative(entry.path(), kSuite).generic_string();
        EXPECT_TRUE(std::any_of(std::begin(kSuiteCases), std::end(kSuiteCases),
                                [&](const TSuiteCase& c) { return name == c.File; }))
            << name;
    }
    EXPECT_EQ(files, std::size(kSuiteCases));
}

TEST(BmpSuiteCoverage, PixelsCutShortOrSkippedReadAsBlack) {
    // What the file gives matches the reference; what it leaves out is black.
    const struct {
        const char* File;
        const char* Reference;
        int BlackRows; // rows from the top that the file never reaches
    } cases[] = {
        {"q/pal8rlecut.bmp", "g/pal8.bmp", 5},      {"q/pal4rlecut.bmp", "g/pal4.bmp", 5},
        {"q/pal8rletrns.bmp", "g/pal8.bmp", 0},     {"q/pal4rletrns.bmp", "g/pal4.bmp", 0},
        {"b/shortfile.bmp", "b/shortfile.bmp", 51},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.File);
        const TRaster raster = Read(ReadFile(kSuite + c.File));
        const TStbImage reference = Reference(c.Reference);
        ASSERT_EQ(raster.Width(), reference.Width);
        ASSERT_EQ(raster.Height(), reference.Height);
        int black = 0;
        for (int y = 0; y < raster.Height(); ++y)
            for (int x = 0; x < raster.Width(); ++x) {
                const TColor p = raster.Pixel(x, y);
                const uint8_t* q =
                    &reference.Rgb[3 * (static_cast<size_t>(y) * reference.Width + x)];
                if (y < c.BlackRows) {
                    EXPECT_EQ(p, clBlack) << x << "," << y;
                }
                if (p == clBlack)
                    ++black;
                else
                    EXPECT_EQ(p, (TColor{q[0], q[1], q[2]})) << x << "," << y;
            }
        EXPECT_GE(black, c.BlackRows * raster.Width());
    }
}

// --- Made files for the edges -----------------------------------------------------

struct TBmp {
    int Width = 4;
    int Height = 2;
    uint16_t BitCount = 24;
    uint32_t Compression = 0;
    uint32_t HeaderSize = 40;
    uint16_t Planes = 1;
    std::vector<TRGBQuad> Colors{};
    std::vector<uint32_t> Masks{}; // written after a 40-byte header
    std::vector<uint8_t> Pixels{}; // as stored, rows padded
    uint32_t Gap = 0;              // bytes between the colour table and the pixels
    std::optional<uint32_t> OffBits{};
};

void Put16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

std::vector<uint8_t> Make(const TBmp& s) {
    std::vector<uint8_t> info;
    const bool core = s.HeaderSize == 12;
    Put32(info, s.HeaderSize);
    if (core) {
        Put16(info, static_cast<uint32_t>(s.Width));
        Put16(info, static_cast<uint32_t>(s.Height));
        Put16(info, s.Planes);
        Put16(info, s.BitCount);
    } else {
        Put32(info, static_cast<uint32_t>(s.Width));
        Put32(info, static_cast<uint32_t>(s.Height));
        Put16(info, s.Planes);
        Put16(info, s.BitCount);
        Put32(info, s.Compression);
        Put32(info, static_cast<uint32_t>(s.Pixels.size()));
        Put32(info, 2835);
        Put32(info, 2835);
        Put32(info, static_cast<uint32_t>(s.Colors.size()));
        Put32(info, 0);
        info.resize(s.HeaderSize, 0);
    }
    for (uint32_t m : s.Masks)
        Put32(info, m);
    for (const TRGBQuad& q : s.Colors) {
        info.insert(info.end(), {q.rgbBlue, q.rgbGreen, q.rgbRed});
        if (!core)
            info.push_back(0);
    }
    std::vector<uint8_t> file = {'B', 'M'};
    const uint32_t offBits = s.OffBits.value_or(14 + static_cast<uint32_t>(info.size()) + s.Gap);
    Put32(file, static_cast<uint32_t>(14 + info.size() + s.Gap + s.Pixels.size()));
    Put32(file, 0);
    Put32(file, offBits);
    file.insert(file.end(), info.begin(), info.end());
    file.insert(file.end(), s.Gap, 0xEE);
    file.insert(file.end(), s.Pixels.begin(), s.Pixels.end());
    return file;
}

// 4x2, 24 bits, bottom-up: the file's first row is the bottom one.
const std::vector<uint8_t> kRows24 = {
    1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, // bottom
    13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, // top
};

std::vector<uint8_t> Row(const TRaster& raster, int y) {
    return {raster.ScanLine(y), raster.ScanLine(y) + raster.Stride()};
}

TEST(BmpReader, RowsLandTheRightWayUp) {
    const TRaster bottomUp = Read(Make({.Pixels = kRows24}));
    EXPECT_EQ(Row(bottomUp, 1), std::vector<uint8_t>(kRows24.begin(), kRows24.begin() + 12));
    EXPECT_EQ(Row(bottomUp, 0), std::vector<uint8_t>(kRows24.begin() + 12, kRows24.end()));
    const TRaster topDown = Read(Make({.Height = -2, .Pixels = kRows24}));
    EXPECT_EQ(topDown.Height(), 2);
    EXPECT_EQ(Row(topDown, 0), std::vector<uint8_t>(kRows24.begin(), kRows24.begin() + 12));
    EXPECT_EQ(Row(topDown, 1), std::vector<uint8_t>(kRows24.begin() + 12, kRows24.end()));
    EXPECT_EQ(bottomUp.Pixel(0, 1), (TColor{3, 2, 1}));
}

TEST(BmpReader, PixelsAreReadFromTheOffsetAfterAGap) {
    const TBmp gap{.Pixels = kRows24, .Gap = 6};
    const TRaster a = Read(Make(gap));
    EXPECT_EQ(Row(a, 1), std::vector<uint8_t>(kRows24.begin(), kRows24.begin() + 12));
    // An offset of 0, or one inside the headers, is not trusted: the pixels
    // follow the colour table.
    for (uint32_t offBits : {0u, 20u, 53u}) {
        SCOPED_TRACE(offBits);
        TBmp trusting{.Pixels = kRows24, .OffBits = offBits};
        const TRaster b = Read(Make(trusting));
        EXPECT_EQ(Row(b, 1), std::vector<uint8_t>(kRows24.begin(), kRows24.begin() + 12));
    }
    // An offset past the end of the file is not trusted either.
    TBmp pastEnd{.Pixels = kRows24, .OffBits = 4000};
    EXPECT_EQ(Row(Read(Make(pastEnd)), 0),
              std::vector<uint8_t>(kRows24.begin() + 12, kRows24.end()));
}

TEST(BmpReader, StreamPositionIsTheStartOfTheFile) {
    std::vector<uint8_t> bytes(9, 0x42);
    const auto file = Make({.Pixels = kRows24, .Gap = 2});
    bytes.insert(bytes.end(), file.begin(), file.end());
    TBytesStream stream(bytes);
    stream.SetPosition(9);
    TRaster raster;
    ReadBitmap(stream, raster);
    EXPECT_EQ(raster.Pixel(1, 1), (TColor{6, 5, 4}));
}

TEST(BmpReader, Os2CoreHeaderWithThreeByteColours) {
    const TBmp os2{.Width = 3,
                   .Height = 1,
                   .BitCount = 8,
                   .HeaderSize = 12,
                   .Colors = {{10, 20, 30, 0}, {40, 50, 60, 0}, {70, 80, 90, 0}},
                   .Pixels = {2, 0, 1, 0}};
    // An OS/2 file names its whole table of 256 entries; here the offset tells.
    const TRaster raster = Read(Make(os2));
    ASSERT_EQ(raster.PixelFormat(), TPixelFormat::pf8bit);
    EXPECT_EQ(raster.Pixel(0, 0), (TColor{90, 80, 70}));
    EXPECT_EQ(raster.Pixel(1, 0), (TColor{30, 20, 10}));
    EXPECT_EQ(raster.Pixel(2, 0), (TColor{60, 50, 40}));
}

TEST(BmpReader, BitFieldsWidenEveryChannel) {
    // 16 bits 5-6-5 and 32 bits with the channels in unusual places.
    const struct {
        uint16_t BitCount;
        std::vector<uint32_t> Masks;
        std::vector<uint8_t> Pixel; // one pixel, little-endian, padded
        TColor Expected;
    } cases[] = {
        {16, {0xF800, 0x07E0, 0x001F}, {0xFF, 0xFF, 0, 0}, {255, 255, 255}},
        {16, {0xF800, 0x07E0, 0x001F}, {0x1F, 0x00, 0, 0}, {0, 0, 255}},
        {16, {0xF800, 0x07E0, 0x001F}, {0x20, 0x84, 0, 0}, {132, 134, 0}},
        {16, {0x7C00, 0x03E0, 0x001F}, {0x00, 0x7C, 0, 0}, {255, 0, 0}},
        {32, {0x000000FF, 0x0000FF00, 0x00FF0000}, {1, 2, 3, 4}, {1, 2, 3}},
        {32, {0xFFC00000, 0x003FF000, 0x00000FFC}, {0xF0, 0xF0, 0xFF, 0xFF}, {255, 255, 15}},
        {32, {0, 0, 0}, {9, 9, 9, 9}, {0, 0, 0}},
    };
    for (const auto& c : cases) {
        const TRaster raster = Read(Make({.Width = 1,
                                          .Height = 1,
                                          .BitCount = c.BitCount,
                                          .Compression = 3,
                                          .Masks = c.Masks,
                                          .Pixels = c.Pixel}));
        EXPECT_EQ(raster.Pixel(0, 0), c.Expected) << c.BitCount << " bits " << c.Masks[0];
    }
    // Without bit fields, 16 bits are 5-5-5 and 32 bits are blue, green, red, unused.
    EXPECT_EQ(Read(Make({.Width = 1, .Height = 1, .BitCount = 16, .Pixels = {0xE0, 0x03, 0, 0}}))
                  .Pixel(0, 0),
              (TColor{0, 255, 0}));
    EXPECT_EQ(
        Read(Make({.Width = 1, .Height = 1, .BitCount = 32, .Pixels = {1, 2, 3, 4}})).Pixel(0, 0),
        (TColor{3, 2, 1}));
}

TEST(BmpReader, ShortPixelDataLeavesTheMissingRowsBlack) {
    std::vector<TRGBQuad> grey(256);
    for (size_t i = 0; i < grey.size(); ++i)
        grey[i] = {static_cast<uint8_t>(i | 1), static_cast<uint8_t>(i | 1),
                   static_cast<uint8_t>(i | 1), 0};
    const struct {
        TBmp Spec;
        size_t Keep; // pixel bytes left in the file
    } cases[] = {
        {{.Pixels = kRows24}, 12},
        {{.Pixels = kRows24}, 17}, // a partial row counts as missing
        {{.Width = 4,
          .Height = 2,
          .BitCount = 8,
          .Colors = {{9, 9, 9, 0}},
          .Pixels = {0, 0, 0, 0, 0, 0, 0, 0}},
         4},
        // No spare colour and no black one: the raster turns 24-bit for black.
        {{.Width = 4,
          .Height = 2,
          .BitCount = 8,
          .Colors = grey,
          .Pixels = {1, 2, 3, 4, 5, 6, 7, 8}},
         4},
        {{.Width = 4,
          .Height = 2,
          .BitCount = 8,
          .Colors = grey,
          .Pixels = {1, 2, 3, 4, 5, 6, 7, 8}},
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Keep);
        TBmp spec = c.Spec;
        auto file = Make(spec);
        file.resize(file.size() - (spec.Pixels.size() - c.Keep));
        TRaster raster;
        ASSERT_NO_THROW(raster = Read(file));
        const int rowsGiven = static_cast<int>(c.Keep / (spec.Pixels.size() / 2));
        for (int y = 0; y < 2; ++y) {
            const bool given = 1 - y < rowsGiven;
            for (int x = 0; x < 4; ++x) {
                if (given)
                    EXPECT_NE(raster.Pixel(x, y), clBlack) << x << "," << y;
                else
                    EXPECT_EQ(raster.Pixel(x, y), clBlack) << x << "," << y;
            }
        }
    }
    // The last row may lack its padding.
    auto noPad = Make({.Width = 1, .Height = 2, .Pixels = {1, 2, 3, 0, 4, 5, 6, 0}});
    noPad.pop_back();
    EXPECT_EQ(Read(noPad).Pixel(0, 0), (TColor{6, 5, 4}));
}

TEST(BmpReader, RunLengthEncodedPixels) {
    const std::vector<TRGBQuad> colors = {
        {0, 0, 0, 0}, {10, 10, 10, 0}, {20, 20, 20, 0}, {30, 30, 30, 0}};
    // 6x3 RLE8: a run, an odd literal run (padded), end of line, a run, a delta,
    // a run, end of picture.
    const TRaster rle8 =
        Read(Make({.Width = 6,
                   .Height = 3,
                   .BitCount = 8,
                   .Compression = 1,
                   .Colors = colors,
                   .Pixels = {3, 1, 0, 3, 2, 3, 2, 0, 0, 0, 2, 0, 0, 2, 2, 1, 1, 3, 0, 1}}));
    ASSERT_EQ(rle8.PixelFormat(), TPixelFormat::pf8bit);
    const uint8_t expected8[3][6] = {{0, 0, 0, 0, 3, 0}, {0, 0, 0, 0, 0, 0}, {1, 1, 1, 2, 3, 2}};
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 6; ++x)
            EXPECT_EQ(rle8.Pixel(x, y).r, colors[expected8[y][x]].rgbRed) << x << "," << y;
    // RLE4: runs alternate their two nibbles; literal nibbles are padded to words.
    const TRaster rle4 = Read(Make({.Width = 6,
                                    .Height = 1,
                                    .BitCount = 4,
                                    .Compression = 2,
                                    .Colors = colors,
                                    .Pixels = {3, 0x12, 0, 3, 0x31, 0x20, 0, 1}}));
    const uint8_t expected4[6] = {1, 2, 1, 3, 1, 2};
    for (int x = 0; x < 6; ++x)
        EXPECT_EQ(rle4.Pixel(x, 0).r, colors[expected4[x]].rgbRed) << x;
    // Runs past the right edge or the top are clipped, not written past the raster.
    EXPECT_NO_THROW(Read(Make({.Width = 2,
                               .Height = 1,
                               .BitCount = 8,
                               .Compression = 1,
                               .Colors = colors,
                               .Pixels = {255, 1, 0, 2, 200, 200, 0, 255, 1, 2, 3}})));
}

TEST(BmpReader, RunLengthWithoutABlackColourWidensOnlyWhenPixelsAreSkipped) {
    // 256 colours, none black: a skipped pixel needs 24 bits, a full picture does not.
    std::vector<TRGBQuad> grey(256);
    for (size_t i = 0; i < grey.size(); ++i)
        grey[i] = {static_cast<uint8_t>(i | 1), static_cast<uint8_t>(i | 1),
                   static_cast<uint8_t>(i | 1), 0};
    constexpr int B = -1; // black: skipped
    const struct {
        const char* Name;
        std::vector<uint8_t> Data;
        TPixelFormat Format;
        int Expected[3][4]; // colour indices, top row first
    } cases[] = {
        {"every pixel given",
         {4, 7, 0, 0, 0, 4, 1, 2, 3, 4, 0, 0, 2, 9, 2, 8, 0, 0, 0, 1},
         TPixelFormat::pf8bit,
         {{9, 9, 8, 8}, {1, 2, 3, 4}, {7, 7, 7, 7}}},
        {"end of line inside a row",
         {4, 7, 0, 0, 0, 3, 1, 2, 3, 0, 0, 0, 2, 9, 2, 8, 0, 0, 0, 1},
         TPixelFormat::pf24bit,
         {{9, 9, 8, 8}, {1, 2, 3, B}, {7, 7, 7, 7}}},
        {"delta",
         {4, 7, 0, 0, 1, 5, 0, 2, 1, 0, 2, 6, 0, 0, 2, 9, 2, 8, 0, 1},
         TPixelFormat::pf24bit,
         {{9, 9, 8, 8}, {5, B, 6, 6}, {7, 7, 7, 7}}},
        {"data cut short",
         {4, 7, 0, 0, 2, 5},
         TPixelFormat::pf24bit,
         {{B, B, B, B}, {5, 5, B, B}, {7, 7, 7, 7}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const TRaster raster = Read(Make({.Width = 4,
                                          .Height = 3,
                                          .BitCount = 8,
                                          .Compression = 1,
                                          .Colors = grey,
                                          .Pixels = c.Data}));
        EXPECT_EQ(raster.PixelFormat(), c.Format);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 4; ++x) {
                const int i = c.Expected[y][x];
                const uint8_t v = i == B ? 0 : static_cast<uint8_t>(i | 1);
                EXPECT_EQ(raster.Pixel(x, y), (TColor{v, v, v})) << x << "," << y;
            }
    }
}

TEST(BmpReader, Failures) {
    const auto valid = Make({.Pixels = kRows24});
    const struct {
        std::vector<uint8_t> File;
        const char* Message;
    } cases[] = {
        {{'B', 'A', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 40, 0, 0, 0}, "Bitmap image is not valid"},
        {Make({.Planes = 2, .Pixels = kRows24}), "Bitmap image is not valid"},
        {Make({.Planes = 0, .Pixels = kRows24}), "Bitmap image is not valid"},
        {Make({.BitCount = 7, .Pixels = kRows24}), "Bitmap image is not valid"},
        {Make({.Width = 0, .Pixels = kRows24}), "Bitmap image is not valid"},
        {Make({.Height = 0, .Pixels = kRows24}), "Bitmap image is not valid"},
        {Make({.BitCount = 24, .Compression = 3, .Masks = {1, 2, 3}, .Pixels = kRows24}),
         "Bitmap image is not valid"},
        {Make({.BitCount = 8, .Compression = 2, .Pixels = kRows24}), "Bitmap image is not valid"},
        {Make({.HeaderSize = 11, .Pixels = kRows24}), "Bitmap image is not valid"},
        {Make({.Compression = 4, .Pixels = kRows24}), "Bitmap compression 4 is not supported"},
        {Make({.Compression = 5, .Pixels = kRows24}), "Bitmap compression 5 is not supported"},
        {Make({.Compression = 77, .Pixels = kRows24}), "Bitmap compression 77 is not supported"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Outcome(c.File), c.Message);

    // Cut inside the file header: a short read; inside the information header:
    // refused before any of its values is used.
    for (size_t length = 1; length < 54; ++length)
        EXPECT_EQ(Outcome({valid.begin(), valid.begin() + static_cast<long>(length)}),
                  length < 14 ? "Stream read error" : "Bitmap image is not valid")
            << length;
    // Cut inside the masks or the colour table: a short read.
    const auto masks = Make(
        {.BitCount = 16, .Compression = 3, .Masks = {0xF800, 0x7E0, 0x1F}, .Pixels = {0, 0, 0, 0}});
    for (size_t length = 54; length < 66; ++length)
        EXPECT_EQ(Outcome({masks.begin(), masks.begin() + static_cast<long>(length)}),
                  "Stream read error")
            << length;
    const auto table = Make({.BitCount = 8, .Colors = std::vector<TRGBQuad>(5)});
    EXPECT_EQ(Outcome({table.begin(), table.end() - 1}), "Stream read error");
}

TEST(BmpReader, ZeroLengthFileGivesAnEmptyRaster) {
    TRaster raster(5, 5);
    TBytesStream stream;
    ReadBitmap(stream, raster);
    EXPECT_TRUE(raster.Empty());

    const std::string empty = ::testing::TempDir() + "/korvalis-empty.bmp";
    std::ofstream(empty, std::ios::binary).close();
    TRaster fromFile(3, 3);
    LoadBitmapFromFile(empty, fromFile);
    EXPECT_TRUE(fromFile.Empty());
    std::filesystem::remove(empty);
    EXPECT_THROW(LoadBitmapFromFile(empty, fromFile), EFOpenError);
}

TEST(BmpReader, LoadsFromFile) {
    TRaster raster;
    LoadBitmapFromFile(kSuite + "g/rgb24.bmp", raster);
    EXPECT_EQ(MeanDifference(raster, Reference("g/rgb24.bmp")), 0.0);
}

} // namespace
} // namespace korvalis
