// libjpeg called directly, as the reference the JPEG picture is held to, and a
// small compressor for pictures the corpus lacks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace korvalis::testing {

std::vector<uint8_t> ReadFileBytes(const std::string& path);

struct TOracleSettings {
    bool GrayscaleOutput = false;
    bool Fast = false;     // fast integer DCT, one-pass quantisation, ordered dither
    bool Quantize = false; // 236 colours; greyscale output always quantises
    int Scale = 0;         // 1 / 2^Scale
    bool Smoothing = true;
};

struct TOracleImage {
    int ErrorCode = 0; // libjpeg's message code of a fatal error, 0 when decoded
    bool TooBig = false;
    int Width = 0, Height = 0;
    int Components = 0; // bytes per pixel as libjpeg wrote them
    bool FourComponent = false;
    std::vector<uint8_t> Pixels; // rows top-down; BGR for colour
    int Colors = 0;
    std::vector<uint8_t> Palette; // red, green, blue per entry
};

TOracleImage OracleDecode(const std::vector<uint8_t>& file, const TOracleSettings& settings = {});

// CMYK with the Adobe marker holds inverted inks, as Adobe writers store them.
// TwoComponents: a colour space libjpeg knows no conversion for.
enum class TMakeSpace { Rgb, Gray, CmykAdobe, Ycck, CmykPlain, TwoComponents };
// pixel(x, y, out) writes the components of one pixel (3 RGB, 1 grey, 4 CMYK).
std::vector<uint8_t> MakeJpeg(int width, int height, TMakeSpace space,
                              const std::function<void(int, int, uint8_t*)>& pixel,
                              int quality = 90, bool progressive = false);

} // namespace korvalis::testing
