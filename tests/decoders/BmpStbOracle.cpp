#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_BMP
#include "BmpStbOracle.h"

#include <stb/stb_image.h>

namespace korvalis::testing {

std::optional<TStbImage> StbDecode(const std::vector<uint8_t>& file) {
    int width = 0, height = 0, channels = 0;
    stbi_uc* pixels = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &width,
                                            &height, &channels, 3);
    if (!pixels)
        return std::nullopt;
    TStbImage image;
    image.Width = width;
    image.Height = height;
    image.Rgb.assign(pixels, pixels + static_cast<size_t>(width) * height * 3);
    stbi_image_free(pixels);
    return image;
}

} // namespace korvalis::testing
