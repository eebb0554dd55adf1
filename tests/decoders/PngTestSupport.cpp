#include "PngTestSupport.h"

#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>
#include <stdexcept>

namespace korvalis::testing {

std::vector<uint8_t> ReadPngFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

namespace {

struct TReadSource {
    const std::vector<uint8_t>* Bytes;
    size_t Position = 0;
};

void ReadCallback(png_structp png, png_bytep out, png_size_t count) {
    auto* source = static_cast<TReadSource*>(png_get_io_ptr(png));
    if (source->Position + count > source->Bytes->size())
        png_error(png, "read past the end");
    std::memcpy(out, source->Bytes->data() + source->Position, count);
    source->Position += count;
}

void ErrorCallback(png_structp png, png_const_charp message) {
    auto* error = static_cast<std::string*>(png_get_error_ptr(png));
    *error = message;
    png_longjmp(png, 1);
}

void WarningCallback(png_structp, png_const_charp) {}

// Everything that must survive longjmp lives outside the function that calls setjmp.
bool LibpngReadInto(const std::vector<uint8_t>& file, TLibpngPicture& image,
                    std::vector<png_bytep>& rows) {
    TReadSource source{&file};
    png_structp png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, &image.Error, ErrorCallback, WarningCallback);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &source, ReadCallback);
    png_read_info(png, info);
    image.Width = static_cast<int>(png_get_image_width(png, info));
    image.Height = static_cast<int>(png_get_image_height(png, info));
    image.ColorType = png_get_color_type(png, info);
    image.BitDepth = png_get_bit_depth(png, info);
    image.Interlace = png_get_interlace_type(png, info);
    png_colorp palette = nullptr;
    int count = 0;
    if (png_get_PLTE(png, info, &palette, &count) != 0)
        for (int i = 0; i < count; ++i)
            image.Palette.push_back({palette[i].red, palette[i].green, palette[i].blue});
    if (image.BitDepth < 8)
        png_set_packing(png);
    if (image.BitDepth == 16)
        png_set_strip_16(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    image.Channels = png_get_channels(png, info);
    const size_t rowBytes = png_get_rowbytes(png, info);
    image.Samples.assign(rowBytes * static_cast<size_t>(image.Height), 0);
    rows.resize(static_cast<size_t>(image.Height));
    for (int y = 0; y < image.Height; ++y)
        rows[static_cast<size_t>(y)] = image.Samples.data() + rowBytes * static_cast<size_t>(y);
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

} // namespace

TLibpngPicture LibpngRead(const std::vector<uint8_t>& file) {
    TLibpngPicture image;
    std::vector<png_bytep> rows;
    image.Ok = LibpngReadInto(file, image, rows);
    return image;
}

TExpectedPixel ExpectedPixel(const TLibpngPicture& image, const TGammaTable& gamma, int x, int y) {
    const uint8_t* s = image.Samples.data() + (static_cast<size_t>(y) * image.Width + x) *
                                                  static_cast<size_t>(image.Channels);
    TExpectedPixel pixel;
    // Grey levels go through a ramp with as many steps as the raster's index bits.
    auto grey = [&](unsigned sample) {
        const unsigned depth = static_cast<unsigned>(image.BitDepth);
        const unsigned bits = depth == 2 ? 4 : depth == 16 ? 8 : depth;
        const unsigned index = depth == 2 ? 4 * sample : sample;
        const unsigned entries = 1u << bits;
        const uint8_t level = gamma[index * 255 / (entries - 1)];
        pixel.R = pixel.G = pixel.B = level;
    };
    switch (image.ColorType) {
    case 0:
        grey(s[0]);
        break;
    case 3:
        if (s[0] < image.Palette.size()) {
            pixel.R = gamma[image.Palette[s[0]][0]];
            pixel.G = gamma[image.Palette[s[0]][1]];
            pixel.B = gamma[image.Palette[s[0]][2]];
        }
        break;
    case 4:
        grey(s[0]);
        pixel.A = s[1];
        pixel.HasAlpha = true;
        break;
    case 2:
    case 6:
        pixel.R = gamma[s[0]];
        pixel.G = gamma[s[1]];
        pixel.B = gamma[s[2]];
        if (image.ColorType == 6) {
            pixel.A = s[3];
            pixel.HasAlpha = true;
        }
        break;
    default:
        break;
    }
    return pixel;
}

namespace {

void WriteCallback(png_structp png, png_bytep data, png_size_t count) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + count);
}

void FlushCallback(png_structp) {}

