#include "PngDrawing.h"

#include "decoders/PngPicture.h"

#include <cstring>

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

void PutBgr(uint8_t* p, uint8_t r, uint8_t g, uint8_t b) {
    p[0] = b;
    p[1] = g;
    p[2] = r;
}

class TPngAlpha : public IPictureAlpha {
  public:
    enum class TMode { KeyColour, KeyMask, PaletteAlpha, GreyAlpha, ColourAlpha };

    TPngAlpha(const TPngPicture& png, TMode mode, TColor key = clBlack)
        : FPng(png), FMode(mode), FKey(key), FWidth(static_cast<int>(png.Header().Width())),
          FBits(png.Header().BitsPerPixel()) {}

    void Row(int y, uint8_t* bgr, uint8_t* alpha) override {
        switch (FMode) {
        case TMode::KeyColour:
            for (int x = 0; x < FWidth; ++x, bgr += 3)
                alpha[x] = bgr[0] == FKey.b && bgr[1] == FKey.g && bgr[2] == FKey.r ? 0 : 255;
            break;
        case TMode::KeyMask: {
            const uint8_t* keyed = FPng.KeyMaskScanline(y);
            for (int x = 0; x < FWidth; ++x)
                alpha[x] = (keyed[x >> 3] << (x & 7)) & 0x80 ? 0 : 255;
            break;
        }
        case TMode::PaletteAlpha: {
            const TChunkPLTE* plte = FPng.FindChunk<TChunkPLTE>();
            const int entries = plte ? plte->Count() : 0;
            const auto& values = FPng.FindChunk<TChunktRNS>()->PaletteValues();
            const TColorTable& table = FPng.Header().ColorTable();
            const uint8_t* row = FPng.Scanline(y);
            if (!row)
                throw EPNGHeaderNotPresent();
            for (int x = 0; x < FWidth; ++x, bgr += 3) {
                const uint8_t index = IndexAt(row, x, FBits);
                if (index >= entries)
                    throw EPngError("There is no such palette entry.");
                const TRGBQuad& q = table[index];
                PutBgr(bgr, q.rgbRed, q.rgbGreen, q.rgbBlue);
                alpha[x] = values[index];
            }
            break;
        }
        case TMode::GreyAlpha: {
            const uint8_t* plane = FPng.AlphaScanline(y);
            const uint8_t* source = FPng.Scanline(y);
            if (!plane || !source)
                throw EPNGHeaderNotPresent();
            // The grey sample itself, not the ramp: the gamma table plays no part here.
            for (int x = 0; x < FWidth; ++x, bgr += 3) {
                const uint8_t s = IndexAt(source, x, FBits);
                PutBgr(bgr, s, s, s);
            }
            std::memcpy(alpha, plane, static_cast<size_t>(FWidth));
            break;
        }
        case TMode::ColourAlpha: {
            // The colour rows may have become the raster already: only the plane is read.
            const uint8_t* plane = FPng.AlphaScanline(y);
            if (!plane)
                throw EPNGHeaderNotPresent();
            std::memcpy(alpha, plane, static_cast<size_t>(FWidth));
            break;
        }
        }
    }

  private:
    const TPngPicture& FPng;
    TMode FMode;
    TColor FKey;
    int FWidth;
    int FBits;
};

// The key of an image whose raster shows it: grey and RGB of 8 bits, palettes.
TColor KeyColour(const TPngPicture& png) {
    const TChunkIHDR& header = png.Header();
    const TChunktRNS* trns = png.FindChunk<TChunktRNS>();
    const auto& values = trns->PaletteValues();
    switch (header.ColorType()) {
    case 0:
        return {values[1], values[1], values[1]};
    case 2:
        return {values[1], values[3], values[5]};
    default:
        for (uint32_t i = 0; i < trns->DataSize() && i < values.size(); ++i)
            if (values[i] == 0) {
                const TRGBQuad& q = header.ColorTable()[i];
                return {q.rgbRed, q.rgbGreen, q.rgbBlue};
            }
        return clBlack;
    }
}

// The decoder and its picture, kept together for as long as the load composes.
class TOwnedPngAlpha : public IPictureAlpha {
  public:
    TOwnedPngAlpha(std::unique_ptr<TPngPicture> png, std::unique_ptr<IPictureAlpha> alpha)
        : FPng(std::move(png)), FAlpha(std::move(alpha)) {}
    void Row(int y, uint8_t* bgr, uint8_t* alpha) override { FAlpha->Row(y, bgr, alpha); }

  private:
    std::unique_ptr<TPngPicture> FPng;
    std::unique_ptr<IPictureAlpha> FAlpha;
};

} // namespace

std::unique_ptr<IPictureAlpha> PngAlpha(const TPngPicture& png) {
    using TMode = TPngAlpha::TMode;
    const TChunkIHDR& header = png.Header();
    const uint8_t colourType = header.ColorType();
    switch (png.TransparencyMode()) {
    case ptmNone:
        return nullptr;
    case ptmBit: {
        if ((colourType == 0 || colourType == 2) && header.BitDepth() != 8)
            return header.KeyMask() ? std::make_unique<TPngAlpha>(png, TMode::KeyMask) : nullptr;
        const TColor key = KeyColour(png);
        // A black key over the black background changes nothing.
        return key == clBlack ? nullptr : std::make_unique<TPngAlpha>(png, TMode::KeyColour, key);
    }
    case ptmPartial:
        return std::make_unique<TPngAlpha>(png, colourType == 3   ? TMode::PaletteAlpha
                                                : colourType == 4 ? TMode::GreyAlpha
                                                                  : TMode::ColourAlpha);
    }
    return nullptr;
}

TRaster ComposePng(const TPngPicture& png) {
    TDecodedPicture decoded{png.ToRaster(), nullptr};
    if (!decoded.Colours.Empty())
        decoded.Alpha = PngAlpha(png);
    return ComposeOverBlack(std::move(decoded));
}

TDecodedPicture DecodePngFile(const std::string& fileName) {
    // Read through the file rather than a copy of it, and let the decoded rows
    // become the working raster: the load holds the picture once.
    auto png = std::make_unique<TPngPicture>();
    png->ReadFromFile(fileName);
    TDecodedPicture decoded{png->TakeRaster(), nullptr};
    if (decoded.Colours.Empty())
        return decoded;
    // An opaque indexed picture stays indexed, as 8-bit bitmaps do: whoever
    // needs 24 bits converts, so the load never holds the picture at both sizes.
    if (std::unique_ptr<IPictureAlpha> alpha = PngAlpha(*png)) {
        decoded.Colours.SetPixelFormat(TPixelFormat::pf24bit);
        decoded.Alpha = std::make_unique<TOwnedPngAlpha>(std::move(png), std::move(alpha));
    }
    return decoded;
}

TRaster DecodePngResourceColours(std::string_view name) {
    TPngPicture png;
    png.ReadFromResource(name);
    return png.ToRaster();
}

} // namespace korvalis
