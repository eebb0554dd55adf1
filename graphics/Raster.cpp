#include "Raster.h"

#include "Exceptions.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace korvalis {

namespace {

// A large raster is written soon after it is made: having the kernel put in all
// its pages with one call costs about a quarter less than one fault per page at
// the first write. Kernels before 5.14 refuse the request; the pages then come
// one fault at a time as before.
void PopulateForWriting([[maybe_unused]] uint8_t* bits, [[maybe_unused]] uint64_t bytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    constexpr uint64_t kWorthIt = 1 << 20;
    if (bytes < kWorthIt)
        return;
    static const uintptr_t page = uintptr_t(::sysconf(_SC_PAGESIZE));
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(bits) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(bits) + bytes) & ~(page - 1);
    if (end > begin)
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#endif
}

} // namespace

TRaster::TRaster(int width, int height, TPixelFormat format) : FFormat(format) {
    SetSize(width, height);
}

TRaster::TRaster(const TRaster& other)
    : FFormat(other.FFormat), FColorTable(other.FColorTable), FFillColor(other.FFillColor),
      FOutlineColor(other.FOutlineColor) {
    Allocate(other.FWidth, other.FHeight, false);
    if (!Empty())
        std::memcpy(FBits.get(), other.FBits.get(), Stride() * FHeight);
}

TRaster& TRaster::operator=(const TRaster& other) {
    if (this != &other) {
        TRaster copy(other);
        *this = std::move(copy);
    }
    return *this;
}

TRaster::TRaster(TRaster&& other) noexcept {
    *this = std::move(other);
}

TRaster& TRaster::operator=(TRaster&& other) noexcept {
    if (this != &other) {
        FWidth = std::exchange(other.FWidth, 0);
        FHeight = std::exchange(other.FHeight, 0);
        FFormat = other.FFormat;
        FBits = std::move(other.FBits);
        FCharge = std::move(other.FCharge);
        FColorTable = other.FColorTable;
        FFillColor = other.FFillColor;
        FOutlineColor = other.FOutlineColor;
    }
    return *this;
}

void TRaster::Allocate(int width, int height, bool zero) {
    width = std::max(width, 0);
    height = std::max(height, 0);
    const uint64_t bytes = uint64_t(width) * uint64_t(height) * uint64_t(BytesPerPixel());
    if (bytes > kMaxBytes)
        throw EOutOfResources();
    TBudgetCharge charge;
    charge.Set(bytes);
    TRasterBits bits;
    if (bytes > 0) {
        // calloc hands out fresh zero pages for large rasters without touching them.
        // Plain 4 KiB pages: asking for 2 MiB ones (madvise MADV_HUGEPAGE) saved
        // 10 to 20 ms of faults on a 12 or 24 MP picture at best, but in a VM
        // large pages often have to come back from the host first: a 24 MP
        // decode then took 0.5 s more, in most runs of a whole benchmark, and a
        // 1 GiB raster 8 s instead of 0.5 s.
        bits.reset(static_cast<uint8_t*>(zero ? std::calloc(bytes, 1) : std::malloc(bytes)));
        if (!bits)
            throw EOutOfResources();
        PopulateForWriting(bits.get(), bytes);
    }
    FBits = std::move(bits);
    FCharge = std::move(charge);
    FWidth = bytes > 0 ? width : 0;
    FHeight = bytes > 0 ? height : 0;
}

void TRaster::Adopt(int width, int height, TPixelFormat format, TRasterBits bits,
                    TBudgetCharge charge) {
    const bool empty = !bits || width <= 0 || height <= 0;
    if (empty) {
        charge.Reset();
    } else {
        // Bits from outside any load come uncounted; the load holding them now counts them.
        const uint64_t pixels =
            uint64_t(width) * uint64_t(height) * (format == TPixelFormat::pf24bit ? 3u : 1u);
        charge.Set(std::max(charge.Bytes(), pixels));
    }
    FFormat = format;
    FBits = empty ? nullptr : std::move(bits);
    FCharge = std::move(charge);
    FWidth = empty ? 0 : width;
    FHeight = empty ? 0 : height;
}

void TRaster::SetSize(int width, int height) {
    Allocate(width, height, true);
}

void TRaster::SetSizeUninitialized(int width, int height) {
    Allocate(width, height, false);
}

void TRaster::SetPixelFormat(TPixelFormat format) {
    if (format == FFormat)
        return;
    if (format == TPixelFormat::pf8bit) {
        FFormat = format;
        Allocate(FWidth, FHeight, true);
        return;
    }
    TRaster wide(0, 0, TPixelFormat::pf24bit);
    wide.Allocate(FWidth, FHeight, false);
    for (int y = 0; y < FHeight; ++y) {
        const uint8_t* in = ScanLine(y);
        uint8_t* out = wide.ScanLine(y);
        for (int x = 0; x < FWidth; ++x, out += 3) {
            const TRGBQuad& q = FColorTable[in[x]];
            out[0] = q.rgbBlue;
            out[1] = q.rgbGreen;
            out[2] = q.rgbRed;
        }
    }
    FBits = std::move(wide.FBits);
    FCharge = std::move(wide.FCharge);
    FFormat = format;
}

