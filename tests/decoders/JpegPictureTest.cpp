#include "decoders/JpegPicture.h"
#include "JpegTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>

namespace korvalis {
namespace {

using testing::MakeJpeg;
using testing::OracleDecode;
using testing::ReadFileBytes;
using testing::TMakeSpace;
using testing::TOracleImage;
using testing::TOracleSettings;

const std::string kCorpus = std::string(KORVALIS_CORPUS_DIR) + "/jpeg/";

TJpegPicture Load(const std::vector<uint8_t>& bytes) {
    TBytesStream stream(bytes);
    TJpegPicture picture;
    picture.LoadFromStream(stream);
    return picture;
}

TRaster Decode(const std::vector<uint8_t>& bytes, const TJpegOptions& options = JpegDefaults()) {
    TJpegPicture picture = Load(bytes);
    picture.SetOptions(options);
    TRaster raster;
    picture.AssignTo(raster);
    return raster;
}

// The decoded raster must hold exactly what libjpeg wrote, palette included.
void ExpectSameAsOracle(const TRaster& raster, const TOracleImage& oracle) {
    ASSERT_EQ(oracle.ErrorCode, 0);
    ASSERT_EQ(raster.Width(), oracle.Width);
    ASSERT_EQ(raster.Height(), oracle.Height);
    ASSERT_EQ(raster.BytesPerPixel(), oracle.Components);
    const size_t bytes = raster.Stride() * static_cast<size_t>(raster.Height());
    ASSERT_EQ(bytes, oracle.Pixels.size());
    EXPECT_TRUE(std::equal(raster.Bits(), raster.Bits() + bytes, oracle.Pixels.begin()));
    if (oracle.Components == 1) {
        for (int i = 0; i < 256; ++i) {
            const TRGBQuad& q = raster.ColorTable()[static_cast<size_t>(i)];
            if (i < oracle.Colors) {
                EXPECT_EQ(q.rgbRed, oracle.Palette[3 * i]) << "entry " << i;
                EXPECT_EQ(q.rgbGreen, oracle.Palette[3 * i + 1]) << "entry " << i;
                EXPECT_EQ(q.rgbBlue, oracle.Palette[3 * i + 2]) << "entry " << i;
            } else {
                EXPECT_EQ(q, TRGBQuad{}) << "unused entry " << i;
            }
        }
    }
}

double MeanDifference(const TRaster& a, const TRaster& b) {
    EXPECT_EQ(a.Width(), b.Width());
    EXPECT_EQ(a.Height(), b.Height());
    double sum = 0;
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width(); ++x) {
            const TColor p = a.Pixel(x, y), q = b.Pixel(x, y);
            sum += std::abs(p.r - q.r) + std::abs(p.g - q.g) + std::abs(p.b - q.b);
        }
    return sum / (3.0 * a.Width() * a.Height());
}

// --- Every corpus file against libjpeg itself --------------------------------

std::vector<std::string> CorpusFiles() {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(kCorpus))
        if (entry.is_regular_file())
            files.push_back(std::filesystem::relative(entry.path(), kCorpus).string());
    std::sort(files.begin(), files.end());
    return files;
}

class JpegCorpus : public ::testing::TestWithParam<std::string> {};

TEST_P(JpegCorpus, DecodesAsLibjpegDoes) {
    const auto bytes = ReadFileBytes(kCorpus + GetParam());
    const TOracleImage oracle = OracleDecode(bytes);
    TRaster raster;
    int code = 0;
    bool tooBig = false;
    try {
        raster = Decode(bytes);
    } catch (const EJPEG& e) {
        code = e.Code();
        EXPECT_EQ(std::string(e.what()), "JPEG error #" + std::to_string(code));
    } catch (const EOutOfResources&) {
        tooBig = true;
    }
    ASSERT_EQ(code, oracle.ErrorCode);
    ASSERT_EQ(tooBig, oracle.TooBig);
    if (code != 0 || tooBig)
        return;
    if (oracle.FourComponent) {
        // Converted to RGB by us; the colours are checked against RGB twins below.
        EXPECT_EQ(raster.PixelFormat(), TPixelFormat::pf24bit);
        EXPECT_EQ(raster.Width(), oracle.Width);
        EXPECT_EQ(raster.Height(), oracle.Height);
        return;
    }
    ExpectSameAsOracle(raster, oracle);
}

