// The image data: IDAT chunks as one zlib stream, their CRCs, filters, sample
// conversion and what happens when the data runs out.
#include "PngTestSupport.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <numeric>
#include <typeinfo>

namespace korvalis::testing {
namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> out;
    for (int v : values)
        out.push_back(static_cast<uint8_t>(v));
    return out;
}

// Grey 8-bit rows: row y holds (x * 3 + y * 5) & 255, filter byte 0.
std::vector<uint8_t> GreyRows(uint32_t width, uint32_t height) {
    std::vector<uint8_t> raw;
    for (uint32_t y = 0; y < height; ++y) {
        raw.push_back(0);
        for (uint32_t x = 0; x < width; ++x)
            raw.push_back(static_cast<uint8_t>(x * 3 + y * 5));
    }
    return raw;
}

void ExpectGreyRows(const TPngPicture& picture, uint32_t rows) {
    for (uint32_t y = 0; y < static_cast<uint32_t>(picture.Height()); ++y)
        for (uint32_t x = 0; x < static_cast<uint32_t>(picture.Width()); ++x) {
            const uint8_t want = y < rows ? static_cast<uint8_t>(x * 3 + y * 5) : 0;
            ASSERT_EQ(picture.Scanline(static_cast<int>(y))[x], want) << x << "," << y;
        }
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& data, size_t from, size_t to) {
    return {data.begin() + static_cast<std::ptrdiff_t>(std::min(from, data.size())),
            data.begin() + static_cast<std::ptrdiff_t>(std::min(to, data.size()))};
}

