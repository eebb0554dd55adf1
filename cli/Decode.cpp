// korvalis decode: a picture as a slot load holds it after decoding and
// compositing, before fitting.
#include "Command.h"
#include "OutputFile.h"
#include "SlotOptions.h"

#include "imaging/PictureFile.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#endif

namespace korvalis::cli {

namespace {

// Blue, green, red to red, green, blue for count bytes (a multiple of 3).
void SwapRedBlueScalar(const uint8_t* in, uint8_t* out, size_t count) {
    for (size_t x = 0; x < count; x += 3) {
        out[x] = in[x + 2];
        out[x + 1] = in[x + 1];
        out[x + 2] = in[x];
    }
}

#if defined(__x86_64__) || defined(__i386__)
// Five pixels per 16-byte shuffle; the 16th byte is rewritten by the next step.
// Conversion otherwise costs as much as the rest of writing the file.
__attribute__((target("ssse3"))) void SwapRedBlueSsse3(const uint8_t* in, uint8_t* out,
                                                       size_t count) {
    const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
    size_t x = 0;
    for (; x + 16 <= count; x += 15) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_shuffle_epi8(v, order));
    }
    SwapRedBlueScalar(in + x, out + x, count - x);
}
#endif

void SwapRedBlue(const uint8_t* in, uint8_t* out, size_t count) {
#if defined(__x86_64__) || defined(__i386__)
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    if (ssse3)
        return SwapRedBlueSsse3(in, out, count);
#endif
    SwapRedBlueScalar(in, out, count);
}

// The PPM goes out in blocks of about 1 MiB, each converted from the raster's
// rows (blue, green, red or indexed) just before it is written: no second copy
// of a picture that can be tens of megabytes.
void WritePpm(const TRaster& raster, TOutputSink& sink) {
    const std::string header =
        "P6\n" + std::to_string(raster.Width()) + " " + std::to_string(raster.Height()) + "\n255\n";
    sink.Write(header.data(), header.size());
    const size_t rowBytes = size_t(raster.Width()) * 3;
    if (rowBytes == 0)
        return;
    const int rowsPerBlock = int(std::max<size_t>(1, (size_t{1} << 20) / rowBytes));
    // One spare byte: an indexed pixel is stored as four, the fourth overwritten
    // by the next pixel.
    std::vector<uint8_t> block(rowBytes * size_t(std::min(rowsPerBlock, raster.Height())) + 1);
    const bool indexed = raster.PixelFormat() == TPixelFormat::pf8bit;
    uint8_t rgb[256][4];
    for (int i = 0; i < 256; ++i) {
        const TRGBQuad& q = raster.ColorTable()[size_t(i)];
        rgb[i][0] = q.rgbRed;
        rgb[i][1] = q.rgbGreen;
        rgb[i][2] = q.rgbBlue;
        rgb[i][3] = 0;
    }
    for (int y = 0; y < raster.Height();) {
        const int rows = std::min(rowsPerBlock, raster.Height() - y);
        uint8_t* out = block.data();
        for (int r = 0; r < rows; ++r, ++y) {
            const uint8_t* in = raster.ScanLine(y);
            if (indexed) {
                for (int x = 0; x < raster.Width(); ++x, out += 3)
                    std::memcpy(out, rgb[in[x]], 4);
            } else {
                SwapRedBlue(in, out, rowBytes);
                out += rowBytes;
            }
        }
        sink.Write(block.data(), size_t(out - block.data()));
        if (sink.Error() != 0)
            return;
    }
}

int RunDecode(std::span<const std::string> args) {
    std::string input, output;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-o" || args[i] == "--output") {
            if (i + 1 >= args.size())
                return UsageError("decode", "option " + args[i] + " needs a value");
            if (!output.empty())
                return UsageError("decode", "only one output file, please");
            output = args[++i];
        } else if (args[i].rfind("--output=", 0) == 0 && output.empty()) {
            output = args[i].substr(9);
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            return UsageError("decode", "unknown option '" + args[i] + "'");
        } else if (input.empty()) {
            input = args[i];
        } else {
            return UsageError("decode", "only one picture, please");
        }
    }
    if (input.empty())
        return UsageError("decode", "no picture file given");
    if (output.empty())
        return UsageError("decode", "no output file (-o OUT.ppm)");
    TRaster picture;
    try {
        picture = DecodePictureFile(input);
    } catch (const std::exception& e) {
        PrintLoadError(input, e.what());
        return 1;
    }
    return WriteOutputFile(output, [&picture](TOutputSink& sink) { WritePpm(picture, sink); }) ? 0
                                                                                               : 1;
}

const TCommandRegistration kDecode{{
    "decode",
    "decode FILE -o OUT.ppm",
    "write a picture as a slot load sees it before fitting (PPM, 8 bits)",
    RunDecode,
}};

} // namespace

} // namespace korvalis::cli
