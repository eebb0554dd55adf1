// Small files that declare large or costly pictures, made on the spot: the
// load-budget tests and the crafted-file benchmark read the same ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvalis::testing {

// A 1 x 1 grey PNG followed by `chunks` zTXt chunks, each inflating to
// `textBytes` zeros.
std::vector<uint8_t> PngWithTexts(int chunks, size_t textBytes);
// A 1 x 1 grey PNG with `chunks` empty ancillary chunks of an unknown type.
std::vector<uint8_t> PngWithEmptyChunks(int chunks);
// A width x height PNG at 8 bits per sample whose first `rows` rows (all of
// them by default) are given, every pixel 0; the reader leaves the rest black.
std::vector<uint8_t> PngOfZeros(uint32_t width, uint32_t height, uint8_t colourType,
                                uint32_t rows = UINT32_MAX);

// A BMP with a 40-byte header and `colours` grey table entries (none black),
// followed by `pixelBytes` zero bytes.
std::vector<uint8_t> BmpDeclaring(int32_t width, int32_t height, uint16_t bits,
                                  uint32_t compression, uint32_t colours, size_t pixelBytes);

// A uniform grey progressive JPEG of width x height whose last scan is repeated
// until the file has `scans` scans.
std::vector<uint8_t> JpegRepeatingScan(int width, int height, int scans);
// A small uniform progressive JPEG whose frame header claims width x height;
// its data runs out at once and libjpeg fills in the rest.
std::vector<uint8_t> JpegDeclaring(int width, int height);

} // namespace korvalis::testing
