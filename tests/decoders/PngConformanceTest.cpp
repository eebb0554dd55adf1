// The PNG reader against libpng: every PngSuite file and pictures libpng writes
// at every colour type, bit depth and interlace, pixel by pixel.
#include "PngTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <typeinfo>

namespace korvalis::testing {
namespace {

namespace fs = std::filesystem;

const fs::path kSuite = fs::path(KORVALIS_CORPUS_DIR) / "pngsuite";

std::vector<std::string> SuiteFiles(bool corrupt) {
    std::vector<std::string> names;
    if (!fs::is_directory(kSuite))
        return names;
    for (const auto& entry : fs::directory_iterator(kSuite)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() == ".png" && (name[0] == 'x') == corrupt)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string TestName(const ::testing::TestParamInfo<std::string>& info) {
    std::string name = info.param.substr(0, info.param.size() - 4);
    std::replace_if(
        name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
    return name;
}

class PngSuiteValid : public ::testing::TestWithParam<std::string> {};

TEST_P(PngSuiteValid, DecodesAsLibpngDoes) {
    const auto file = ReadPngFile((kSuite / GetParam()).string());
    TPngPicture picture;
    ASSERT_NO_THROW(picture.ReadFromFile((kSuite / GetParam()).string()));
    ExpectSameAsLibpng(picture, file);
}

INSTANTIATE_TEST_SUITE_P(Corpus, PngSuiteValid, ::testing::ValuesIn(SuiteFiles(false)), TestName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(PngSuiteValid);

TEST(PngSuite, InterlacedFilesEqualTheirTwins) {
    int pairs = 0;
    for (const std::string& name : SuiteFiles(false)) {
        const bool basic = name.starts_with("basi");
        const bool sized = name.size() == 12 && name[0] == 's' && name[3] == 'i';
        if (!basic && !sized)
            continue;
        std::string twin = name;
        twin[3] = 'n';
        TPngPicture interlaced, plain;
        interlaced.ReadFromFile((kSuite / name).string());
        plain.ReadFromFile((kSuite / twin).string());
        ASSERT_EQ(interlaced.Header().InterlaceMethod(), 1) << name;
        ASSERT_EQ(plain.Header().InterlaceMethod(), 0) << twin;
        const TRaster a = interlaced.ToRaster(), b = plain.ToRaster();
        ASSERT_EQ(a.Width(), b.Width()) << name;
        ASSERT_EQ(a.Height(), b.Height()) << name;
        for (int y = 0; y < a.Height(); ++y) {
            ASSERT_TRUE(std::equal(a.ScanLine(y), a.ScanLine(y) + a.Stride(), b.ScanLine(y)))
                << name << " row " << y;
            const uint8_t* alphaA = interlaced.AlphaScanline(y);
            const uint8_t* alphaB = plain.AlphaScanline(y);
            ASSERT_EQ(alphaA == nullptr, alphaB == nullptr) << name;
            if (alphaA) {
                ASSERT_TRUE(std::equal(alphaA, alphaA + a.Width(), alphaB)) << name << " row " << y;
            }
        }
        ++pairs;
    }
    if (fs::is_directory(kSuite)) {
        EXPECT_GE(pairs, 30);
    }
}

// The built-in default picture is a PNG this reader must show as libpng does.
TEST(PngSplash, DefaultPictureDecodes) {
    const auto file = ReadPngFile(KORVALIS_SPLASH_PNG);
    TPngPicture picture;
    ASSERT_NO_THROW(ReadPng(picture, file));
    EXPECT_EQ(picture.Width(), 240);
    EXPECT_EQ(picture.Height(), 320);
    EXPECT_EQ(picture.Header().ColorType(), 2);
    EXPECT_EQ(picture.TransparencyMode(), ptmNone);
    ExpectSameAsLibpng(picture, file);
    const TRaster raster = picture.ToRaster();
    EXPECT_EQ(raster.Width(), 240);
    EXPECT_EQ(raster.PixelFormat(), TPixelFormat::pf24bit);
}

// The corrupt files and the failure each must end in.
struct TCorrupt {
    const char* Name;
    const std::type_info& Expected;
};

const TCorrupt kCorrupt[] = {
    {"xc1n0g08.png", typeid(EPNGUnsupportedFormat)}, // colour type 1
    {"xc9n2c08.png", typeid(EPNGUnsupportedFormat)}, // colour type 9
    {"xcrn0g04.png", typeid(EPNGInvalidFileHeader)}, // line ends converted
    {"xcsn0g01.png", typeid(EPngInvalidCRC)},        // IDAT checksum
    {"xd0n2c08.png", typeid(EPNGUnsupportedFormat)}, // bit depth 0
    {"xd3n2c08.png", typeid(EPNGUnsupportedFormat)}, // bit depth 3
    {"xd9n2c08.png", typeid(EPNGUnsupportedFormat)}, // bit depth 99
    {"xdtn0g01.png", typeid(EPNGNoImageData)},       // no IDAT
    {"xhdn0g08.png", typeid(EPngInvalidCRC)},        // IHDR checksum
    {"xlfn0g04.png", typeid(EPNGInvalidFileHeader)}, // line ends converted
    {"xs1n0g01.png", typeid(EPNGInvalidFileHeader)},
    {"xs2n0g01.png", typeid(EPNGInvalidFileHeader)},
    {"xs4n0g01.png", typeid(EPNGInvalidFileHeader)},
    {"xs7n0g01.png", typeid(EPNGInvalidFileHeader)},
};

TEST(PngSuite, CorruptFilesFailWithTheirReason) {
    const auto names = SuiteFiles(true);
    if (fs::is_directory(kSuite)) {
        ASSERT_EQ(names.size(), std::size(kCorrupt)) << "a corrupt file has no expected failure";
    }
    for (const TCorrupt& corrupt : kCorrupt) {
        if (!fs::exists(kSuite / corrupt.Name))
            continue;
        TPngPicture picture;
        try {
            picture.ReadFromFile((kSuite / corrupt.Name).string());
            ADD_FAILURE() << corrupt.Name << " was accepted";
        } catch (const EPngError& e) {
            EXPECT_EQ(typeid(e), corrupt.Expected) << corrupt.Name << ": " << e.what();
        }
    }
}

// Rows of random samples with smooth stretches, so every filter type gets used.
std::vector<std::vector<uint8_t>> RandomRows(int width, int height, int bitsPerPixel,
                                             std::mt19937& random) {
    const size_t bytes = (static_cast<size_t>(width) * bitsPerPixel + 7) / 8;
    std::vector<std::vector<uint8_t>> rows(static_cast<size_t>(height),
                                           std::vector<uint8_t>(bytes));
    for (size_t y = 0; y < rows.size(); ++y)
        for (size_t i = 0; i < bytes; ++i)
            rows[y][i] = (y + i / 8) % 3 == 0 ? static_cast<uint8_t>(random())
                                              : static_cast<uint8_t>(y * 7 + i * 3);
    return rows;
}

struct TKind {
    int ColorType, BitDepth;
};

int Channels(int colorType) {
    switch (colorType) {
    case 2:
        return 3;
    case 4:
        return 2;
    case 6:
        return 4;
    default:
        return 1;
    }
}

TEST(PngWritten, EveryFormatAndSizeMatchesLibpngAndItsInterlacedTwin) {
    const TKind kinds[] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1},
                           {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};
    const std::pair<int, int> sizes[] = {{1, 1}, {1, 9}, {9, 1},   {2, 2}, {5, 3},
                                         {8, 8}, {9, 9}, {33, 17}, {70, 5}};
    std::mt19937 random(7);
    for (const TKind& kind : kinds) {
        for (const auto& [width, height] : sizes) {
            TLibpngWrite settings;
            settings.Width = width;
            settings.Height = height;
            settings.ColorType = kind.ColorType;
            settings.BitDepth = kind.BitDepth;
            settings.Rows =
                RandomRows(width, height, kind.BitDepth * Channels(kind.ColorType), random);
            if (kind.ColorType == 3)
                for (int i = 0; i < (1 << kind.BitDepth); ++i)
                    settings.Palette.push_back({static_cast<uint8_t>(random()),
                                                static_cast<uint8_t>(random()),
                                                static_cast<uint8_t>(random())});
            SCOPED_TRACE(::testing::Message()
                         << "type " << kind.ColorType << " depth " << kind.BitDepth << " size "
                         << width << "x" << height);
            const auto plainFile = LibpngWrite(settings);
            settings.Interlaced = true;
            const auto interlacedFile = LibpngWrite(settings);

            TPngPicture plain, interlaced;
            ASSERT_NO_THROW(ReadPng(plain, plainFile));
            ASSERT_NO_THROW(ReadPng(interlaced, interlacedFile));
            ExpectSameAsLibpng(plain, plainFile);
            ExpectSameAsLibpng(interlaced, interlacedFile);
            for (int y = 0; y < height; ++y) {
                // Packed rows may differ only in the padding past the last pixel.
                const size_t used =
                    (static_cast<size_t>(width) * plain.Header().BitsPerPixel() + 7) / 8;
                const uint8_t* a = plain.Scanline(y);
                const uint8_t* b = interlaced.Scanline(y);
                const bool partial = width * plain.Header().BitsPerPixel() % 8 != 0;
                EXPECT_TRUE(std::equal(a, a + used - (partial ? 1 : 0), b)) << "row " << y;
            }
        }
    }
}

} // namespace
} // namespace korvalis::testing