std::string TestName(const ::testing::TestParamInfo<std::string>& info) {
    std::string name = info.param;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(All, JpegCorpus, ::testing::ValuesIn(CorpusFiles()), TestName);

// --- Options, each against libjpeg with the same settings --------------------

struct TOptionsCase {
    const char* File;
    TJpegOptions Options;
    TOracleSettings Oracle;
};

TJpegOptions With(void (*change)(TJpegOptions&)) {
    TJpegOptions options;
    change(options);
    return options;
}

const TOptionsCase kOptionsCases[] = {
    {"libjpeg-turbo/testorig.jpg", TJpegOptions{}, {}},
    {"libjpeg-turbo/testorig.jpg",
     With([](TJpegOptions& o) { o.Performance = TJpegPerformance::jpBestSpeed; }),
     {.Fast = true}},
    {"libjpeg-turbo/testorig.jpg",
     With([](TJpegOptions& o) { o.PixelFormat = TJpegPixelFormat::jf8Bit; }),
     {.Quantize = true}},
    {"libjpeg-turbo/testorig.jpg",
     With([](TJpegOptions& o) {
         o.PixelFormat = TJpegPixelFormat::jf8Bit;
         o.Performance = TJpegPerformance::jpBestSpeed;
     }),
     {.Fast = true, .Quantize = true}},
    {"libjpeg-turbo/testorig.jpg",
     With([](TJpegOptions& o) { o.Grayscale = true; }),
     {.GrayscaleOutput = true}},
    {"libjpeg-turbo/testorig.jpg",
     With([](TJpegOptions& o) { o.Scale = TJpegScale::jsHalf; }),
     {.Scale = 1}},
    {"libjpeg-turbo/testorig.jpg",
     With([](TJpegOptions& o) { o.Scale = TJpegScale::jsQuarter; }),
     {.Scale = 2}},
    {"libjpeg-turbo/testorig.jpg",
     With([](TJpegOptions& o) { o.Scale = TJpegScale::jsEighth; }),
     {.Scale = 3}},
    {"libjpeg-turbo/testprog.jpg",
     With([](TJpegOptions& o) { o.Smoothing = false; }),
     {.Smoothing = false}},
    {"jpeg-decoder/partial_progressive.jpg",
     With([](TJpegOptions& o) { o.Smoothing = false; }),
     {.Smoothing = false}},
    {"jpeg-decoder/partial_progressive.jpg", TJpegOptions{}, {}},
    // Buffered-image mode ends with the same picture as a single pass, two-pass
    // colour quantisation included.
    {"libjpeg-turbo/testprog.jpg", With([](TJpegOptions& o) { o.ProgressiveDisplay = true; }), {}},
    {"go-image/video-001.progressive.jpeg",
     With([](TJpegOptions& o) { o.ProgressiveDisplay = true; }),
     {}},
    {"libjpeg-turbo/testprog.jpg",
     With([](TJpegOptions& o) {
         o.ProgressiveDisplay = true;
         o.PixelFormat = TJpegPixelFormat::jf8Bit;
     }),
     {.Quantize = true}},
    {"libjpeg-turbo/testprog.jpg",
     With([](TJpegOptions& o) {
         o.ProgressiveDisplay = true;
         o.PixelFormat = TJpegPixelFormat::jf8Bit;
         o.Performance = TJpegPerformance::jpBestSpeed;
     }),
     {.Fast = true, .Quantize = true}},
    {"go-image/video-005.gray.q50.progressive.jpeg",
     With([](TJpegOptions& o) { o.ProgressiveDisplay = true; }),
     {}},
    {"libjpeg-turbo/testimggray.jpg",
     With([](TJpegOptions& o) { o.Performance = TJpegPerformance::jpBestSpeed; }),
     {.Fast = true}},
    {"libjpeg-turbo/testimgint.jpg",
     With([](TJpegOptions& o) { o.PixelFormat = TJpegPixelFormat::jf8Bit; }),
     {.Quantize = true}},
};

class JpegOptions : public ::testing::TestWithParam<TOptionsCase> {};

TEST_P(JpegOptions, DecodeAsLibjpegWithTheSameSettings) {
    const auto bytes = ReadFileBytes(kCorpus + GetParam().File);
    ExpectSameAsOracle(Decode(bytes, GetParam().Options), OracleDecode(bytes, GetParam().Oracle));
}

INSTANTIATE_TEST_SUITE_P(Table, JpegOptions, ::testing::ValuesIn(kOptionsCases));

// --- Behaviour users see --------------------------------------------------------

TEST(JpegPicture, GreyscaleGivesAn8BitRasterWith236GreyLevels) {
    for (const char* file : {"libjpeg-turbo/testimggray.jpg", "go-image/video-005.gray.jpeg",
                             "jpeg-decoder/mozilla/jpg-gray.jpg"}) {
        SCOPED_TRACE(file);
        TJpegPicture picture = Load(ReadFileBytes(kCorpus + file));
        EXPECT_TRUE(picture.Grayscale());
        TRaster raster;
        picture.AssignTo(raster);
        ASSERT_EQ(raster.PixelFormat(), TPixelFormat::pf8bit);
        for (int i = 0; i < 256; ++i) {
            const TRGBQuad& q = raster.ColorTable()[static_cast<size_t>(i)];
            const uint8_t level = i < 236 ? static_cast<uint8_t>((i * 255 + 117) / 235) : 0;
            EXPECT_EQ(q, (TRGBQuad{level, level, level, 0})) << "entry " << i;
        }
    }
    EXPECT_FALSE(Load(ReadFileBytes(kCorpus + "libjpeg-turbo/testorig.jpg")).Grayscale());
}

TEST(JpegPicture, ProgressiveEqualsBaselineOfTheSamePicture) {
    const auto pixel = [](int x, int y, uint8_t* p) {
        p[0] = static_cast<uint8_t>(x * 3 + y);
        p[1] = static_cast<uint8_t>((x ^ y) * 5);
        p[2] = static_cast<uint8_t>(y * 2);
    };
    const auto baseline = MakeJpeg(161, 97, TMakeSpace::Rgb, pixel, 85, false);
    const auto progressive = MakeJpeg(161, 97, TMakeSpace::Rgb, pixel, 85, true);
    EXPECT_FALSE(Load(baseline).ProgressiveEncoding());
    EXPECT_TRUE(Load(progressive).ProgressiveEncoding());
    const TRaster a = Decode(baseline), b = Decode(progressive);
    ASSERT_EQ(a.Stride() * a.Height(), b.Stride() * b.Height());
    EXPECT_TRUE(std::equal(a.Bits(), a.Bits() + a.Stride() * a.Height(), b.Bits()));

    // Pictures from another encoder differ a little, as libjpeg's own output does.
    const auto base = ReadFileBytes(kCorpus + "go-image/video-001.jpeg");
    const auto prog = ReadFileBytes(kCorpus + "go-image/video-001.progressive.jpeg");
    EXPECT_LT(MeanDifference(Decode(base), Decode(prog)), 1.0);
}

TEST(JpegPicture, TruncatedFileDecodesWithoutError) {
    const auto whole = ReadFileBytes(kCorpus + "libjpeg-turbo/testorig.jpg");
    for (double fraction : {0.2, 0.5, 0.9}) {
        SCOPED_TRACE(fraction);
        const std::vector<uint8_t> cut(whole.begin(),
                                       whole.begin() + static_cast<long>(whole.size() * fraction));
        TRaster raster;
        ASSERT_NO_THROW(raster = Decode(cut));
        EXPECT_EQ(raster.Width(), 227);
        EXPECT_EQ(raster.Height(), 149);
        ExpectSameAsOracle(raster, OracleDecode(cut));
    }
    // Cut at a round size, as a file read in blocks might be.
    const std::vector<uint8_t> atBlock(whole.begin(), whole.begin() + 4096);
    ExpectSameAsOracle(Decode(atBlock), OracleDecode(atBlock));
}

TEST(JpegPicture, EmptyFileReadsButFailsToDecodeWithError42) {
    TJpegPicture picture = Load({});
    EXPECT_TRUE(picture.Empty());
    EXPECT_EQ(picture.Width(), 0);
    TRaster raster;
    try {
        picture.AssignTo(raster);
        FAIL() << "decoded an empty file";
    } catch (const EJPEG& e) {
        EXPECT_EQ(e.Code(), 42);
        EXPECT_STREQ(e.what(), "JPEG error #42");
    }
}

TEST(JpegPicture, OtherFilesFailWhenTheHeaderIsRead) {
    const std::string png = std::string(KORVALIS_CORPUS_DIR) + "/pngsuite/basn2c08.png";
    const std::string bmp = std::string(KORVALIS_CORPUS_DIR) + "/bmpsuite/g/rgb24.bmp";
    const std::vector<uint8_t> soiOnly = {0xFF, 0xD8};
    const struct {
        std::vector<uint8_t> Bytes;
        int Code;
    } cases[] = {
        {ReadFileBytes(png), 53}, // not a JPEG file
        {ReadFileBytes(bmp), 53},
        {{'h', 'e', 'l', 'l', 'o'}, 53},
        {soiOnly, OracleDecode(soiOnly).ErrorCode},
    };
    for (const auto& c : cases) {
        ASSERT_NE(c.Code, 0);
        try {
            Load(c.Bytes);
            FAIL() << "read a header that is not there";
        } catch (const EJPEG& e) {
            EXPECT_EQ(e.Code(), c.Code);
            EXPECT_EQ(std::string(e.what()), "JPEG error #" + std::to_string(c.Code));
        }
    }
    static_assert(std::is_base_of_v<EInvalidImage, EJPEG>);
}

TEST(JpegPicture, RedIsTheThirdByteOfEveryPixel) {
    const auto red = MakeJpeg(40, 24, TMakeSpace::Rgb, [](int, int, uint8_t* p) {
        p[0] = 230;
        p[1] = 10;
        p[2] = 20;
    });
    const TRaster raster = Decode(red);
    ASSERT_EQ(raster.PixelFormat(), TPixelFormat::pf24bit);
    for (int y = 0; y < raster.Height(); ++y)
        for (int x = 0; x < raster.Width(); ++x) {
            const uint8_t* p = raster.ScanLine(y) + 3 * x;
            EXPECT_LT(p[0], 40);
            EXPECT_GT(p[2], 210);
        }
}

TEST(JpegPicture, FourComponentFilesLoadWithTheRightColours) {
    struct TPatch {
        TColor Rgb;
        uint8_t Ink[4]; // cyan, magenta, yellow, black
    };
    const TPatch patches[] = {
        {{255, 0, 0}, {0, 255, 255, 0}}, {{0, 255, 0}, {255, 0, 255, 0}},
        {{0, 0, 255}, {255, 255, 0, 0}}, {{255, 255, 255}, {0, 0, 0, 0}},
        {{0, 0, 0}, {0, 0, 0, 255}},     {{128, 128, 128}, {0, 0, 0, 127}},
        {{0, 255, 255}, {255, 0, 0, 0}}, {{255, 128, 0}, {0, 127, 255, 0}},
    };
    for (TMakeSpace space : {TMakeSpace::CmykAdobe, TMakeSpace::Ycck, TMakeSpace::CmykPlain}) {
        const bool adobe = space != TMakeSpace::CmykPlain;
        SCOPED_TRACE(static_cast<int>(space));
        const auto file = MakeJpeg(
            8 * std::size(patches), 16, space,
            [&](int x, int, uint8_t* p) {
                for (int c = 0; c < 4; ++c) {
                    const uint8_t ink = patches[x / 8].Ink[c];
                    p[c] = adobe ? 255 - ink : ink;
                }
            },
            100);
        const TRaster raster = Decode(file);
        ASSERT_EQ(raster.Width(), static_cast<int>(8 * std::size(patches)));
        for (size_t i = 0; i < std::size(patches); ++i) {
            const TColor got = raster.Pixel(static_cast<int>(8 * i + 4), 8);
            const TColor want = patches[i].Rgb;
            EXPECT_NEAR(got.r, want.r, 3) << "patch " << i;
            EXPECT_NEAR(got.g, want.g, 3) << "patch " << i;
            EXPECT_NEAR(got.b, want.b, 3) << "patch " << i;
        }
    }
    // A photo saved twice, as Adobe CMYK and as RGB. (go-image's CMYK file was
    // colour-managed when made, so it is no twin of its RGB file.)
    const struct {
        const char* Cmyk;
        const char* Rgb;
        double Limit;
    } twins[] = {
        {"pillow/pil_sample_cmyk.jpg", "pillow/pil_sample_rgb.jpg", 6.0},
    };
    for (const auto& t : twins) {
        SCOPED_TRACE(t.Cmyk);
        EXPECT_LT(MeanDifference(Decode(ReadFileBytes(kCorpus + t.Cmyk)),
                                 Decode(ReadFileBytes(kCorpus + t.Rgb))),
                  t.Limit);
    }
}

TEST(JpegPicture, ColourSpacesWithoutAConversionFailCleanly) {
    const auto two = [](int, int, uint8_t* p) { std::memset(p, 90, 2); };
    const auto four = [](int, int, uint8_t* p) { std::memset(p, 90, 4); };
    TJpegOptions grey;
    grey.Grayscale = true;
    const struct {
        std::vector<uint8_t> File;
        TJpegOptions Options;
    } cases[] = {
        {MakeJpeg(8, 8, TMakeSpace::TwoComponents, two), TJpegOptions{}},
        {MakeJpeg(8, 8, TMakeSpace::CmykAdobe, four), grey},
    };
    for (const auto& c : cases) {
        try {
            Decode(c.File, c.Options);
            FAIL() << "decoded without a conversion";
        } catch (const EJPEG& e) {
            EXPECT_EQ(e.Code(), 27); // libjpeg: unsupported colour conversion
        }
    }
}

TEST(JpegPicture, SizeBeforeDecodingIsLibjpegsOutputSize) {
    for (auto [w, h] : {std::pair{1, 1}, {17, 17}, {227, 149}, {9, 1000}}) {
        const auto file = MakeJpeg(w, h, TMakeSpace::Gray, [](int, int, uint8_t* p) { *p = 99; });
        for (int scale = 0; scale < 4; ++scale) {
            SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " scale " +
                         std::to_string(scale));
            TJpegPicture picture = Load(file);
            TJpegOptions options = picture.Options();
            options.Scale = static_cast<TJpegScale>(scale);
            picture.SetOptions(options);
            const TOracleImage oracle = OracleDecode(file, {.Scale = scale});
            EXPECT_EQ(picture.Width(), oracle.Width);
            EXPECT_EQ(picture.Height(), oracle.Height);
            TRaster raster;
            picture.AssignTo(raster);
            EXPECT_EQ(picture.Width(), oracle.Width);
            EXPECT_EQ(raster.Height(), oracle.Height);
        }
    }
}

