#include "Compositing.h"

#include <vector>

namespace korvalis {

namespace {

// One row of colours over the background, in place: every channel s of a pixel
// of alpha a becomes (s * a + b * (255 - a) + 255) div 256.
void ComposeRow(uint8_t* p, const uint8_t* alpha, size_t width, TColor background,
                std::vector<uint8_t>& spread) {
    if (background == clBlack) {
        // Each sample beside its pixel's alpha, so the products run as one plain
        // loop the compiler turns into vector code; over black the term
        // (255 - a) * b is zero. Every load composes this way.
        spread.resize(width * 3);
        for (size_t x = 0; x < width; ++x)
            spread[3 * x] = spread[3 * x + 1] = spread[3 * x + 2] = alpha[x];
        const uint8_t* a = spread.data();
        for (size_t i = 0; i < width * 3; ++i)
            p[i] = static_cast<uint8_t>((unsigned(p[i]) * a[i] + 255u) >> 8);
        return;
    }
    const unsigned bg[3] = {background.b, background.g, background.r};
    for (size_t x = 0; x < width; ++x, p += 3)
        for (int c = 0; c < 3; ++c)
            p[c] = uint8_t((p[c] * alpha[x] + bg[c] * (255u - alpha[x]) + 255u) >> 8);
}

} // namespace

TRaster ComposeOverBlack(TDecodedPicture picture) {
    TRaster& out = picture.Colours;
    if (!picture.Alpha || out.Empty())
        return std::move(out);
    out.SetPixelFormat(TPixelFormat::pf24bit);
    const size_t width = static_cast<size_t>(out.Width());
    std::vector<uint8_t> alpha(width), spread;
    for (int y = 0; y < out.Height(); ++y) {
        uint8_t* p = out.ScanLine(y);
        picture.Alpha->Row(y, p, alpha.data());
        ComposeRow(p, alpha.data(), width, clBlack, spread);
    }
    return std::move(out);
}

void ComposeOver(TRaster& colours, const TRaster& alpha, TColor background) {
    colours.SetPixelFormat(TPixelFormat::pf24bit);
    std::vector<uint8_t> spread;
    for (int y = 0; y < colours.Height(); ++y)
        ComposeRow(colours.ScanLine(y), alpha.ScanLine(y), static_cast<size_t>(colours.Width()),
                   background, spread);
}

} // namespace korvalis