uint8_t* TRaster::ScanLine(int y) {
    if (y < 0 || y >= FHeight)
        throw std::out_of_range("Scan line index out of range");
    return FBits.get() + Stride() * static_cast<size_t>(y);
}

const uint8_t* TRaster::ScanLine(int y) const {
    return const_cast<TRaster*>(this)->ScanLine(y);
}

TColor TRaster::Pixel(int x, int y) const {
    if (x < 0 || x >= FWidth)
        throw std::out_of_range("Pixel index out of range");
    const uint8_t* row = ScanLine(y);
    if (FFormat == TPixelFormat::pf8bit) {
        const TRGBQuad& q = FColorTable[row[x]];
        return {q.rgbRed, q.rgbGreen, q.rgbBlue};
    }
    const uint8_t* p = row + 3 * x;
    return {p[2], p[1], p[0]};
}

void TRaster::SetPixel(int x, int y, TColor color) {
    if (x < 0 || x >= FWidth)
        throw std::out_of_range("Pixel index out of range");
    SetPixelFormat(TPixelFormat::pf24bit);
    uint8_t* p = ScanLine(y) + 3 * x;
    p[0] = color.b;
    p[1] = color.g;
    p[2] = color.r;
}

void TRaster::FillSpan(int left, int top, int right, int bottom, TColor color) {
    left = std::max(left, 0);
    top = std::max(top, 0);
    right = std::min(right, FWidth);
    bottom = std::min(bottom, FHeight);
    if (left >= right || top >= bottom)
        return;
    SetPixelFormat(TPixelFormat::pf24bit);
    for (int y = top; y < bottom; ++y) {
        uint8_t* p = ScanLine(y) + 3 * left;
        for (int x = left; x < right; ++x, p += 3) {
            p[0] = color.b;
            p[1] = color.g;
            p[2] = color.r;
        }
    }
}

void TRaster::FillRect(int left, int top, int right, int bottom) {
    FillSpan(left, top, right, bottom, FFillColor);
}

void TRaster::Rectangle(int left, int top, int right, int bottom) {
    if (left >= right || top >= bottom)
        return;
    FillSpan(left, top, right, bottom, FOutlineColor);
    FillSpan(left + 1, top + 1, right - 1, bottom - 1, FFillColor);
}

void TRaster::Draw(int x, int y, const TRaster& source) {
    // Work in 64 bits so positions near the int limits cannot overflow.
    const int64_t left = std::max<int64_t>(x, 0);
    const int64_t top = std::max<int64_t>(y, 0);
    const int64_t right = std::min<int64_t>(int64_t(x) + source.FWidth, FWidth);
    const int64_t bottom = std::min<int64_t>(int64_t(y) + source.FHeight, FHeight);
    if (left >= right || top >= bottom)
        return;
    SetPixelFormat(TPixelFormat::pf24bit);
    const int sx0 = static_cast<int>(left - x);
    const int count = static_cast<int>(right - left);
    for (int64_t ty = top; ty < bottom; ++ty) {
        uint8_t* out = ScanLine(static_cast<int>(ty)) + 3 * left;
        const uint8_t* in = source.ScanLine(static_cast<int>(ty - y));
        if (source.FFormat == TPixelFormat::pf24bit) {
            std::memcpy(out, in + 3 * sx0, size_t(count) * 3);
            continue;
        }
        for (int i = 0; i < count; ++i, out += 3) {
            const TRGBQuad& q = source.FColorTable[in[sx0 + i]];
            out[0] = q.rgbBlue;
            out[1] = q.rgbGreen;
            out[2] = q.rgbRed;
        }
    }
}

int TRaster::NearestSource(int target, int sourceSize, int targetSize) {
    return static_cast<int>((int64_t(2) * target + 1) * sourceSize / (int64_t(2) * targetSize));
}

std::vector<size_t> TRaster::StretchColumns(int sourceWidth, int targetWidth, int bytesPerPixel) {
    std::vector<size_t> columns(static_cast<size_t>(std::max(targetWidth, 0)));
    for (int tx = 0; tx < targetWidth; ++tx)
        columns[size_t(tx)] = size_t(NearestSource(tx, sourceWidth, targetWidth)) * bytesPerPixel;
    return columns;
}

void TRaster::StretchRow(const uint8_t* in, uint8_t* out, const std::vector<size_t>& columns,
                         int bytesPerPixel) {
    if (bytesPerPixel == 3) {
        for (size_t c : columns) {
            out[0] = in[c];
            out[1] = in[c + 1];
            out[2] = in[c + 2];
            out += 3;
        }
    } else {
        for (size_t c : columns)
            *out++ = in[c];
    }
}

TRaster TRaster::Stretched(int width, int height) const {
    TRaster out(0, 0, FFormat);
    out.FColorTable = FColorTable;
    out.FFillColor = FFillColor;
    out.FOutlineColor = FOutlineColor;
    out.Allocate(width, height, Empty());
    if (out.Empty() || Empty())
        return out;
    const int bpp = BytesPerPixel();
    const std::vector<size_t> columns = StretchColumns(FWidth, out.FWidth, bpp);
    for (int ty = 0; ty < out.FHeight; ++ty)
        StretchRow(ScanLine(NearestSource(ty, FHeight, out.FHeight)), out.ScanLine(ty), columns,
                   bpp);
    return out;
}

} // namespace korvalis