TEST(JpegPicture, AssigningToAnythingButARasterFails) {
    TJpegPicture picture = Load(ReadFileBytes(kCorpus + "libjpeg-turbo/testorig.jpg"));
    TMemoryStream stream;
    try {
        picture.AssignTo(stream);
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "Cannot assign a TJpegPicture to a TMemoryStream");
    }
    EXPECT_FALSE(picture.HasBitmap());
}

TEST(JpegPicture, DecodeIsCachedUntilNewDataOrOptions) {
    const auto first = ReadFileBytes(kCorpus + "libjpeg-turbo/testorig.jpg");
    TJpegPicture picture = Load(first);
    EXPECT_FALSE(picture.HasBitmap());
    const TRaster& cached = picture.Bitmap();
    EXPECT_TRUE(picture.HasBitmap());
    EXPECT_EQ(&cached, &picture.Bitmap());

    TJpegPicture copy;
    picture.AssignTo(copy);
    EXPECT_FALSE(copy.HasBitmap());
    TRaster a, b, c;
    picture.AssignTo(a); // a copy of the cached raster
    copy.AssignTo(b);    // decoded straight into b, nothing kept
    EXPECT_FALSE(copy.HasBitmap());
    copy.AssignTo(c);
    EXPECT_EQ(MeanDifference(a, b), 0.0);
    EXPECT_EQ(MeanDifference(b, c), 0.0);
    EXPECT_EQ(&cached, &picture.Bitmap());

    TJpegOptions options = picture.Options();
    options.Scale = TJpegScale::jsHalf;
    picture.SetOptions(options);
    EXPECT_FALSE(picture.HasBitmap());
    EXPECT_EQ(picture.Width(), 114);

    // New data replaces the old picture; the stream is read from its position.
    std::vector<uint8_t> prefixed(7, 0xAA);
    const auto gray = ReadFileBytes(kCorpus + "libjpeg-turbo/testimggray.jpg");
    prefixed.insert(prefixed.end(), gray.begin(), gray.end());
    TBytesStream stream(prefixed);
    stream.SetPosition(7);
    picture.LoadFromStream(stream);
    EXPECT_FALSE(picture.HasBitmap());
    EXPECT_TRUE(picture.Grayscale());
    EXPECT_EQ(picture.Bitmap().PixelFormat(), TPixelFormat::pf8bit);
}

