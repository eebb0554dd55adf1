#pragma once

#include "graphics/LoadBudget.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

namespace korvalis {

enum class TPixelFormat : uint8_t { pf8bit = 8, pf24bit = 24 };

struct TColor {
    uint8_t r = 0, g = 0, b = 0;
    friend bool operator==(const TColor&, const TColor&) = default;
};
inline constexpr TColor clBlack{0, 0, 0};
inline constexpr TColor clWhite{255, 255, 255};

// One colour-table entry, stored blue, green, red, reserved as bitmaps keep them.
struct TRGBQuad {
    uint8_t rgbBlue = 0, rgbGreen = 0, rgbRed = 0, rgbReserved = 0;
    friend bool operator==(const TRGBQuad&, const TRGBQuad&) = default;
};
using TColorTable = std::array<TRGBQuad, 256>;

// Pixel memory from malloc or calloc, so a decoder's buffer can become a raster.
struct TFreeBits {
    void operator()(uint8_t* p) const { std::free(p); }
};
using TRasterBits = std::unique_ptr<uint8_t, TFreeBits>;

// A picture in memory: 24-bit rows (blue, green, red per pixel) or 8-bit indexed
// rows with a 256-entry colour table. Rows are stored top-down without padding,
// so ScanLine(y) is row y counted from the top.
class TRaster {
  public:
    // Larger rasters are refused rather than risking the machine's memory.
    static constexpr uint64_t kMaxBytes = uint64_t{1} << 30;

    TRaster() = default;
    TRaster(int width, int height, TPixelFormat format = TPixelFormat::pf24bit);
    TRaster(const TRaster& other);
    TRaster& operator=(const TRaster& other);
    TRaster(TRaster&& other) noexcept;
    TRaster& operator=(TRaster&& other) noexcept;
    ~TRaster() = default;

    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    bool Empty() const { return FWidth == 0 || FHeight == 0; }
    TPixelFormat PixelFormat() const { return FFormat; }
    int BytesPerPixel() const { return FFormat == TPixelFormat::pf24bit ? 3 : 1; }
    size_t Stride() const { return static_cast<size_t>(FWidth) * BytesPerPixel(); }

    // Resizes to width x height; every pixel becomes 0 (black, or index 0).
    // Negative sizes count as 0. Raises EOutOfResources when the size cannot be had
    // or, during a load, does not fit the load's budget.
    void SetSize(int width, int height);
    // As SetSize, for callers that write every row themselves.
    void SetSizeUninitialized(int width, int height);
    // Takes over bits (width x height pixels of the format, laid out as ScanLine
    // describes) instead of allocating; the colour table is left as it is. The
    // charge that counted the bits comes with them; during a load it is raised
    // to at least the pixels' size (EOutOfResources when that does not fit).
    void Adopt(int width, int height, TPixelFormat format, TRasterBits bits, TBudgetCharge charge);
    // 8 to 24 bits maps every pixel through the colour table; 24 to 8 bits keeps
    // the size and leaves every pixel at index 0.
    void SetPixelFormat(TPixelFormat format);

    uint8_t* ScanLine(int y);
    const uint8_t* ScanLine(int y) const;
    uint8_t* Bits() { return FBits.get(); }
    const uint8_t* Bits() const { return FBits.get(); }

    TColorTable& ColorTable() { return FColorTable; }
    const TColorTable& ColorTable() const { return FColorTable; }

    TColor Pixel(int x, int y) const;
    void SetPixel(int x, int y, TColor color);

    TColor FillColor() const { return FFillColor; }
    void SetFillColor(TColor color) { FFillColor = color; }
    TColor OutlineColor() const { return FOutlineColor; }
    void SetOutlineColor(TColor color) { FOutlineColor = color; }

    // Fills [left, right) x [top, bottom) with the fill colour, clipped.
    void FillRect(int left, int top, int right, int bottom);
    // A one-pixel outline in the outline colour around a filled interior, clipped;
    // right and bottom are exclusive.
    void Rectangle(int left, int top, int right, int bottom);

    // Copies source 1:1 with its top-left corner at (x, y), clipped to this raster;
    // negative positions cut the left or top of the source. An 8-bit target is
    // first converted to 24 bits.
    void Draw(int x, int y, const TRaster& source);

    // Nearest-neighbour copy at a new size: target pixel t takes the source pixel
    // under its centre, floor((2t + 1) * source / (2 * target)). Keeps the pixel
    // format and colour table.
    TRaster Stretched(int width, int height) const;
    // The source row or column Stretched takes for target pixel t.
    static int NearestSource(int target, int sourceSize, int targetSize);
    // Where in a source row of sourceWidth pixels Stretched reads each of
    // targetWidth pixels, as byte offsets.
    static std::vector<size_t> StretchColumns(int sourceWidth, int targetWidth, int bytesPerPixel);
    // One stretched row: out gets the pixels of in at those offsets.
    static void StretchRow(const uint8_t* in, uint8_t* out, const std::vector<size_t>& columns,
                           int bytesPerPixel);

  private:
    void Allocate(int width, int height, bool zero);
    void FillSpan(int left, int top, int right, int bottom, TColor color);

    int FWidth = 0;
    int FHeight = 0;
    TPixelFormat FFormat = TPixelFormat::pf24bit;
    TRasterBits FBits;
    TBudgetCharge FCharge; // the pixels, counted against the load that made or took them
    TColorTable FColorTable{};
    TColor FFillColor = clWhite;
    TColor FOutlineColor = clBlack;
};

} // namespace korvalis
