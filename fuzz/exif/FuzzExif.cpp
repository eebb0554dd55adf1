// Any bytes as the start of a JPEG file: the EXIF orientation is read only from
// inside them and is always one of the eight, and the turn it asks for keeps a
// picture's pixels.
#include "imaging/PictureRendering.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace korvalis;
    const int orientation = JpegOrientation(std::span<const uint8_t>(data, size));
    if (orientation < 1 || orientation > 8)
        std::abort();
    TRaster picture(3, 2);
    picture.SetPixel(2, 1, clWhite);
    const TRaster turned = Turned(picture, TurnOfOrientation(orientation));
    if (turned.Width() * turned.Height() != 6)
        std::abort();
    int white = 0;
    for (int y = 0; y < turned.Height(); ++y)
        for (int x = 0; x < turned.Width(); ++x)
            white += turned.Pixel(x, y) == clWhite;
    if (white != 1)
        std::abort();
    return 0;
}
