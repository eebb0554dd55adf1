#include "Compositing.h"

#include <vector>

namespace korvalis {

TRaster ComposeOverBlack(TDecodedPicture picture) {
    TRaster& out = picture.Colours;
    if (!picture.Alpha || out.Empty())
        return std::move(out);
    out.SetPixelFormat(TPixelFormat::pf24bit);
    const size_t width = static_cast<size_t>(out.Width());
    std::vector<uint8_t> alpha(width);
    // Each sample beside its pixel's alpha, so the products run as one plain
    // loop the compiler turns into vector code.
    std::vector<uint8_t> spread(width * 3);
    for (int y = 0; y < out.Height(); ++y) {
        uint8_t* p = out.ScanLine(y);
        picture.Alpha->Row(y, p, alpha.data());
        for (size_t x = 0; x < width; ++x)
            spread[3 * x] = spread[3 * x + 1] = spread[3 * x + 2] = alpha[x];
        // Over the black background the term (255 - a) * d is zero.
        const uint8_t* a = spread.data();
        for (size_t i = 0; i < width * 3; ++i)
            p[i] = static_cast<uint8_t>((unsigned(p[i]) * a[i] + 255u) >> 8);
    }
    return std::move(out);
}

} // namespace korvalis
