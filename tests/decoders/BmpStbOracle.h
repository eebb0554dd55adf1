// stb_image, a widely used BMP reader, as the reference our reader is held to.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace korvalis::testing {

struct TStbImage {
    int Width = 0, Height = 0;
    std::vector<uint8_t> Rgb; // rows top-down, red, green, blue
};

std::optional<TStbImage> StbDecode(const std::vector<uint8_t>& file);

} // namespace korvalis::testing
