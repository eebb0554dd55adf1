#include "BmpReader.h"

#include "graphics/LoadBudget.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <vector>

namespace korvalis {

namespace {

constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiRle8 = 1;
constexpr uint32_t kBiRle4 = 2;
constexpr uint32_t kBiBitFields = 3;
constexpr uint32_t kBiAlphaBitFields = 6;
constexpr uint32_t kCoreHeaderSize = 12;
// V5 is the largest header written anywhere; bytes past it are skipped.
constexpr uint32_t kMaxKnownHeader = 124;

[[noreturn]] void NotValid() {
    throw EInvalidImage("Bitmap image is not valid");
}

uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t U32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

struct THeader {
    int64_t Width = 0;
    int64_t Height = 0; // negative: rows stored top-down
    uint16_t Planes = 0;
    uint16_t BitCount = 0;
    uint32_t Compression = kBiRgb;
    uint32_t SizeImage = 0;
    uint32_t ClrUsed = 0;
    std::array<uint32_t, 3> Masks{};
    bool HasMasks = false;
};

// Reads the information header; a file cut short inside it is refused before any
// of its values is used.
THeader ReadInfoHeader(TStream& stream, uint32_t& headerSize) {
    uint8_t sizeBytes[4];
    if (stream.Read(sizeBytes, 4) != 4)
        NotValid();
    headerSize = U32(sizeBytes);
    THeader h;
    if (headerSize == kCoreHeaderSize) {
        uint8_t core[8];
        if (stream.Read(core, 8) != 8)
            NotValid();
        h.Width = U16(core);
        h.Height = U16(core + 2);
        h.Planes = U16(core + 4);
        h.BitCount = U16(core + 6);
        return h;
    }
    // 16 to 39 bytes: the short OS/2 2.x header, the fields it leaves out are 0.
    if (headerSize < 16 || int64_t{headerSize} - 4 > stream.Remaining())
        NotValid();
    std::array<uint8_t, kMaxKnownHeader> b{};
    const size_t known = std::min(headerSize, kMaxKnownHeader) - 4;
    if (stream.Read(b.data() + 4, known) != known)
        NotValid();
    if (headerSize > kMaxKnownHeader)
        stream.Seek(headerSize - kMaxKnownHeader, TSeekOrigin::soCurrent);
    h.Width = static_cast<int32_t>(U32(&b[4]));
    h.Height = static_cast<int32_t>(U32(&b[8]));
    h.Planes = U16(&b[12]);
    h.BitCount = U16(&b[14]);
    h.Compression = U32(&b[16]);
    h.SizeImage = U32(&b[20]);
    h.ClrUsed = U32(&b[32]);
    if (headerSize >= 52) {
        h.Masks = {U32(&b[40]), U32(&b[44]), U32(&b[48])};
        h.HasMasks = true;
    }
    return h;
}

// One channel of a bit-field pixel, widened to 8 bits by repeating its bits.
struct TChannel {
    uint32_t Mask = 0;
    int Shift = 0;
    int Bits = 0;

