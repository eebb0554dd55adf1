// korvalis decode: a picture as a slot load holds it after decoding and
// compositing, before fitting.
#include "Command.h"
#include "OutputFile.h"
#include "SlotOptions.h"

#include "decoders/JpegPicture.h"
#include "imaging/PictureFile.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <optional>
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

// The PPM goes out in blocks of about 1 MiB, each converted from the picture's
// rows (blue, green, red or indexed) just before it is written: no second copy
// of a picture that can be tens of megabytes.
class TPpmWriter {
  public:
    // format: a raster with the rows' width, pixel format and colour table.
    TPpmWriter(TOutputSink& sink, const TRaster& format, int height)
        : FSink(sink), FWidth(format.Width()), FRowBytes(size_t(format.Width()) * 3),
          FIndexed(format.PixelFormat() == TPixelFormat::pf8bit) {
        const std::string header =
            "P6\n" + std::to_string(FWidth) + " " + std::to_string(height) + "\n255\n";
        sink.Write(header.data(), header.size());
        if (FRowBytes == 0)
            return;
        FRowsPerBlock = int(std::max<size_t>(1, (size_t{1} << 20) / FRowBytes));
        // One spare byte: an indexed pixel is stored as four, the fourth
        // overwritten by the next pixel.
        FBlock.resize(FRowBytes * size_t(std::clamp(height, 1, FRowsPerBlock)) + 1);
        for (int i = 0; i < 256; ++i) {
            const TRGBQuad& q = format.ColorTable()[size_t(i)];
            FRgb[i][0] = q.rgbRed;
            FRgb[i][1] = q.rgbGreen;
            FRgb[i][2] = q.rgbBlue;
            FRgb[i][3] = 0;
        }
    }
    void Add(const uint8_t* row) {
        if (FRowBytes == 0 || FSink.Error() != 0)
            return;
        uint8_t* out = FBlock.data() + FRowBytes * size_t(FRows);
        if (FIndexed) {
            for (int x = 0; x < FWidth; ++x, out += 3)
                std::memcpy(out, FRgb[row[x]], 4);
        } else {
            SwapRedBlue(row, out, FRowBytes);
        }
        if (++FRows == FRowsPerBlock)
            Flush();
    }

    // Writes the rows of a block not yet full.
    void Flush() {
        if (FRows > 0)
            FSink.Write(FBlock.data(), FRowBytes * size_t(FRows));
        FRows = 0;
    }

  private:
    TOutputSink& FSink;
    int FWidth;
    size_t FRowBytes;
    bool FIndexed;
    int FRowsPerBlock = 1;
    int FRows = 0;
    std::vector<uint8_t> FBlock;
    uint8_t FRgb[256][4];
};

void WritePpm(const TRaster& raster, TOutputSink& sink) {
    TPpmWriter ppm(sink, raster, raster.Height());
    for (int y = 0; y < raster.Height(); ++y)
        ppm.Add(raster.ScanLine(y));
    ppm.Flush();
}

// A JPEG goes to a file row by row as it is decoded: the disk writes while
// the rest is decoded, and the whole picture is never held. Where a failure
// half way would leave part of a picture (standard output, a device), it is
// decoded whole first.
void WriteJpegPpm(TJpegPicture& jpeg, TOutputSink& sink) {
    if (!sink.DiscardedOnFailure()) {
        TRaster picture;
        jpeg.AssignTo(picture);
        WritePpm(picture, sink);
        return;
    }
    std::optional<TPpmWriter> ppm;
    jpeg.DecodeRows([&ppm, &sink](int, int height, const TRaster& row) {
        if (!ppm)
            ppm.emplace(sink, row, height);
        ppm->Add(row.ScanLine(0));
    });
    if (ppm)
        ppm->Flush();
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
    try {
        if (PictureKindOf(input) == TPictureKind::pkJpeg) {
            TJpegPicture jpeg;
            jpeg.LoadFromFile(input);
            return WriteOutputFile(output, [&jpeg](TOutputSink& sink) { WriteJpegPpm(jpeg, sink); })
                       ? 0
                       : 1;
        }
        const TRaster picture = DecodePictureFile(input);
        return WriteOutputFile(output, [&picture](TOutputSink& sink) { WritePpm(picture, sink); })
                   ? 0
                   : 1;
    } catch (const std::exception& e) {
        PrintLoadError(input, e.what());
        return 1;
    }
}

const TCommandRegistration kDecode{{
    "decode",
    "decode FILE -o OUT.ppm",
    "write a picture as a slot load sees it before fitting (PPM, 8 bits)",
    RunDecode,
}};

} // namespace

} // namespace korvalis::cli
