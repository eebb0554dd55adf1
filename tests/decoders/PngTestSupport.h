// libpng as the reference the PNG reader is held to, and small writers for the
// pictures the corpus lacks.
#pragma once

#include "decoders/PngPicture.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvalis::testing {

std::vector<uint8_t> ReadPngFile(const std::string& path);

// What libpng reads from a file: samples as they are stored, 1 to 4 per pixel,
// one byte each (below 8 bits unscaled, 16 bits by their high byte).
struct TLibpngPicture {
    bool Ok = false;
    std::string Error;
    int Width = 0, Height = 0, ColorType = 0, BitDepth = 0, Interlace = 0, Channels = 0;
    std::vector<uint8_t> Samples; // rows top-down
    std::vector<std::array<uint8_t, 3>> Palette;
};
TLibpngPicture LibpngRead(const std::vector<uint8_t>& file);

struct TExpectedPixel {
    uint8_t R = 0, G = 0, B = 0, A = 255;
    bool HasAlpha = false;
};
// The colour this reader must show for pixel (x, y) given libpng's samples and
// the reader's gamma table: palette entries and RGB through the gamma table,
// grey levels through the ramp of the raster's bit depth, alpha unchanged.
TExpectedPixel ExpectedPixel(const TLibpngPicture& image, const TGammaTable& gamma, int x, int y);

// Writes a PNG with libpng from rows packed as PNG stores them.
struct TLibpngWrite {
    int Width = 1, Height = 1, ColorType = 0, BitDepth = 8;
    bool Interlaced = false;
    std::vector<std::vector<uint8_t>> Rows;
    std::vector<std::array<uint8_t, 3>> Palette;
    std::vector<uint8_t> Trns;
    int Level = 6;
};
std::vector<uint8_t> LibpngWrite(const TLibpngWrite& settings);

// Assembles PNG files chunk by chunk for cases no encoder writes.
class TPngBuilder {
  public:
    TPngBuilder();
    TPngBuilder& Chunk(std::string_view type, const std::vector<uint8_t>& payload,
                       bool wrongCrc = false);
    TPngBuilder& Ihdr(uint32_t width, uint32_t height, uint8_t bitDepth, uint8_t colorType,
                      uint8_t interlace = 0, uint8_t compression = 0, uint8_t filter = 0);
    TPngBuilder& Idat(const std::vector<uint8_t>& payload, bool wrongCrc = false) {
        return Chunk("IDAT", payload, wrongCrc);
    }
    TPngBuilder& Iend() { return Chunk("IEND", {}); }
    TPngBuilder& Raw(const std::vector<uint8_t>& bytes);
    const std::vector<uint8_t>& Bytes() const { return FBytes; }

  private:
    std::vector<uint8_t> FBytes;
};

std::vector<uint8_t> Deflate(const std::vector<uint8_t>& raw, int level = 6);
std::vector<uint8_t> Be32(uint32_t value);

// Compares every pixel of the picture and its alpha plane with what libpng's
// samples of the same file must show (a gtest failure per difference).
void ExpectSameAsLibpng(const TPngPicture& picture, const std::vector<uint8_t>& file);

// Reads bytes with the reader under test; rethrows its failures.
void ReadPng(TPngPicture& picture, const std::vector<uint8_t>& bytes);

} // namespace korvalis::testing
