#include "Compositing.h"

#include <vector>

namespace korvalis {

TRaster ComposeOverBlack(TDecodedPicture picture) {
    TRaster& out = picture.Colours;
    if (!picture.Alpha || out.Empty())
        return std::move(out);
    out.SetPixelFormat(TPixelFormat::pf24bit);
    std::vector<uint8_t> alpha(static_cast<size_t>(out.Width()));
    for (int y = 0; y < out.Height(); ++y) {
        uint8_t* p = out.ScanLine(y);
        picture.Alpha->Row(y, p, alpha.data());
        for (int x = 0; x < out.Width(); ++x, p += 3) {
            const unsigned a = alpha[static_cast<size_t>(x)];
            // Over the black background the term (255 - a) * d is zero.
            for (int c = 0; c < 3; ++c)
                p[c] = static_cast<uint8_t>((p[c] * a + 255u) >> 8);
        }
    }
    return std::move(out);
}

} // namespace korvalis
