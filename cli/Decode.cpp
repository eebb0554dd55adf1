// korvalis decode: a picture as a slot load holds it after decoding and
// compositing, before fitting.
#include "Command.h"
#include "SlotOptions.h"

#include "imaging/PictureFile.h"

#include <exception>

namespace korvalis::cli {

namespace {

std::vector<uint8_t> Ppm(const TRaster& raster) {
    const std::string header =
        "P6\n" + std::to_string(raster.Width()) + " " + std::to_string(raster.Height()) + "\n255\n";
    std::vector<uint8_t> out(header.begin(), header.end());
    out.reserve(out.size() + size_t(raster.Width()) * size_t(raster.Height()) * 3);
    for (int y = 0; y < raster.Height(); ++y)
        for (int x = 0; x < raster.Width(); ++x) {
            const TColor c = raster.Pixel(x, y);
            out.insert(out.end(), {c.r, c.g, c.b});
        }
    return out;
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
    return WriteOutputFile(output, Ppm(picture)) ? 0 : 1;
}

const TCommandRegistration kDecode{{
    "decode",
    "decode FILE -o OUT.ppm",
    "write a picture as a slot load sees it before fitting (PPM, 8 bits)",
    RunDecode,
}};

} // namespace

} // namespace korvalis::cli