bool LibpngWriteInto(const TLibpngWrite& settings, std::vector<uint8_t>& out, std::string& error,
                     std::vector<png_bytep>& rows, std::vector<png_color>& palette) {
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, ErrorCallback, WarningCallback);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, &out, WriteCallback, FlushCallback);
    png_set_IHDR(png, info, static_cast<png_uint_32>(settings.Width),
                 static_cast<png_uint_32>(settings.Height), settings.BitDepth, settings.ColorType,
                 settings.Interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    for (const auto& entry : settings.Palette)
        palette.push_back({entry[0], entry[1], entry[2]});
    if (!palette.empty())
        png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
    if (!settings.Trns.empty()) {
        if (settings.ColorType == 3) {
            png_set_tRNS(png, info, settings.Trns.data(), static_cast<int>(settings.Trns.size()),
                         nullptr);
        }
    }
    png_set_filter(png, 0, PNG_ALL_FILTERS);
    png_set_compression_level(png, settings.Level);
    png_write_info(png, info);
    for (const auto& row : settings.Rows)
        rows.push_back(const_cast<png_bytep>(row.data()));
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

} // namespace

std::vector<uint8_t> LibpngWrite(const TLibpngWrite& settings) {
    std::vector<uint8_t> out;
    std::string error;
    std::vector<png_bytep> rows;
    std::vector<png_color> palette;
    if (!LibpngWriteInto(settings, out, error, rows, palette))
        throw std::runtime_error("libpng could not write: " + error);
    return out;
}

TPngBuilder::TPngBuilder() : FBytes{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A} {}

std::vector<uint8_t> Be32(uint32_t value) {
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

TPngBuilder& TPngBuilder::Chunk(std::string_view type, const std::vector<uint8_t>& payload,
                                bool wrongCrc) {
    const auto length = Be32(static_cast<uint32_t>(payload.size()));
    FBytes.insert(FBytes.end(), length.begin(), length.end());
    FBytes.insert(FBytes.end(), type.begin(), type.end());
    FBytes.insert(FBytes.end(), payload.begin(), payload.end());
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type.data()), 4);
    // zlib answers 0 for a null buffer, which an empty vector may hand it.
    if (!payload.empty())
        crc = crc32(crc, payload.data(), static_cast<uInt>(payload.size()));
    const auto stored = Be32(static_cast<uint32_t>(crc) ^ (wrongCrc ? 1u : 0u));
    FBytes.insert(FBytes.end(), stored.begin(), stored.end());
    return *this;
}

TPngBuilder& TPngBuilder::Ihdr(uint32_t width, uint32_t height, uint8_t bitDepth, uint8_t colorType,
                               uint8_t interlace, uint8_t compression, uint8_t filter) {
    std::vector<uint8_t> payload = Be32(width);
    const auto h = Be32(height);
    payload.insert(payload.end(), h.begin(), h.end());
    payload.insert(payload.end(), {bitDepth, colorType, compression, filter, interlace});
    return Chunk("IHDR", payload);
}

TPngBuilder& TPngBuilder::Raw(const std::vector<uint8_t>& bytes) {
    FBytes.insert(FBytes.end(), bytes.begin(), bytes.end());
    return *this;
}

std::vector<uint8_t> Deflate(const std::vector<uint8_t>& raw, int level) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::vector<uint8_t> out(size);
    if (compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), level) != Z_OK)
        throw std::runtime_error("compress2 failed");
    out.resize(size);
    return out;
}

void ReadPng(TPngPicture& picture, const std::vector<uint8_t>& bytes) {
    TBytesStream stream{std::span<const uint8_t>(bytes)};
    picture.ReadFromStream(stream);
}

// Compares every pixel and alpha value with what libpng's samples must show.
void ExpectSameAsLibpng(const TPngPicture& picture, const std::vector<uint8_t>& file) {
    const TLibpngPicture oracle = LibpngRead(file);
    ASSERT_TRUE(oracle.Ok) << oracle.Error;
    ASSERT_EQ(picture.Width(), oracle.Width);
    ASSERT_EQ(picture.Height(), oracle.Height);
    const TRaster raster = picture.ToRaster();
    int mismatches = 0;
    for (int y = 0; y < oracle.Height; ++y) {
        const uint8_t* alpha = picture.AlphaScanline(y);
        for (int x = 0; x < oracle.Width; ++x) {
            const TExpectedPixel want = ExpectedPixel(oracle, picture.GammaTable(), x, y);
            const TColor got = raster.Pixel(x, y);
            const bool colourOk = got == TColor{want.R, want.G, want.B};
            const bool alphaOk = want.HasAlpha ? alpha && alpha[x] == want.A : alpha == nullptr;
            if ((!colourOk || !alphaOk) && ++mismatches <= 5)
                ADD_FAILURE() << "pixel " << x << "," << y << ": got " << int{got.r} << " "
                              << int{got.g} << " " << int{got.b} << " alpha "
                              << (alpha ? int{alpha[x]} : -1) << ", want " << int{want.R} << " "
                              << int{want.G} << " " << int{want.B} << " alpha " << int{want.A};
        }
    }
    EXPECT_EQ(mismatches, 0);
}

} // namespace korvalis::testing
