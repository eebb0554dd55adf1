// Picture files made in the tests themselves, and a PPM reader to check what the
// command-line tool writes.
#pragma once

#include "graphics/Raster.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvalis::testing {

// A directory of its own for this test process.
const std::string& ScratchDir();
// ScratchDir()/name, with bytes written to it.
std::string WriteScratchFile(const std::string& name, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadWholeFile(const std::string& path);

// Every pixel tells where it came from: red and green the low bytes of x and y,
// blue their high bits, so a copied pixel can be traced to its source.
TRaster PatternRaster(int width, int height);
TColor PatternColour(int x, int y);

// An uncompressed bottom-up 24-bit BMP of the raster.
std::vector<uint8_t> MakeBmp24(const TRaster& raster);
// A JPEG of the raster (quality 95), through libjpeg.
std::vector<uint8_t> MakeJpegOf(const TRaster& raster);

// A binary PPM (P6, maxval 255); raises std::runtime_error when it is not one.
TRaster ReadPpm(const std::string& path);

// True when every pixel of the raster is (0, 0, 0).
bool AllBlack(const TRaster& raster);

} // namespace korvalis::testing
