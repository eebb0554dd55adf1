// Reads any bytes as a BMP file.
#include "decoders/BmpReader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace korvalis;
    // Huge pictures only cost time and memory: skip them by their header.
    if (size >= 26) {
        const auto u32 = [&](size_t at) {
            return uint32_t{data[at]} | uint32_t{data[at + 1]} << 8 | uint32_t{data[at + 2]} << 16 |
                   uint32_t{data[at + 3]} << 24;
        };
        int64_t width = 0, height = 0;
        if (u32(14) == 12) {
            width = data[18] | data[19] << 8;
            height = data[20] | data[21] << 8;
        } else {
            width = static_cast<int32_t>(u32(18));
            height = static_cast<int32_t>(u32(22));
        }
        if (std::llabs(width) * std::llabs(height) > (int64_t{1} << 22))
            return 0;
    }
    TBytesStream stream(std::span<const uint8_t>(data, size));
    TRaster raster;
    try {
        ReadBitmap(stream, raster);
        volatile uint8_t sum = 0;
        for (int y = 0; y < raster.Height(); ++y)
            for (size_t x = 0; x < raster.Stride(); ++x)
                sum = sum + raster.ScanLine(y)[x];
    } catch (const Exception&) {
    }
    return 0;
}
