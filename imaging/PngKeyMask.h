#pragma once

// The colour key of grey and RGB PNGs matched on the file's own samples. The
// decoded raster has lost what tells such pixels apart: 16-bit samples keep only
// their high byte, and grey levels pass through the gamma table. Keying on the
// reduced value would blank every pixel whose high byte happens to match.

#include <cstdint>
#include <span>
#include <vector>

namespace korvalis {

// For a grey (colour type 0) or RGB (colour type 2) PNG with a tRNS chunk: one
// byte per pixel, rows top-down, 1 where every sample of the pixel equals the
// tRNS value (all 16 bits of it). Pixels that the image data does not reach are
// 0. Answers an empty vector for any other PNG. `file` must be a PNG the reader
// has already accepted; malformed data never reads out of bounds, it only
// leaves pixels at 0.
std::vector<uint8_t> PngKeyMask(std::span<const uint8_t> file);

} // namespace korvalis