TEST(PngIdatDecoder, RowsCompleteBeforeTheIdatPayloadEnds) {
    // One stored deflate block of 402 rows of 162 pixels: 2 + 5 + 65526 + 4 =
    // 65537 bytes, so the last image byte arrives with the first 65535-byte
    // block read and two bytes of the zlib checksum are still unread.
    const uint32_t width = 162, height = 402;
    const auto raw = GreyRows(width, height);
    ASSERT_EQ(raw.size(), 65526u);
    std::vector<uint8_t> stream = {0x78, 0x01, 0x01};
    stream.push_back(static_cast<uint8_t>(raw.size()));
    stream.push_back(static_cast<uint8_t>(raw.size() >> 8));
    stream.push_back(static_cast<uint8_t>(~raw.size()));
    stream.push_back(static_cast<uint8_t>(~raw.size() >> 8));
    stream.insert(stream.end(), raw.begin(), raw.end());
    const auto adler =
        Be32(static_cast<uint32_t>(adler32(1, raw.data(), static_cast<uInt>(raw.size()))));
    stream.insert(stream.end(), adler.begin(), adler.end());
    ASSERT_EQ(stream.size(), 65537u);
    std::vector<uint8_t> check(raw.size());
    uLongf checkSize = check.size();
    ASSERT_EQ(uncompress(check.data(), &checkSize, stream.data(), stream.size()), Z_OK);

    const auto good = TPngBuilder().Ihdr(width, height, 8, 0).Idat(stream).Iend().Bytes();
    TPngPicture picture;
    ASSERT_NO_THROW(ReadPng(picture, good));
    ExpectGreyRows(picture, height);
    EXPECT_EQ(LibpngRead(good).Ok, true);

    const auto bad = TPngBuilder().Ihdr(width, height, 8, 0).Idat(stream, true).Iend().Bytes();
    EXPECT_THROW(ReadPng(picture, bad), EPngInvalidCRC);

    // The same through a file, which is read in blocks rather than lent in place.
    const std::string path = ::testing::TempDir() + "png_rows_complete_early.png";
    for (const auto* file : {&good, &bad}) {
        std::FILE* out = std::fopen(path.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        std::fwrite(file->data(), 1, file->size(), out);
        std::fclose(out);
        TPngPicture fromFile;
        if (file == &good) {
            ASSERT_NO_THROW(fromFile.ReadFromFile(path));
            ExpectGreyRows(fromFile, height);
        } else {
            EXPECT_THROW(fromFile.ReadFromFile(path), EPngInvalidCRC);
        }
    }
    std::remove(path.c_str());
}

TEST(PngIdatDecoder, SplitIdatChunksAreOneStreamEachWithItsCrc) {
    const uint32_t width = 37, height = 23;
    const auto stream = Deflate(GreyRows(width, height));
    const std::vector<std::vector<size_t>> splits = {{},
                                                     {1},
                                                     {2},
                                                     {stream.size() / 2},
                                                     {5, 5, 9},
                                                     {1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
                                                     {stream.size() - 4},
                                                     {stream.size() - 1}};
    for (const auto& cuts : splits) {
        std::vector<size_t> bounds = {0};
        bounds.insert(bounds.end(), cuts.begin(), cuts.end());
        bounds.push_back(stream.size());
        for (size_t broken = 0; broken <= bounds.size() - 1; ++broken) {
            TPngBuilder b;
            b.Ihdr(width, height, 8, 0);
            for (size_t i = 0; i + 1 < bounds.size(); ++i)
                b.Idat(Slice(stream, bounds[i], bounds[i + 1]), i + 1 == broken);
            b.Iend();
            TPngPicture picture;
            SCOPED_TRACE(::testing::Message() << cuts.size() << " cuts, broken " << broken);
            // A last chunk holding nothing but the zlib checksum is not needed
            // for the rows, so it is skipped unread like any later IDAT.
            const bool unread =
                broken + 1 == bounds.size() && bounds[broken - 1] >= stream.size() - 4;
            if (broken == 0 || unread) {
                ASSERT_NO_THROW(ReadPng(picture, b.Bytes()));
                ExpectGreyRows(picture, height);
                EXPECT_EQ(picture.FindChunk<TChunkIDAT>()->DataSize(), 0u);
            } else {
                EXPECT_THROW(ReadPng(picture, b.Bytes()), EPngInvalidCRC);
            }
        }
    }
}

TEST(PngIdatDecoder, HowTheIdatSequenceEnds) {
    const uint32_t width = 9, height = 6;
    const auto stream = Deflate(GreyRows(width, height));
    const auto head = Slice(stream, 0, 10), tail = Slice(stream, 10, stream.size());
    const struct {
        const char* Name;
        std::vector<uint8_t> File;
        const std::type_info* Expected;
        uint32_t Rows;
    } cases[] = {
        {"empty IDAT between",
         TPngBuilder().Ihdr(width, height, 8, 0).Idat(head).Idat({}).Idat(tail).Iend().Bytes(),
         nullptr, height},
        {"trailing empty IDAT is skipped",
         TPngBuilder().Ihdr(width, height, 8, 0).Idat(stream).Idat({}).Iend().Bytes(), nullptr,
         height},
        {"trailing IDAT with a wrong CRC is skipped unread",
         TPngBuilder()
             .Ihdr(width, height, 8, 0)
             .Idat(stream)
             .Idat(Bytes({1, 2, 3}), true)
             .Iend()
             .Bytes(),
         nullptr, height},
        {"ancillary chunk between IDATs",
         TPngBuilder()
             .Ihdr(width, height, 8, 0)
             .Idat(head)
             .Chunk("tEXt", Bytes({'a', 0, 'b'}))
             .Idat(tail)
             .Iend()
             .Bytes(),
         &typeid(EPNGMissingMultipleIDAT), 0},
        {"next IDAT of length 2^31",
         TPngBuilder()
             .Ihdr(width, height, 8, 0)
             .Idat(head)
             .Raw(Be32(0x80000000u))
             .Raw(Bytes({'I', 'D', 'A', 'T'}))
             .Bytes(),
         &typeid(EPNGInvalidChunkLength), 0},
        {"IEND while data is missing",
         TPngBuilder().Ihdr(width, height, 8, 0).Idat(head).Iend().Bytes(),
         &typeid(EPNGMissingMultipleIDAT), 0},
        {"file ends inside the IDAT",
         Slice(TPngBuilder().Ihdr(width, height, 8, 0).Idat(stream).Iend().Bytes(), 0, 33 + 8 + 20),
         &typeid(EPngInvalidCRC), 0},
        {"file ends after an IDAT payload",
         Slice(TPngBuilder().Ihdr(width, height, 8, 0).Idat(head).Idat(tail).Bytes(), 0,
               33 + 8 + head.size() + 4),
         &typeid(EPNGMissingMultipleIDAT), 0},
    };
    for (const auto& c : cases) {
        TPngPicture picture;
        try {
            ReadPng(picture, c.File);
            EXPECT_EQ(c.Expected, nullptr) << c.Name << ": loaded";
            ExpectGreyRows(picture, c.Rows);
        } catch (const Exception& e) {
            if (!c.Expected)
                ADD_FAILURE() << c.Name << ": " << e.what();
            else
                EXPECT_EQ(typeid(e), *c.Expected) << c.Name << ": " << e.what();
        }
    }
}

// When the zlib stream ends before the last row, decoding stops; the rows
// not produced stay black and the load succeeds if the CRCs do.
TEST(PngIdatDecoder, ZlibStreamEndingEarlyLeavesRowsAsPreparedWithoutHanging) {
    const uint32_t width = 20, height = 10, decoded = 4;
    const auto shortStream = Deflate(Slice(GreyRows(width, height), 0, (width + 1) * decoded));
    const auto junk = std::vector<uint8_t>(300, 0xAB);
    auto withJunk = shortStream;
    withJunk.insert(withJunk.end(), junk.begin(), junk.end());
    const std::vector<std::vector<uint8_t>> files = {
        TPngBuilder().Ihdr(width, height, 8, 0).Idat(shortStream).Iend().Bytes(),
        TPngBuilder().Ihdr(width, height, 8, 0).Idat(withJunk).Iend().Bytes(),
        TPngBuilder().Ihdr(width, height, 8, 0).Idat(shortStream).Idat(junk).Iend().Bytes(),
        TPngBuilder().Ihdr(width, height, 8, 0, 1).Idat(withJunk).Iend().Bytes(),
    };
    for (size_t i = 0; i < files.size(); ++i) {
        TPngPicture picture;
        const auto start = std::chrono::steady_clock::now();
        ASSERT_NO_THROW(ReadPng(picture, files[i])) << i;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        if (i < 3)
            ExpectGreyRows(picture, decoded);
    }
}

TEST(PngIdatDecoder, DamagedZlibDataFails) {
    auto stream = Deflate(GreyRows(16, 16));
    auto damaged = stream;
    damaged[0] = 0x79; // header check fails
    auto dictionary = stream;
    dictionary[1] = 0x20; // asks for a preset dictionary
    dictionary[1] =
        static_cast<uint8_t>(dictionary[1] + (31 - (dictionary[0] * 256 + dictionary[1]) % 31));
    std::vector<uint8_t> badBlock = {0x78, 0x9C, 0xFF, 0xFF, 0xFF, 0xFF};
    const struct {
        const char* Name;
        std::vector<uint8_t> Stream;
        std::string Description;
    } cases[] = {
        {"wrong header", damaged, "data error (-3)"},
        {"preset dictionary", dictionary, ""},
        {"reserved block type", badBlock, "data error (-3)"},
    };
    for (const auto& c : cases) {
        TPngPicture picture;
        const auto file = TPngBuilder().Ihdr(16, 16, 8, 0).Idat(c.Stream).Iend().Bytes();
        const auto start = std::chrono::steady_clock::now();
        try {
            ReadPng(picture, file);
            ADD_FAILURE() << c.Name << " loaded";
        } catch (const EPNGZLIBError& e) {
            if (!c.Description.empty()) {
                EXPECT_EQ(std::string(e.what()),
                          "Could not decompress the image because it contains invalid compressed "
                          "data.\r\n Description: " +
                              c.Description)
                    << c.Name;
            }
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << c.Name;
    }
}

TEST(PngIdatDecoder, FilterTypesAboveFourLeaveTheRowUnfiltered) {
    for (int filter : {5, 6, 100, 255}) {
        std::vector<uint8_t> raw;
        for (int y = 0; y < 3; ++y) {
            raw.push_back(static_cast<uint8_t>(filter));
            raw.insert(raw.end(), {10, 20, 30, 40});
        }
        TPngPicture picture;
        ReadPng(picture, TPngBuilder().Ihdr(4, 3, 8, 0).Idat(Deflate(raw)).Iend().Bytes());
        for (int y = 0; y < 3; ++y)
            EXPECT_EQ(picture.Scanline(y)[3], 40) << filter;
    }
}

// Rows given as filter byte plus samples; the raster row bytes each must give.
struct TConversionCase {
    const char* Name;
    uint8_t BitDepth, ColorType;
    uint32_t Width;
    std::vector<uint8_t> Row;    // one row, filter byte first
    std::vector<uint8_t> Raster; // first bytes of raster row 0
    std::vector<uint8_t> Alpha;  // alpha row 0, empty: none
    int BitsPerPixel;
};

TEST(PngIdatDecoder, SampleConversion) {
    const TConversionCase cases[] = {
        {"grey 1", 1, 0, 10, Bytes({0, 0xA5, 0xC0}), Bytes({0xA5, 0xC0}), {}, 1},
        {"grey 2", 2, 0, 5, Bytes({0, 0x1B, 0xC0}), Bytes({0x04, 0x8C, 0xC0}), {}, 4},
        {"grey 4", 4, 0, 3, Bytes({0, 0x12, 0xF0}), Bytes({0x12, 0xF0}), {}, 4},
        {"grey 8", 8, 0, 2, Bytes({0, 7, 250}), Bytes({7, 250}), {}, 8},
        {"grey 16", 16, 0, 2, Bytes({0, 0x12, 0xFF, 0xAB, 0x01}), Bytes({0x12, 0xAB}), {}, 8},
        {"palette 2", 2, 3, 5, Bytes({0, 0x1B, 0xC0}), Bytes({0x01, 0x23, 0x30}), {}, 4},
        {"palette 16", 16, 3, 2, Bytes({0, 3, 0xFF, 1, 0}), Bytes({3, 1}), {}, 8},
        {"RGB 8", 8, 2, 2, Bytes({0, 1, 2, 3, 4, 5, 6}), Bytes({3, 2, 1, 6, 5, 4}), {}, 24},
        {"RGB 16",
         16,
         2,
         1,
         Bytes({0, 0x12, 0xFF, 0x34, 0xFF, 0x56, 0xFF}),
         Bytes({0x56, 0x34, 0x12}),
         {},
         24},
        {"grey+alpha 8", 8, 4, 2, Bytes({0, 9, 100, 8, 200}), Bytes({9, 8}), Bytes({100, 200}), 8},
        {"grey+alpha 16", 16, 4, 1, Bytes({0, 9, 1, 100, 2}), Bytes({9}), Bytes({100}), 8},
        {"RGBA 8", 8, 6, 1, Bytes({0, 1, 2, 3, 4}), Bytes({3, 2, 1}), Bytes({4}), 24},
        {"RGBA 16", 16, 6, 1, Bytes({0, 1, 0, 2, 0, 3, 0, 4, 0xFF}), Bytes({3, 2, 1}), Bytes({4}),
         24},
    };
    for (const auto& c : cases) {
        TPngPicture picture;
        ReadPng(picture, TPngBuilder()
                             .Ihdr(c.Width, 1, c.BitDepth, c.ColorType)
                             .Idat(Deflate(c.Row))
                             .Iend()
                             .Bytes());
        EXPECT_EQ(picture.Header().BitsPerPixel(), c.BitsPerPixel) << c.Name;
        EXPECT_EQ(picture.Header().HasPalette(), c.BitsPerPixel != 24) << c.Name;
        EXPECT_EQ(picture.Header().RowStride(),
                  (static_cast<size_t>(c.BitsPerPixel) * c.Width + 31) / 32 * 4)
            << c.Name;
        const uint8_t* row = picture.Scanline(0);
        for (size_t i = 0; i < c.Raster.size(); ++i)
            EXPECT_EQ(row[i], c.Raster[i]) << c.Name << " byte " << i;
        const uint8_t* alpha = picture.AlphaScanline(0);
        EXPECT_EQ(alpha != nullptr, !c.Alpha.empty()) << c.Name;
        for (size_t i = 0; alpha && i < c.Alpha.size(); ++i)
            EXPECT_EQ(alpha[i], c.Alpha[i]) << c.Name << " alpha " << i;
    }
}

TEST(PngIdatDecoder, TwoBitGreyShowsFourLevelsThroughTheRamp) {
    TLibpngWrite settings;
    settings.Width = 4;
    settings.Height = 9;
    settings.ColorType = 0;
    settings.BitDepth = 2;
    settings.Rows.assign(9, Bytes({0x1B})); // 0, 1, 2, 3
    for (bool interlaced : {false, true}) {
        settings.Interlaced = interlaced;
        TPngPicture picture;
        ReadPng(picture, LibpngWrite(settings));
        const TRaster raster = picture.ToRaster();
        for (int y = 0; y < 9; ++y)
            for (int x = 0; x < 4; ++x)
                EXPECT_EQ(raster.Pixel(x, y),
                          (TColor{static_cast<uint8_t>(68 * x), static_cast<uint8_t>(68 * x),
                                  static_cast<uint8_t>(68 * x)}))
                    << interlaced << " " << x << "," << y;
    }
}

TEST(PngIdatDecoder, PaletteWithoutPlteOrBeyondItShowsBlack) {
    const auto row = Bytes({0, 0, 1, 2, 200});
    TPngPicture picture;
    ReadPng(picture, TPngBuilder().Ihdr(4, 1, 8, 3).Idat(Deflate(row)).Iend().Bytes());
    for (const TRGBQuad& entry : picture.ColorTable())
        EXPECT_EQ(entry, TRGBQuad{});
    ReadPng(picture, TPngBuilder()
                         .Ihdr(4, 1, 8, 3)
                         .Chunk("PLTE", Bytes({10, 20, 30, 40, 50, 60}))
                         .Idat(Deflate(row))
                         .Iend()
                         .Bytes());
    const TRaster raster = picture.ToRaster();
    EXPECT_EQ(raster.Pixel(0, 0), (TColor{10, 20, 30}));
    EXPECT_EQ(raster.Pixel(1, 0), (TColor{40, 50, 60}));
    EXPECT_EQ(raster.Pixel(2, 0), (TColor{0, 0, 0}));
    EXPECT_EQ(raster.Pixel(3, 0), (TColor{0, 0, 0}));
}

TEST(PngIdatDecoder, GammaAppliesToColoursAndGreyButNotToAlpha) {
    const auto gamma = Be32(100000); // 128 becomes 186, 0x12 becomes 71
    TPngPicture picture;
    ReadPng(picture, TPngBuilder()
                         .Ihdr(1, 1, 8, 6)
                         .Chunk("gAMA", gamma)
                         .Idat(Deflate(Bytes({0, 128, 0, 255, 128})))
                         .Iend()
                         .Bytes());
    const uint8_t g128 = picture.GammaTable()[128];
    EXPECT_EQ(g128, 186);
    EXPECT_EQ(picture.ToRaster().Pixel(0, 0), (TColor{186, 0, 255}));
    EXPECT_EQ(picture.AlphaScanline(0)[0], 128);

    ReadPng(picture, TPngBuilder()
                         .Ihdr(1, 1, 16, 2)
                         .Chunk("gAMA", gamma)
                         .Idat(Deflate(Bytes({0, 0x12, 0xFF, 0, 0, 0, 0})))
                         .Iend()
                         .Bytes());
    EXPECT_EQ(picture.ToRaster().Pixel(0, 0).r, picture.GammaTable()[0x12]);

    ReadPng(picture, TPngBuilder()
                         .Ihdr(1, 1, 8, 4)
                         .Chunk("gAMA", gamma)
                         .Idat(Deflate(Bytes({0, 128, 77})))
                         .Iend()
                         .Bytes());
    EXPECT_EQ(picture.ToRaster().Pixel(0, 0), (TColor{186, 186, 186}));
    EXPECT_EQ(picture.AlphaScanline(0)[0], 77);
}

TEST(PngIdatDecoder, EmptyPicturesLoadWithAnEmptyRaster) {
    const struct {
        uint32_t Width, Height;
        uint8_t ColorType, Interlace;
        std::vector<uint8_t> Raw;
    } cases[] = {
        {0, 3, 0, 0, {0, 0, 0}}, {0, 3, 6, 0, {0, 0, 0}}, {3, 0, 2, 0, {}},
        {0, 0, 0, 0, {}},        {0, 5, 0, 1, {}},        {5, 0, 6, 1, {}},
    };
    for (const auto& c : cases) {
        TPngPicture picture;
        ASSERT_NO_THROW(ReadPng(picture, TPngBuilder()
                                             .Ihdr(c.Width, c.Height, 8, c.ColorType, c.Interlace)
                                             .Idat(Deflate(c.Raw))
                                             .Iend()
                                             .Bytes()))
            << c.Width << "x" << c.Height;
        EXPECT_EQ(picture.Width(), static_cast<int>(c.Width));
        EXPECT_EQ(picture.Height(), static_cast<int>(c.Height));
        EXPECT_EQ(picture.Header().ImageData(), nullptr);
        EXPECT_EQ(picture.Scanline(0), nullptr);
        EXPECT_EQ(picture.AlphaScanline(0), nullptr);
        EXPECT_TRUE(picture.ToRaster().Empty());
    }
}

TEST(PngIdatDecoder, RowQueriesOutsideThePictureAnswerNull) {
    TPngPicture picture;
    ReadPng(
        picture,
        TPngBuilder().Ihdr(3, 2, 8, 6).Idat(Deflate(std::vector<uint8_t>(26, 0))).Iend().Bytes());
    EXPECT_NE(picture.Scanline(1), nullptr);
    EXPECT_EQ(picture.Scanline(2), nullptr);
    EXPECT_EQ(picture.Scanline(-1), nullptr);
    EXPECT_NE(picture.AlphaScanline(1), nullptr);
    EXPECT_EQ(picture.AlphaScanline(2), nullptr);
    // Rows are bottom-up: row 0 is the last in memory.
    EXPECT_EQ(picture.Scanline(0), picture.Header().ImageData() + picture.Header().RowStride());
}

} // namespace
} // namespace korvalis::testing

namespace korvalis::testing {
namespace {

uint8_t PaethPredictor(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc)
        return static_cast<uint8_t>(a);
    return static_cast<uint8_t>(pb <= pc ? b : c);
}

// Filters one row the way an encoder does.
std::vector<uint8_t> FilterRow(int filter, const std::vector<uint8_t>& row,
                               const std::vector<uint8_t>& prev, size_t distance) {
    std::vector<uint8_t> out = {static_cast<uint8_t>(filter)};
    for (size_t i = 0; i < row.size(); ++i) {
        const int a = i >= distance ? row[i - distance] : 0;
        const int b = prev[i];
        const int c = i >= distance ? prev[i - distance] : 0;
        int predicted = 0;
        switch (filter) {
        case 1:
            predicted = a;
            break;
        case 2:
            predicted = b;
            break;
        case 3:
            predicted = (a + b) / 2;
            break;
        case 4:
            predicted = PaethPredictor(a, b, c);
            break;
        }
        out.push_back(static_cast<uint8_t>(row[i] - predicted));
    }
    return out;
}

TEST(PngIdatDecoder, EveryFilterAtEveryPixelDistanceMatchesLibpng) {
    const struct {
        uint8_t ColorType, BitDepth;
        size_t BytesPerPixel;
    } formats[] = {{0, 8, 1},  {0, 16, 2}, {4, 8, 2},  {2, 8, 3}, {6, 8, 4},
                   {4, 16, 4}, {2, 16, 6}, {6, 16, 8}, {3, 8, 1}};
    uint32_t seed = 99;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return static_cast<uint8_t>(seed >> 23);
    };
    for (const auto& format : formats) {
        for (uint32_t width : {1u, 2u, 3u, 17u, 64u}) {
            for (int mode = 0; mode < 6; ++mode) { // filters 0 to 4 alone, then mixed
                const uint32_t height = 6;
                std::vector<uint8_t> prev(width * format.BytesPerPixel, 0), raw;
                for (uint32_t y = 0; y < height; ++y) {
                    std::vector<uint8_t> row(prev.size());
                    for (auto& byte : row)
                        byte = next();
                    const int filter = mode < 5 ? mode : static_cast<int>(y % 5);
                    const auto filtered = FilterRow(filter, row, prev, format.BytesPerPixel);
                    raw.insert(raw.end(), filtered.begin(), filtered.end());
                    prev = row;
                }
                TPngBuilder builder;
                builder.Ihdr(width, height, format.BitDepth, format.ColorType);
                if (format.ColorType == 3) {
                    std::vector<uint8_t> palette(768);
                    for (auto& byte : palette)
                        byte = next();
                    builder.Chunk("PLTE", palette);
                }
                const auto file = builder.Idat(Deflate(raw)).Iend().Bytes();
                SCOPED_TRACE(::testing::Message() << "type " << int{format.ColorType} << " depth "
                                                  << int{format.BitDepth} << " width " << width
                                                  << " filter mode " << mode);
                TPngPicture picture;
                ASSERT_NO_THROW(ReadPng(picture, file));
                ExpectSameAsLibpng(picture, file);
            }
        }
    }
}

} // namespace
} // namespace korvalis::testing
