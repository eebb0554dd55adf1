#include "PngDrawing.h"

#include "PngKeyMask.h"
#include "decoders/PngPicture.h"

#include <vector>

namespace korvalis {

namespace {

// Pixel x of a raster row of 1, 4 or 8 bits per pixel, leftmost pixel in the
// most significant bits.
uint8_t IndexAt(const uint8_t* row, int x, int bitsPerPixel) {
    switch (bitsPerPixel) {
    case 1:
        return (row[x >> 3] >> (7 - (x & 7))) & 1;
    case 4:
        return (x & 1) ? row[x >> 1] & 0x0F : row[x >> 1] >> 4;
    default:
        return row[x];
    }
}

uint8_t Blend(uint8_t sample, uint8_t alpha) {
    // Over the black background the term (255 - a) * d is zero.
    return static_cast<uint8_t>((unsigned(sample) * alpha + 255u) >> 8);
}

void PutBgr(uint8_t* p, uint8_t r, uint8_t g, uint8_t b) {
    p[0] = b;
    p[1] = g;
    p[2] = r;
}

bool SameColour(const uint8_t* bgr, TColor key) {
    return bgr[0] == key.b && bgr[1] == key.g && bgr[2] == key.r;
}

void Blacken(uint8_t* bgr) {
    PutBgr(bgr, 0, 0, 0);
}

void ApplyColourKey(const TPngPicture& png, std::span<const uint8_t> file, TRaster& out) {
    const TChunkIHDR& header = png.Header();
    const TChunktRNS* trns = png.FindChunk<TChunktRNS>();
    const int width = out.Width(), height = out.Height();
    const uint8_t colourType = header.ColorType();

    if ((colourType == 0 || colourType == 2) && header.BitDepth() != 8) {
        TBudgetCharge maskCharge;
        maskCharge.Set(uint64_t(width) * uint64_t(height));
        const std::vector<uint8_t> mask = PngKeyMask(file);
        if (mask.size() != size_t(width) * size_t(height))
            return;
        for (int y = 0; y < height; ++y) {
            uint8_t* row = out.ScanLine(y);
            const uint8_t* keyed = mask.data() + size_t(y) * width;
            for (int x = 0; x < width; ++x)
                if (keyed[x])
                    Blacken(row + 3 * x);
        }
        return;
    }

    TColor key = clBlack;
    const auto& values = trns->PaletteValues();
    if (colourType == 0) {
        key = {values[1], values[1], values[1]};
    } else if (colourType == 2) {
        key = {values[1], values[3], values[5]};
    } else if (colourType == 3) {
        for (uint32_t i = 0; i < trns->DataSize() && i < values.size(); ++i)
            if (values[i] == 0) {
                const TRGBQuad& q = header.ColorTable()[i];
                key = {q.rgbRed, q.rgbGreen, q.rgbBlue};
                break;
            }
    }
    // A black key over the black background changes nothing.
    if (key == clBlack)
        return;
    for (int y = 0; y < height; ++y) {
        uint8_t* p = out.ScanLine(y);
        for (int x = 0; x < width; ++x, p += 3)
            if (SameColour(p, key))
                Blacken(p);
    }
}

// A colour key on grey of 1, 2, 4 or 16 bits or RGB of 16 bits is matched on
// the samples as stored in the file, so those loads read the file again.
bool NeedsFileSamples(const TPngPicture& png) {
    const TChunkIHDR& header = png.Header();
    return png.TransparencyMode() == ptmBit &&
           (header.ColorType() == 0 || header.ColorType() == 2) && header.BitDepth() != 8;
}

void BlendAlphaPlane(const TPngPicture& png, TRaster& out) {
    const TChunkIHDR& header = png.Header();
    const bool grey = header.ColorType() == 4;
    const int bits = header.BitsPerPixel();
    for (int y = 0; y < out.Height(); ++y) {
        uint8_t* p = out.ScanLine(y);
        const uint8_t* alpha = png.AlphaScanline(y);
        const uint8_t* source = png.Scanline(y);
        // Colour rows may have become the raster already; only grey reads them here.
        if (!alpha || (grey && !source))
            throw EPNGHeaderNotPresent();
        for (int x = 0; x < out.Width(); ++x, p += 3) {
            const uint8_t a = alpha[x];
            if (grey) {
                // The grey sample itself, not the ramp: the gamma table plays no part here.
                const uint8_t s = Blend(IndexAt(source, x, bits), a);
                PutBgr(p, s, s, s);
            } else {
                PutBgr(p, Blend(p[2], a), Blend(p[1], a), Blend(p[0], a));
            }
        }
    }
}

void BlendPaletteAlpha(const TPngPicture& png, TRaster& out) {
    const TChunkIHDR& header = png.Header();
    const TChunkPLTE* plte = png.FindChunk<TChunkPLTE>();
    const int entries = plte ? plte->Count() : 0;
    const auto& alpha = png.FindChunk<TChunktRNS>()->PaletteValues();
    const TColorTable& table = header.ColorTable();
    const int bits = header.BitsPerPixel();
    for (int y = 0; y < out.Height(); ++y) {
        uint8_t* p = out.ScanLine(y);
        const uint8_t* row = png.Scanline(y);
        if (!row)
            throw EPNGHeaderNotPresent();
        for (int x = 0; x < out.Width(); ++x, p += 3) {
            const uint8_t index = IndexAt(row, x, bits);
            if (index >= entries)
                throw EPngError("There is no such palette entry.");
            const TRGBQuad& q = table[index];
            const uint8_t a = alpha[index];
            PutBgr(p, Blend(q.rgbRed, a), Blend(q.rgbGreen, a), Blend(q.rgbBlue, a));
        }
    }
}

// out is the picture's colour raster, copied or taken over.
TRaster Compose(const TPngPicture& png, std::span<const uint8_t> file, TRaster out) {
    if (out.Empty())
        return out;
    out.SetPixelFormat(TPixelFormat::pf24bit);
    switch (png.TransparencyMode()) {
    case ptmNone:
        break;
    case ptmBit:
        ApplyColourKey(png, file, out);
        break;
    case ptmPartial:
        if (png.Header().ColorType() == 3)
            BlendPaletteAlpha(png, out);
        else
            BlendAlphaPlane(png, out);
        break;
    }
    return out;
}

} // namespace

TRaster ComposePng(const TPngPicture& png, std::span<const uint8_t> file) {
    return Compose(png, file, png.ToRaster());
}

TRaster DecodePngFileComposited(const std::string& fileName) {
    // Read through the file rather than a copy of it, and let the decoded rows
    // become the working raster: the load holds the picture once.
    TPngPicture png;
    png.ReadFromFile(fileName);
    TMemoryStream file;
    if (NeedsFileSamples(png))
        file.LoadFromFile(fileName);
    return Compose(png, file.Bytes(), png.TakeRaster());
}

TRaster DecodePngResourceColours(std::string_view name) {
    TPngPicture png;
    png.ReadFromResource(name);
    return png.ToRaster();
}

} // namespace korvalis
