// Reads any bytes as a PNG and walks everything a reader of the picture may
// touch: every raster and alpha row, the colour table and the 24-bit copy.
#include "decoders/PngPicture.h"

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace korvalis;
    // Large pictures only cost time and memory; their size is checked before
    // anything is allocated, which the tests show.
    if (size >= 24 && data[12] == 'I' && data[13] == 'H' && data[14] == 'D' && data[15] == 'R') {
        const uint64_t width = uint64_t{data[16]} << 24 | data[17] << 16 | data[18] << 8 | data[19];
        const uint64_t height =
            uint64_t{data[20]} << 24 | data[21] << 16 | data[22] << 8 | data[23];
        if (width * height > (uint64_t{1} << 22))
            return 0;
    }
    TBytesStream stream(std::span<const uint8_t>(data, size));
    TPngPicture picture;
    try {
        picture.ReadFromStream(stream);
    } catch (const Exception&) {
        // A failed read still leaves a picture that must be safe to look at.
    }
    try {
        volatile uint8_t sum = 0;
        const TChunkIHDR& header = picture.Header();
        for (int y = 0; y < picture.Height(); ++y) {
            if (const uint8_t* row = picture.Scanline(y))
                for (size_t x = 0; x < header.RowStride(); ++x)
                    sum = sum + row[x];
            if (const uint8_t* alpha = picture.AlphaScanline(y))
                for (int x = 0; x < picture.Width(); ++x)
                    sum = sum + alpha[x];
        }
        for (const TRGBQuad& entry : picture.ColorTable())
            sum = sum + entry.rgbRed;
        const TRaster raster = picture.ToRaster();
        for (int y = 0; y < raster.Height(); ++y)
            for (size_t x = 0; x < raster.Stride(); ++x)
                sum = sum + raster.ScanLine(y)[x];
        (void)picture.TransparencyMode();
    } catch (const Exception&) {
    }
    return 0;
}
