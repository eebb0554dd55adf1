// PNG transparency as a slot load draws it: none, colour key, alpha.
#include "imaging/PngDrawing.h"
#include "FakeWindow.h"
#include "TestPictures.h"
#include "decoders/PngPicture.h"
#include "imaging/ImageSlots.h"
#include "imaging/PictureFile.h"
#include "imaging/PngWriter.h"

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>

namespace korvalis {
namespace {

using namespace korvalis::testing;

std::vector<uint8_t> Be16(std::initializer_list<int> values) {
    std::vector<uint8_t> out;
    for (int v : values) {
        out.push_back(uint8_t(v >> 8));
        out.push_back(uint8_t(v));
    }
    return out;
}

struct TDrawRow {
    const char* Name;
    TPngPixels Image; // one row of pixels
    std::vector<TColor> Expected;
};

TPngPixels Png(uint8_t colourType, uint8_t depth, std::vector<uint8_t> rows, uint32_t width,
               std::vector<TPngChunkData> chunks = {}) {
    TPngPixels image;
    image.Width = width;
    image.Height = 1;
    image.ColourType = colourType;
    image.BitDepth = depth;
    image.Rows = std::move(rows);
    image.Chunks = std::move(chunks);
    return image;
}

TPngChunkData Trns(std::vector<uint8_t> payload) {
    return {"tRNS", std::move(payload)};
}
TPngChunkData Plte(std::vector<uint8_t> payload) {
    return {"PLTE", std::move(payload)};
}

const std::vector<uint8_t> kPalette = {255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 255, 0};

std::vector<TDrawRow> DrawRows() {
    return {
        // RGBA: out = (s * a + 255) div 256 over black.
        {"RgbaWhiteAtAlpha128_0_255",
         Png(6, 8, {255, 255, 255, 128, 255, 255, 255, 0, 255, 255, 255, 255}, 3),
         {{128, 128, 128}, {0, 0, 0}, {255, 255, 255}}},
        {"RgbaMixed", Png(6, 8, {200, 100, 50, 100, 1, 2, 3, 1}, 2), {{79, 40, 20}, {1, 1, 1}}},
        {"Rgba16UsesHighBytes",
         Png(6, 16, Be16({0xFFFF, 0x80FF, 0x0000, 0x80FF}), 1),
         {{128, 64, 0}}},
        {"GreyAlpha",
         Png(4, 8, {200, 128, 255, 0, 17, 255}, 3),
         {{100, 100, 100}, {0, 0, 0}, {17, 17, 17}}},
        {"GreyAlpha16", Png(4, 16, Be16({0xC8FF, 0x80FF}), 1), {{100, 100, 100}}},
        // Colour keys of 8-bit images: the low bytes of the tRNS samples.
        {"RgbKey",
         Png(2, 8, {10, 20, 30, 10, 20, 31, 0, 0, 0}, 3, {Trns(Be16({10, 20, 30}))}),
         {{0, 0, 0}, {10, 20, 31}, {0, 0, 0}}},
        {"GreyKey200",
         Png(0, 8, {200, 199, 201}, 3, {Trns(Be16({200}))}),
         {{0, 0, 0}, {199, 199, 199}, {201, 201, 201}}},
        {"NoTransparency", Png(2, 8, {1, 2, 3}, 1), {{1, 2, 3}}},
        // Other depths: the file's own samples against the whole tRNS value.
        {"Grey16KeyMatchesAllSixteenBits",
         Png(0, 16, Be16({0x1234, 0x1235, 0x12FF}), 3, {Trns(Be16({0x1234}))}),
         {{0, 0, 0}, {0x12, 0x12, 0x12}, {0x12, 0x12, 0x12}}},
        {"Rgb16KeyMatchesAllSixteenBits",
         Png(2, 16, Be16({0x1234, 0x5678, 0x9ABC, 0x1234, 0x5678, 0x9ABD}), 2,
             {Trns(Be16({0x1234, 0x5678, 0x9ABC}))}),
         {{0, 0, 0}, {0x12, 0x56, 0x9A}}},
        {"Grey2Key2",
         Png(0, 2, {0b00011011}, 4, {Trns(Be16({2}))}),
         {{0, 0, 0}, {68, 68, 68}, {0, 0, 0}, {204, 204, 204}}},
        {"Grey1Key1",
         Png(0, 1, {0b10100000}, 3, {Trns(Be16({1}))}),
         {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}},
        {"Grey1Key0",
         Png(0, 1, {0b10100000}, 3, {Trns(Be16({0}))}),
         {{255, 255, 255}, {0, 0, 0}, {255, 255, 255}}},
        {"Grey4Key15",
         Png(0, 4, {0xF7, 0x0F}, 4, {Trns(Be16({15}))}),
         {{0, 0, 0}, {119, 119, 119}, {0, 0, 0}, {0, 0, 0}}},
        {"Grey4KeyOutOfRangeKeysNothing",
         Png(0, 4, {0xF7}, 2, {Trns(Be16({0x10F}))}),
         {{255, 255, 255}, {119, 119, 119}}},
        // Palette with one transparent entry: keyed by colour, not by index.
        {"PaletteKeyByColour",
         Png(3, 8, {0, 1, 2, 3}, 4, {Plte(kPalette), Trns({255, 0})}),
         {{255, 0, 0}, {0, 0, 0}, {0, 0, 255}, {0, 0, 0}}},
        {"PalettePartlyOpaqueEntryDrawsOpaque",
         Png(3, 8, {0, 1, 2}, 3, {Plte(kPalette), Trns({255, 128})}),
         {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}}},
        // Palette with per-entry alpha; entries beyond tRNS are opaque.
        {"PaletteAlpha",
         Png(3, 8, {0, 1, 2}, 3, {Plte(kPalette), Trns({0, 128})}),
         {{0, 0, 0}, {0, 128, 0}, {0, 0, 255}}},
        {"PaletteAlpha2Bit",
         Png(3, 2, {0b00011000}, 3, {Plte(kPalette), Trns({0, 128})}),
         {{0, 0, 0}, {0, 128, 0}, {0, 0, 255}}},
        // Without transparency an index beyond the palette is simply black.
        {"PaletteIndexBeyondIsBlack",
         Png(3, 8, {0, 9}, 2, {Plte(kPalette)}),
         {{255, 0, 0}, {0, 0, 0}}},
    };
}

void PrintTo(const TDrawRow& r, std::ostream* os) {
    *os << r.Name;
}

class PngDrawing : public ::testing::TestWithParam<TDrawRow> {};

TEST_P(PngDrawing, ComposedOverBlack) {
    const TDrawRow& row = GetParam();
    const std::string path = WriteScratchFile(std::string(row.Name) + ".png", EncodePng(row.Image));
    const TRaster out = DecodePictureFile(path);
    ASSERT_EQ(out.Width(), int(row.Expected.size()));
    ASSERT_EQ(out.Height(), 1);
    for (int x = 0; x < out.Width(); ++x) {
        const TColor c = out.Pixel(x, 0);
        const TColor e = row.Expected[size_t(x)];
        EXPECT_EQ(c, e) << "pixel " << x << ": (" << int(c.r) << ", " << int(c.g) << ", "
                        << int(c.b) << ") instead of (" << int(e.r) << ", " << int(e.g) << ", "
                        << int(e.b) << ")";
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, PngDrawing, ::testing::ValuesIn(DrawRows()),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(PngDrawingFailures, PaletteAlphaWithAnIndexBeyondThePaletteFailsBeforeTheClear) {
    const struct {
        const char* Name;
        TPngPixels Image;
    } rows[] = {
        {"beyond", Png(3, 8, {0, 4}, 2, {Plte(kPalette), Trns({0, 128})})},
        {"noplte", Png(3, 8, {0}, 1, {Trns({0, 128})})},
    };
    for (const auto& row : rows) {
        TRasterPictureControl slot;
        slot.Picture() = PatternRaster(240, 320);
        TScriptedDialog dialog;
        dialog.Queue(WriteScratchFile(std::string(row.Name) + ".png", EncodePng(row.Image)));
        TRecordingStatus status;
        LoadImage(slot, dialog, status);
        EXPECT_EQ(status.Text(), "Error loading image") << row.Name;
        EXPECT_EQ(slot.Picture().Pixel(120, 160), PatternColour(120, 160)) << row.Name;
    }
}

// The decoder's key mask as one byte per pixel, 1 where keyed; empty without a mask.
std::vector<uint8_t> KeyMaskOf(const std::vector<uint8_t>& file) {
    TBytesStream stream(file);
    TPngPicture png;
    png.ReadFromStream(stream);
    std::vector<uint8_t> mask;
    for (int y = 0; png.KeyMaskScanline(y); ++y)
        for (int x = 0; x < png.Width(); ++x)
            mask.push_back((png.KeyMaskScanline(y)[x >> 3] >> (7 - (x & 7))) & 1);
    return mask;
}

TEST(PngDrawingFailures, KeyMaskMarksExactlyTheKeyedSamples) {
    // Scattered keyed pixels among neighbours that share their high byte.
    TPngPixels image;
    image.Width = 13;
    image.Height = 11;
    image.ColourType = 0;
    image.BitDepth = 16;
    for (uint32_t i = 0; i < image.Width * image.Height; ++i) {
        const int v = (i * 7919) % 5 == 0 ? 0xABCD : int(0xAB00 + i);
        image.Rows.push_back(uint8_t(v >> 8));
        image.Rows.push_back(uint8_t(v));
    }
    image.Chunks = {Trns(Be16({0xABCD}))};
    const std::vector<uint8_t> sequential = EncodePng(image);
    const std::vector<uint8_t> mask = KeyMaskOf(sequential);
    ASSERT_EQ(mask.size(), size_t(image.Width * image.Height));
    for (uint32_t i = 0; i < mask.size(); ++i)
        EXPECT_EQ(mask[i], (i * 7919) % 5 == 0 ? 1 : 0) << i;
}

TEST(PngDrawingFailures, KeyMaskOfDamagedImageDataIsBlankAndReleasesTheInflater) {
    TPngPixels image = Png(0, 16, Be16({0x1234, 0x1234, 0x1234}), 3, {Trns(Be16({0x1234}))});
    std::vector<uint8_t> file = EncodePng(image);
    const std::vector<uint8_t> whole = KeyMaskOf(file);
    EXPECT_EQ(whole, (std::vector<uint8_t>{1, 1, 1}));
    // Break the zlib header inside IDAT: the load fails, and (under the leak
    // checker) nothing of the inflater or the mask stays behind.
    const auto idat =
        std::search(file.begin(), file.end(), std::begin("IDAT"), std::end("IDAT") - 1);
    ASSERT_NE(idat, file.end());
    idat[4] ^= 0xFF;
    EXPECT_THROW(KeyMaskOf(file), EPngError);
    // Not a keyed grey or RGB picture of other depths than 8: no mask.
    EXPECT_TRUE(KeyMaskOf(EncodePngRgb(PatternRaster(2, 2))).empty());
    EXPECT_TRUE(KeyMaskOf(EncodePng(Png(0, 8, {7, 8}, 2, {Trns({0, 7})}))).empty());
}

// libpng's view of which pixels are transparent: RGBA with 8 bits, 16-bit
// samples cut to their high byte, no gamma applied.
struct TLibpngRgba {
    uint32_t Width = 0, Height = 0;
    std::vector<uint8_t> Pixels;
};

TLibpngRgba ReadRgbaWithLibpng(const std::string& path) {
    TLibpngRgba out;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return out;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(file);
        return {};
    }
    png_init_io(png, file);
    png_read_info(png, info);
    png_set_expand(png); // palette to RGB, tRNS to alpha, small grey to 8 bits
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    out.Width = png_get_image_width(png, info);
    out.Height = png_get_image_height(png, info);
    out.Pixels.resize(size_t(out.Width) * out.Height * 4);
    std::vector<png_bytep> rows(out.Height);
    for (uint32_t y = 0; y < out.Height; ++y)
        rows[y] = out.Pixels.data() + size_t(y) * out.Width * 4;
    png_read_image(png, rows.data());
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return out;
}

// Which pixels are keyed out, and with what alpha the rest is blended, agree
// with libpng; the colours themselves are our reader's, gamma included.
void ExpectAlphaAndKeysAsLibpng(const std::string& path) {
    const TLibpngRgba oracle = ReadRgbaWithLibpng(path);
    ASSERT_GT(oracle.Width, 0u) << path;
    TPngPicture png;
    png.ReadFromFile(path);
    const TRaster colours = png.ToRaster();
    const TRaster out = DecodePictureFile(path);
    ASSERT_EQ(out.Width(), int(oracle.Width));
    ASSERT_EQ(out.Height(), int(oracle.Height));
    const bool greyAlpha = png.Header().ColorType() == 4;
    int mismatches = 0;
    for (int y = 0; y < out.Height(); ++y)
        for (int x = 0; x < out.Width(); ++x) {
            const uint8_t* o = oracle.Pixels.data() + (size_t(y) * oracle.Width + x) * 4;
            const unsigned a = o[3];
            // Grey with alpha blends the stored grey sample, not the gamma ramp.
            const TColor s = greyAlpha ? TColor{o[0], o[1], o[2]} : colours.Pixel(x, y);
            const TColor expected{uint8_t((s.r * a + 255) >> 8), uint8_t((s.g * a + 255) >> 8),
                                  uint8_t((s.b * a + 255) >> 8)};
            if (out.Pixel(x, y) != expected && ++mismatches <= 3)
                ADD_FAILURE() << path << " pixel (" << x << ", " << y << ")";
        }
    EXPECT_EQ(mismatches, 0) << path;
}

class CorpusTransparency : public ::testing::TestWithParam<const char*> {};

TEST_P(CorpusTransparency, AlphaAndKeysAgreeWithLibpng) {
    ExpectAlphaAndKeysAsLibpng(std::string(KORVALIS_CORPUS_DIR) + "/pngsuite/" + GetParam());
}

// An interlaced 16-bit picture with a colour key, written by libpng: the key
// mask must follow the Adam7 passes.
std::string WriteInterlacedKeyed(const std::string& name, int colourType, uint32_t width,
                                 uint32_t height) {
    const std::string path = ScratchDir() + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        return {};
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, 16, colourType, PNG_INTERLACE_ADAM7,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color_16 key{};
    key.gray = 0x4321;
    key.red = 0x4321;
    key.green = 0x8765;
    key.blue = 0x0FED;
    png_set_tRNS(png, info, nullptr, 0, &key);
    png_write_info(png, info);
    const int samples = colourType == PNG_COLOR_TYPE_RGB ? 3 : 1;
    std::vector<uint8_t> pixels(size_t(width) * height * samples * 2);
    for (uint32_t i = 0; i < width * height; ++i) {
        const bool keyed = (i * 2654435761u) % 7 == 0;
        const uint16_t values[3] = {uint16_t(keyed ? 0x4321 : 0x4300 + i % 256),
                                    uint16_t(keyed ? 0x8765 : 0x8765),
                                    uint16_t(keyed ? 0x0FED : 0x0FED)};
        for (int s = 0; s < samples; ++s) {
            pixels[(size_t(i) * samples + s) * 2] = uint8_t(values[s] >> 8);
            pixels[(size_t(i) * samples + s) * 2 + 1] = uint8_t(values[s]);
        }
    }
    std::vector<png_bytep> rows(height);
    for (uint32_t y = 0; y < height; ++y)
        rows[y] = pixels.data() + size_t(y) * width * samples * 2;
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return path;
}

TEST(InterlacedTransparency, KeysFollowTheAdam7PassesAsLibpngSees) {
    const struct {
        const char* Name;
        int ColourType;
        uint32_t W, H;
    } rows[] = {{"grey16i.png", PNG_COLOR_TYPE_GRAY, 13, 11},
                {"rgb16i.png", PNG_COLOR_TYPE_RGB, 17, 9},
                {"grey16i-1wide.png", PNG_COLOR_TYPE_GRAY, 1, 9},
                {"rgb16i-1high.png", PNG_COLOR_TYPE_RGB, 10, 1}};
    for (const auto& row : rows) {
        const std::string path = WriteInterlacedKeyed(row.Name, row.ColourType, row.W, row.H);
        ASSERT_FALSE(path.empty());
        ExpectAlphaAndKeysAsLibpng(path);
        const std::vector<uint8_t> mask = KeyMaskOf(ReadWholeFile(path));
        EXPECT_NE(std::count(mask.begin(), mask.end(), 1), 0) << row.Name;
    }
}

INSTANTIATE_TEST_SUITE_P(PngSuite, CorpusTransparency,
                         ::testing::Values("tbbn0g04.png", "tbbn2c16.png", "tbgn2c16.png",
                                           "tbwn0g16.png", "tbbn3p08.png", "tbgn3p08.png",
                                           "tbwn3p08.png", "tbyn3p08.png", "tm3n3p02.png",
                                           "tp1n3p08.png", "basn4a08.png", "basn4a16.png",
                                           "basi4a16.png", "basn6a08.png", "basn6a16.png",
                                           "basi6a08.png", "bgai4a08.png", "bgan6a16.png",
                                           "basn2c08.png", "basn0g16.png", "basi3p04.png"),
                         [](const auto& info) {
                             std::string name = info.param;
                             return name.substr(0, name.find('.'));
                         });

// Colour rows taken over from the decoder: turned top-down and closed up at
// every row padding (width x 3 mod 4 = 0, 3, 2, 1), as ToRaster copies them.
TEST(PngTakeRaster, EqualsTheCopyAtEveryRowPadding) {
    for (const int width : {4, 1, 2, 3, 5})
        for (const int height : {1, 2, 7}) {
            const std::vector<uint8_t> file = EncodePngRgb(PatternRaster(width, height));
            TBytesStream copyStream(file), takeStream(file);
            TPngPicture copied, taken;
            copied.ReadFromStream(copyStream);
            taken.ReadFromStream(takeStream);
            const TRaster expected = copied.ToRaster();
            const TRaster raster = taken.TakeRaster();
            ASSERT_EQ(raster.Width(), width);
            ASSERT_EQ(raster.Height(), height);
            EXPECT_EQ(0, std::memcmp(raster.Bits(), expected.Bits(), expected.Stride() * height))
                << width << " x " << height;
            EXPECT_EQ(taken.Scanline(0), nullptr);
        }
}

} // namespace
} // namespace korvalis