TEST(JpegPicture, DefaultsFollowTheScreenDepth) {
    const TJpegOptions saved = JpegDefaults();
    EXPECT_EQ(saved.CompressionQuality, 90);
    EXPECT_TRUE(saved.Smoothing);
    EXPECT_EQ(saved.Performance, TJpegPerformance::jpBestQuality);
    for (auto [depth, format] : {std::pair{1, TJpegPixelFormat::jf8Bit},
                                 {8, TJpegPixelFormat::jf8Bit},
                                 {15, TJpegPixelFormat::jf24Bit},
                                 {32, TJpegPixelFormat::jf24Bit}}) {
        InitJpegDefaults(depth);
        EXPECT_EQ(JpegDefaults().PixelFormat, format) << depth;
        EXPECT_EQ(TJpegPicture().Options().PixelFormat, format) << depth;
    }
    // An 8-bit screen gets quantised colour pictures.
    InitJpegDefaults(8);
    const TRaster raster =
        Decode(ReadFileBytes(kCorpus + "libjpeg-turbo/testorig.jpg"), TJpegPicture().Options());
    JpegDefaults() = saved;
    EXPECT_EQ(raster.PixelFormat(), TPixelFormat::pf8bit);
}

TEST(JpegPicture, LoadFromFile) {
    TJpegPicture picture;
    picture.LoadFromFile(kCorpus + "libjpeg-turbo/testorig.jpg");
    EXPECT_EQ(picture.Width(), 227);
    EXPECT_EQ(picture.Height(), 149);
    EXPECT_THROW(picture.LoadFromFile(kCorpus + "no-such-file.jpg"), EFOpenError);
}

} // namespace
} // namespace korvalis