    explicit TChannel(uint32_t mask) : Mask(mask) {
        if (mask == 0)
            return;
        while (!((mask >> Shift) & 1))
            ++Shift;
        while (Shift + Bits < 32 && ((mask >> (Shift + Bits)) & 1))
            ++Bits;
    }
    uint8_t Value(uint32_t pixel) const {
        if (Bits == 0)
            return 0;
        uint32_t v = (pixel & Mask) >> Shift;
        if (Bits >= 8)
            return static_cast<uint8_t>(v >> (Bits - 8));
        uint32_t out = 0;
        for (int filled = 0; filled < 8; filled += Bits)
            out = (out << Bits) | v;
        return static_cast<uint8_t>(out >> ((8 + Bits - 1) / Bits * Bits - 8));
    }
};

// An index whose colour is black, for pixels the file does not give: a spare
// entry past the file's colours, or a black one among them; -1 when there is none.
int BlackIndex(TColorTable& table, size_t colors) {
    if (colors < table.size()) {
        table[colors] = TRGBQuad{};
        return static_cast<int>(colors);
    }
    for (size_t i = 0; i < table.size(); ++i)
        if (table[i].rgbRed == 0 && table[i].rgbGreen == 0 && table[i].rgbBlue == 0)
            return static_cast<int>(i);
    return -1;
}

// Rows the file never gave become black; an indexed raster without a black entry
// is widened to 24 bits for that.
void BlackenRows(TRaster& raster, const std::vector<bool>& given, int blackIndex) {
    if (std::all_of(given.begin(), given.end(), [](bool g) { return g; }))
        return;
    if (raster.PixelFormat() == TPixelFormat::pf8bit && blackIndex < 0)
        raster.SetPixelFormat(TPixelFormat::pf24bit);
    const int fill = raster.PixelFormat() == TPixelFormat::pf8bit ? blackIndex : 0;
    for (int y = 0; y < raster.Height(); ++y)
        if (!given[static_cast<size_t>(y)])
            std::memset(raster.ScanLine(y), fill, raster.Stride());
}

// Converts count pixels of a row stored at bits per pixel to the raster's
// layout: indices for up to 8 bits, blue, green, red for 16 and 32 bits.
void ConvertPixels(const THeader& h, const uint8_t* in, uint8_t* out, size_t count) {
    const TChannel red(h.Masks[0]), green(h.Masks[1]), blue(h.Masks[2]);
    switch (h.BitCount) {
    case 1:
    case 2:
    case 4: {
        const int bits = h.BitCount;
        const size_t perByte = 8 / static_cast<size_t>(bits);
        const uint8_t mask = static_cast<uint8_t>((1u << bits) - 1);
        for (size_t x = 0; x < count; ++x) {
            const int shift = 8 - bits * static_cast<int>(x % perByte + 1);
            out[x] = static_cast<uint8_t>((in[x / perByte] >> shift) & mask);
        }
        break;
    }
    case 16:
        for (size_t x = 0; x < count; ++x, out += 3) {
            const uint32_t p = U16(in + 2 * x);
            out[0] = blue.Value(p);
            out[1] = green.Value(p);
            out[2] = red.Value(p);
        }
        break;
    case 32:
        if (h.Masks == std::array<uint32_t, 3>{0xFF0000, 0xFF00, 0xFF}) {
            for (size_t x = 0; x < count; ++x, out += 3, in += 4) {
                out[0] = in[0];
                out[1] = in[1];
                out[2] = in[2];
            }
        } else {
            for (size_t x = 0; x < count; ++x, out += 3) {
                const uint32_t p = U32(in + 4 * x);
                out[0] = blue.Value(p);
                out[1] = green.Value(p);
                out[2] = red.Value(p);
            }
        }
        break;
    }
}

void ReadUncompressed(TStream& stream, const THeader& h, int64_t dataBytes, TRaster& raster,
                      int blackIndex) {
    const int width = raster.Width();
    const int height = raster.Height();
    const size_t stride = static_cast<size_t>((uint64_t(width) * h.BitCount + 31) / 32 * 4);
    // The last row counts even when its padding is missing.
    const size_t rowBytes = static_cast<size_t>((uint64_t(width) * h.BitCount + 7) / 8);
    const int rowsInFile = static_cast<int>(
        std::min<int64_t>(height, (dataBytes + static_cast<int64_t>(stride - rowBytes)) /
                                      static_cast<int64_t>(stride)));
    const bool topDown = h.Height < 0;
    std::vector<bool> given(static_cast<size_t>(height), false);

    // The file's own row layout is the raster's for 8 and 24 bits: read straight
    // into it. Other rows are converted a piece at a time, so a very wide picture
    // needs no row buffer of its width; a whole number of bytes and pixels each.
    const bool direct = h.BitCount == 24 || h.BitCount == 8;
    constexpr size_t kPieceBytes = 4096;
    const size_t piecePixels = kPieceBytes * 8 / h.BitCount;
    const size_t outBytesPerPixel = static_cast<size_t>(raster.BytesPerPixel());
    std::vector<uint8_t> buffer(!direct && rowsInFile > 0 ? std::min(rowBytes, kPieceBytes) : 0);

    for (int r = 0; r < rowsInFile; ++r) {
        const int y = topDown ? r : height - 1 - r;
        uint8_t* out = raster.ScanLine(y);
        given[static_cast<size_t>(y)] = true;
        if (direct) {
            stream.ReadBuffer(out, rowBytes);
        } else {
            for (size_t x = 0; x < static_cast<size_t>(width); x += piecePixels) {
                const size_t count = std::min(piecePixels, static_cast<size_t>(width) - x);
                stream.ReadBuffer(buffer.data(), (count * h.BitCount + 7) / 8);
                ConvertPixels(h, buffer.data(), out + x * outBytesPerPixel, count);
            }
        }
        if (stride > rowBytes)
            stream.Seek(static_cast<int64_t>(stride - rowBytes), TSeekOrigin::soCurrent);
    }
    BlackenRows(raster, given, blackIndex);
}

// Runs are short (at most 255 bytes, often a handful), where a memset call or
// its inline string instruction costs more than the stores: 8 bytes at a time,
// the last store overlapping the one before it.
void FillRun(uint8_t* p, uint8_t value, int run) {
    const uint64_t pattern = value * uint64_t{0x0101010101010101};
    if (run >= 8) {
        for (int i = 0; i + 8 < run; i += 8)
            std::memcpy(p + i, &pattern, 8);
        std::memcpy(p + run - 8, &pattern, 8);
    } else if (run >= 4) {
        std::memcpy(p, &pattern, 4);
        std::memcpy(p + run - 4, &pattern, 4);
    } else {
        for (int i = 0; i < run; ++i)
            p[i] = value;
    }
}

// RLE8 and RLE4 as the BMP format defines them, drawn into a raster of the
// picture's size: indices into an 8-bit one, colours into a 24-bit one. With
// stopAtSkip the drawing gives up (false) before it would leave a pixel unwritten.
bool DrawRuns(const std::vector<uint8_t>& d, bool rle4, const TColorTable& table, bool stopAtSkip,
              TRaster& raster) {
    const int width = raster.Width();
    const int height = raster.Height();
    const bool wide = raster.PixelFormat() == TPixelFormat::pf24bit;
    int64_t x = 0, y = 0; // y counts rows from the bottom
    uint8_t* line = nullptr;
    int64_t lineY = -1;
    // Row y, looked up once per row rather than per run.
    auto currentLine = [&] {
        if (y != lineY) {
            line = raster.ScanLine(height - 1 - static_cast<int>(y));
            lineY = y;
        }
        return line;
    };
    auto put = [&](uint8_t index) {
        if (x < width && y < height) {
            currentLine();
            if (wide) {
                const TRGBQuad& q = table[index];
                uint8_t* p = line + 3 * x;
                p[0] = q.rgbBlue;
                p[1] = q.rgbGreen;
                p[2] = q.rgbRed;
            } else {
                line[x] = index;
            }
        }
        ++x;
    };
    size_t pos = 0;
    const size_t n = d.size();
    while (pos + 1 < n && y < height) {
        const uint8_t count = d[pos++];
        const uint8_t value = d[pos++];
        if (count > 0 && !rle4) {
            // One colour for the whole run, clipped at the right edge.
            if (x < width) {
                const int run = static_cast<int>(std::min<int64_t>(count, width - x));
                uint8_t* p = currentLine();
                if (wide) {
                    const TRGBQuad& q = table[value];
                    for (uint8_t *o = p + 3 * x, *end = o + 3 * run; o < end; o += 3) {
                        o[0] = q.rgbBlue;
                        o[1] = q.rgbGreen;
                        o[2] = q.rgbRed;
                    }
                } else {
                    FillRun(p + x, value, run);
                }
                x += run;
            }
            continue;
        }
        if (count > 0) {
            for (int i = 0; i < count && x < width; ++i)
                put(rle4 ? static_cast<uint8_t>(i % 2 ? value & 15 : value >> 4) : value);
            continue;
        }
        if (value == 0) {
            if (stopAtSkip && x < width)
                return false;
            x = 0;
            ++y;
        } else if (value == 1) {
            break;
        } else if (value == 2) {
            if (pos + 1 >= n)
                break;
            if (stopAtSkip && (d[pos] != 0 || d[pos + 1] != 0))
                return false;
            x += d[pos];
            y += d[pos + 1];
            pos += 2;
        } else {
            const size_t bytes = rle4 ? (value + 1u) / 2 : value;
            const size_t available = std::min(bytes, n - pos);
            for (int i = 0; i < value; ++i) {
                const size_t at = rle4 ? static_cast<size_t>(i / 2) : static_cast<size_t>(i);
                if (at >= available)
                    break;
                const uint8_t b = d[pos + at];
                put(rle4 ? static_cast<uint8_t>(i % 2 ? b & 15 : b >> 4) : b);
            }
            pos += (bytes + 1) & ~size_t{1}; // runs are padded to 16 bits
        }
    }
    // The data may end before the picture does.
    return !stopAtSkip || y >= height || (y == height - 1 && x >= width);
}

// Damaged data is clipped to the picture, never refused; pixels the data skips
// stay black.
void DecodeRle(const std::vector<uint8_t>& d, bool rle4, int width, int height, TRaster& raster,
               int blackIndex) {
    const TColorTable table = raster.ColorTable();
    if (blackIndex >= 0) {
        raster.SetSizeUninitialized(width, height);
        std::memset(raster.Bits(), blackIndex, raster.Stride() * static_cast<size_t>(height));
        DrawRuns(d, rle4, table, false, raster);
        return;
    }
    // Without a black entry a skipped pixel needs 24 bits. Most files skip none:
    // they are drawn as indices, a third of the memory and no colour per pixel.
    // Only a file that does skip is drawn again, into a black 24-bit raster,
    // after the indexed one is gone, so it never needs both at once.
    raster.SetSizeUninitialized(width, height);
    if (DrawRuns(d, rle4, table, true, raster))
        return;
    raster = TRaster(0, 0, TPixelFormat::pf24bit);
    raster.ColorTable() = table;
    raster.SetSize(width, height);
    DrawRuns(d, rle4, table, false, raster);
}

} // namespace

void ReadBitmap(TStream& stream, TRaster& raster) {
    TLoadScope load;
    const int64_t base = stream.Position();
    const int64_t size = stream.Remaining();
    if (size == 0) {
        raster = TRaster();
        return;
    }
    uint8_t fileHeader[14];
    stream.ReadBuffer(fileHeader, sizeof fileHeader);
    if (U16(fileHeader) != 0x4D42)
        NotValid();
    const uint32_t offBits = U32(fileHeader + 10);

    uint32_t headerSize = 0;
    THeader h = ReadInfoHeader(stream, headerSize);
    const bool rle = h.Compression == kBiRle8 || h.Compression == kBiRle4;
    const bool bitFields = h.Compression == kBiBitFields || h.Compression == kBiAlphaBitFields;
    if (!rle && !bitFields && h.Compression != kBiRgb)
        throw EInvalidImage(Format("Bitmap compression %u is not supported", h.Compression));
    if (h.Planes != 1)
        NotValid();
    switch (h.BitCount) {
    case 1:
    case 2:
    case 4:
    case 8:
    case 24:
        if (bitFields)
            NotValid();
        break;
    case 16:
    case 32:
        break;
    default:
        NotValid();
    }
    if ((h.Compression == kBiRle8 && h.BitCount != 8) ||
        (h.Compression == kBiRle4 && h.BitCount != 4) || (rle && h.Height < 0))
        NotValid();
    if (h.Width <= 0 || h.Height == 0 || h.Height == std::numeric_limits<int32_t>::min())
        NotValid();
    // A picture too big is refused before anything is read for it.
    load.Budget().SetPicture(static_cast<uint64_t>(h.Width),
                             static_cast<uint64_t>(h.Height < 0 ? -h.Height : h.Height));

    if (bitFields && !h.HasMasks) {
        uint8_t masks[16];
        const size_t count = h.Compression == kBiAlphaBitFields ? 16 : 12;
        stream.ReadBuffer(masks, count);
        h.Masks = {U32(masks), U32(masks + 4), U32(masks + 8)};
    } else if (!bitFields) {
        h.Masks = h.BitCount == 16 ? std::array<uint32_t, 3>{0x7C00, 0x3E0, 0x1F}
                                   : std::array<uint32_t, 3>{0xFF0000, 0xFF00, 0xFF};
    }

    uint64_t colors = h.ClrUsed;
    const uint64_t entrySize = headerSize == kCoreHeaderSize ? 3 : 4;
    if (colors == 0 && h.BitCount <= 8) {
        colors = uint64_t{1} << h.BitCount;
        // Writers that store fewer colours than the depth allows, without saying
        // so in the header, say it with the offset of the pixels.
        const int64_t tableStart = stream.Position() - base;
        if (offBits > tableStart && offBits < tableStart + int64_t(colors * entrySize))
            colors = (offBits - static_cast<uint64_t>(tableStart)) / entrySize;
    }
    if (colors * entrySize > static_cast<uint64_t>(stream.Remaining()))
        throw EReadError();
    const TPixelFormat format = h.BitCount <= 8 ? TPixelFormat::pf8bit : TPixelFormat::pf24bit;
    TRaster result(0, 0, format);
    TColorTable& table = result.ColorTable();
    const size_t kept = static_cast<size_t>(std::min<uint64_t>(colors, table.size()));
    for (size_t i = 0; i < kept; ++i) {
        uint8_t e[4];
        stream.ReadBuffer(e, entrySize);
        table[i] = TRGBQuad{e[0], e[1], e[2], 0};
    }
    if (colors > kept)
        stream.Seek(static_cast<int64_t>((colors - kept) * entrySize), TSeekOrigin::soCurrent);
    const int blackIndex = format == TPixelFormat::pf8bit ? BlackIndex(table, kept) : -1;

    // Writers that leave a gap before the pixels say so in the file header; an
    // offset of 0 or one inside the headers is not to be trusted.
    const int64_t afterTable = stream.Position();
    if (offBits != 0 && base + offBits > afterTable && offBits < size)
        stream.SetPosition(base + offBits);

    const int width = static_cast<int>(h.Width);
    const int height = static_cast<int>(h.Height < 0 ? -h.Height : h.Height);
    if (rle) {
        int64_t dataBytes = stream.Remaining();
        if (h.SizeImage != 0)
            dataBytes = std::min<int64_t>(dataBytes, h.SizeImage);
        TBudgetCharge dataCharge;
        dataCharge.Set(static_cast<uint64_t>(dataBytes));
        std::vector<uint8_t> data(static_cast<size_t>(dataBytes));
        stream.ReadBuffer(data.data(), data.size());
        DecodeRle(data, h.Compression == kBiRle4, width, height, result, blackIndex);
    } else {
        const uint64_t stride = (uint64_t(width) * h.BitCount + 31) / 32 * 4;
        const int64_t dataBytes = static_cast<int64_t>(
            std::min<uint64_t>(stride * uint64_t(height), uint64_t(stream.Remaining())));
        result.SetSizeUninitialized(width, height);
        ReadUncompressed(stream, h, dataBytes, result, blackIndex);
    }
    raster = std::move(result);
}

void LoadBitmapFromFile(const std::string& fileName, TRaster& raster) {
    TFileStream stream(fileName);
    ReadBitmap(stream, raster);
}

} // namespace korvalis
