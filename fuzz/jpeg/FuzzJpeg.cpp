// Reads any bytes as a JPEG and decodes them with option sets picked by the
// input's length, so every decoding path of TJpegPicture gets inputs.
#include "decoders/JpegPicture.h"

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace korvalis;
    TBytesStream stream(std::span<const uint8_t>(data, size));
    TJpegPicture picture;
    try {
        picture.LoadFromStream(stream);
        // Large pictures only cost time; the header alone has been read safely.
        if (int64_t{picture.Width()} * picture.Height() > (int64_t{1} << 22))
            return 0;
        TJpegOptions options = picture.Options();
        options.PixelFormat = size & 1 ? TJpegPixelFormat::jf8Bit : TJpegPixelFormat::jf24Bit;
        options.Performance =
            size & 2 ? TJpegPerformance::jpBestSpeed : TJpegPerformance::jpBestQuality;
        options.ProgressiveDisplay = (size & 4) != 0;
        options.Grayscale = (size & 24) == 24;
        options.Scale = static_cast<TJpegScale>((size >> 5) & 3);
        picture.SetOptions(options);
        TRaster raster;
        picture.AssignTo(raster);
        // Touch every byte so a short write shows up under the sanitizers.
        volatile uint8_t sum = 0;
        for (int y = 0; y < raster.Height(); ++y)
            for (size_t x = 0; x < raster.Stride(); ++x)
                sum = sum + raster.ScanLine(y)[x];
    } catch (const Exception&) {
    }
    return 0;
}
