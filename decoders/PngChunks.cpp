#include "decoders/PngPicture.h"
#include "decoders/PngUtil.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace korvalis {

namespace png {

uint32_t Crc32(uint32_t crc, const void* data, size_t size) {
    const auto* bytes = static_cast<const Bytef*>(data);
    while (size > 0) {
        const auto piece = static_cast<uInt>(std::min<size_t>(size, 1u << 30));
        crc = static_cast<uint32_t>(crc32(crc, bytes, piece));
        bytes += piece;
        size -= piece;
    }
    return crc;
}

} // namespace png

// ---- TChunk -------------------------------------------------------------------

TChunk::TChunk(TPngPicture& owner) : FData(1, 0), FOwner(&owner) {}

void TChunk::Assign(const TChunk& source) {
    if (typeid(source) != typeid(*this))
        throw EPngError("The chunks must be compatible to be assigned.");
    FName = source.FName;
    FData = source.FData;
    FDataSize = source.FDataSize;
}

void TChunk::ReadPayload(TStream& stream, uint32_t size) {
    // A payload longer than what is left of the stream would be cut short and
    // fail its CRC test anyway; failing now saves reserving memory for it.
    if (int64_t{size} > stream.Remaining())
        throw EPngInvalidCRC();
    // What a chunk costs besides its payload: the object, its allocation and its
    // place in the list. A file of many empty chunks spends the load's budget.
    constexpr uint64_t kChunkOverhead = 128;
    FCharge.Set(kChunkOverhead + size + 1);
    FData.assign(size_t{size} + 1, 0);
    FDataSize = size;
    const size_t got = stream.Read(FData.data(), size);
    uint8_t stored[4];
    const bool whole = got == size && stream.Read(stored, 4) == 4;
    const uint32_t crc = png::Crc32(png::Crc32(0, FName.data(), 4), FData.data(), got);
    if (!whole || crc != png::BigEndian32(stored))
        throw EPngInvalidCRC();
}

bool TChunk::LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) {
    FName = name;
    ReadPayload(stream, size);
    return true;
}

// ---- IEND ---------------------------------------------------------------------

TChunkIEND::TChunkIEND(TPngPicture& owner) : TChunk(owner) {
    FName = kName;
}

// ---- IHDR ---------------------------------------------------------------------

TChunkIHDR::TChunkIHDR(TPngPicture& owner) : TChunk(owner) {
    FName = kName;
}

void TChunkIHDR::Assign(const TChunk& source) {
    TChunk::Assign(source);
    const auto& header = static_cast<const TChunkIHDR&>(source);
    FWidth = header.FWidth;
    FHeight = header.FHeight;
    FBitDepth = header.FBitDepth;
    FColorType = header.FColorType;
    FCompressionMethod = header.FCompressionMethod;
    FFilterMethod = header.FFilterMethod;
    FInterlaceMethod = header.FInterlaceMethod;
    FImageData.reset();
    FImageAlpha.reset();
    FRasterCharge.Reset();
    FBitmapInfo = header.FBitmapInfo;
    FRowStride = header.FRowStride;
    FHasPalette = header.FHasPalette;
    // A header whose read failed before its raster was prepared has none to copy.
    const size_t imageBytes = header.FImageData ? FRowStride * size_t{FHeight} : 0;
    const size_t alphaBytes = header.FImageAlpha ? size_t{FWidth} * FHeight : 0;
    FRasterCharge.Set(uint64_t{imageBytes} + alphaBytes);
    const auto copy = [](const TBuffer& from, size_t bytes) {
        TBuffer to;
        if (bytes > 0) {
            to.reset(static_cast<uint8_t*>(std::malloc(bytes)));
            if (!to)
                throw EOutOfResources();
            std::memcpy(to.get(), from.get(), bytes);
        }
        return to;
    };
    FImageData = copy(header.FImageData, imageBytes);
    FImageAlpha = copy(header.FImageAlpha, alphaBytes);
    FKeyMask.reset();
    FKeyMaskCharge.Reset();
    if (header.FKeyMask)
        std::memcpy(PrepareKeyMask(), header.FKeyMask.get(), KeyMaskStride() * FHeight);
}

bool TChunkIHDR::LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) {
    TChunk::LoadFromStream(stream, name, size);
    if (size < 13)
        throw EPngInvalidIHDR();
    // Only the first header describes the image; a second one would make a
    // second raster nobody draws.
    if (&Owner().Header() != this)
        throw EPngInvalidIHDR();
    const uint8_t* p = FData.data();
    // A size refused is not kept: whoever looks at the failed header row by row
    // would otherwise walk billions of rows.
    if (png::BigEndian32(p) > 65535 || png::BigEndian32(p + 4) > 65535)
        throw EPNGSizeExceeds();
    FWidth = png::BigEndian32(p);
    FHeight = png::BigEndian32(p + 4);
    FBitDepth = p[8];
    FColorType = p[9];
    FCompressionMethod = p[10];
    FFilterMethod = p[11];
    FInterlaceMethod = p[12];
    if (FCompressionMethod != 0)
        throw EPNGUnknownCompression();
    if (FInterlaceMethod > 1)
        throw EPNGUnknownInterlace();
    Owner().FInterlaceMethod = FInterlaceMethod;
    PrepareImageData();
    return true;
}

// ---- PLTE ---------------------------------------------------------------------

TChunkPLTE::TChunkPLTE(TPngPicture& owner) : TChunk(owner) {
    FName = kName;
}

void TChunkPLTE::Assign(const TChunk& source) {
    TChunk::Assign(source);
    FCount = static_cast<const TChunkPLTE&>(source).FCount;
}

bool TChunkPLTE::LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) {
    TChunk::LoadFromStream(stream, name, size);
    if (size % 3 != 0 || size > 768)
        throw EPNGInvalidPalette();
    FCount = static_cast<int>(size / 3);
    const TGammaTable& gamma = Owner().GammaTable();
    TColorTable& table = Owner().Header().ColorTable();
    for (int i = 0; i < FCount; ++i) {
        const uint8_t* rgb = FData.data() + 3 * i;
        table[static_cast<size_t>(i)] = {gamma[rgb[2]], gamma[rgb[1]], gamma[rgb[0]], 0};
    }
    return true;
}

TRGBQuad TChunkPLTE::Item(int index) const {
    if (index < 0 || index >= FCount)
        throw EPngError("There is no such palette entry.");
    return Owner().Header().ColorTable()[static_cast<size_t>(index)];
}

// ---- gAMA ---------------------------------------------------------------------

TChunkgAMA::TChunkgAMA(TPngPicture& owner) : TChunk(owner) {
    FName = kName;
}

uint32_t TChunkgAMA::Gamma() const {
    return FDataSize == 4 ? png::BigEndian32(FData.data()) : 1;
}

bool TChunkgAMA::LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) {
    TChunk::LoadFromStream(stream, name, size);
    const uint32_t value = Gamma();
    if (value == 0)
        return true;
    const long double exponent = 1.0L / ((static_cast<long double>(value) / 100000.0L) * 2.2L);
    TGammaTable& gamma = Owner().FGammaTable;
    TGammaTable& inverse = Owner().FInverseGamma;
    for (int i = 0; i < 256; ++i) {
        long double g = 0;
        if (i > 0)
            g = 255.0L * std::pow(static_cast<long double>(i) / 255.0L, exponent);
        // The default rounding mode rounds halves to even.
        const auto level = static_cast<uint8_t>(std::clamp(std::nearbyint(g), 0.0L, 255.0L));
        gamma[static_cast<size_t>(i)] = level;
        inverse[level] = static_cast<uint8_t>(i);
    }
    return true;
}

// ---- tRNS ---------------------------------------------------------------------

TChunktRNS::TChunktRNS(TPngPicture& owner) : TChunk(owner) {
    FName = kName;
}

void TChunktRNS::Assign(const TChunk& source) {
    TChunk::Assign(source);
    const auto& trns = static_cast<const TChunktRNS&>(source);
    FPaletteValues = trns.FPaletteValues;
    FBitTransparency = trns.FBitTransparency;
}

bool TChunktRNS::LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) {
    TChunk::LoadFromStream(stream, name, size);
    if (size > 256)
        throw EPNGInvalidPalette();
    FPaletteValues.fill(255);
    std::copy_n(FData.data(), size, FPaletteValues.begin());
    switch (Owner().Header().ColorType()) {
    case 0:
    case 2:
        FBitTransparency = true;
        break;
    case 3:
        FBitTransparency = std::count_if(FPaletteValues.begin(), FPaletteValues.begin() + size,
                                         [](uint8_t value) { return value != 255; }) == 1;
        break;
    default:
        FBitTransparency = false;
        break;
    }
    return true;
}

// ---- tIME ---------------------------------------------------------------------

TChunktIME::TChunktIME(TPngPicture& owner) : TChunk(owner) {
    FName = kName;
}

void TChunktIME::Assign(const TChunk& source) {
    TChunk::Assign(source);
    const auto& time = static_cast<const TChunktIME&>(source);
    Year = time.Year;
    Month = time.Month;
    Day = time.Day;
    Hour = time.Hour;
    Minute = time.Minute;
    Second = time.Second;
}

bool TChunktIME::LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) {
    TChunk::LoadFromStream(stream, name, size);
    if (size == 7) {
        const uint8_t* p = FData.data();
        Year = png::BigEndian16(p);
        Month = p[2];
        Day = p[3];
        Hour = p[4];
        Minute = p[5];
        Second = p[6];
    }
    return true;
}

// ---- tEXt / zTXt --------------------------------------------------------------

TChunktEXt::TChunktEXt(TPngPicture& owner) : TChunk(owner) {
    FName = kName;
}

void TChunktEXt::Assign(const TChunk& source) {
    TChunk::Assign(source);
    const auto& text = static_cast<const TChunktEXt&>(source);
    FKeyword = text.FKeyword;
    FText = text.FText;
}

void TChunktEXt::KeepText(std::string text) {
    size_t& kept = Owner().FTextBytes;
    if (text.size() > TChunkzTXt::kMaxTextBytes - kept)
        return;
    FCharge.Add(FKeyword.capacity() + text.capacity());
    kept += text.size();
    FText = std::move(text);
}

bool TChunktEXt::LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) {
    TChunk::LoadFromStream(stream, name, size);
    FKeyword.clear();
    FText.clear();
    if (size > 2) {
        const char* begin = reinterpret_cast<const char*>(FData.data());
        const char* end = begin + size;
        const char* zero = std::find(begin, end, '\0');
        FKeyword.assign(begin, zero);
        if (zero != end)
            KeepText(std::string(zero + 1, end));
    }
    return true;
}

TChunkzTXt::TChunkzTXt(TPngPicture& owner) : TChunktEXt(owner) {
    FName = kName;
}

namespace {

// Inflates a whole zlib stream; false on any zlib failure or when the text
// would grow past limit.
bool InflateText(const uint8_t* data, size_t size, size_t limit, std::string& text) {
    z_stream z{};
    if (inflateInit_(&z, "1.2.2", sizeof(z_stream)) != Z_OK)
        return false;
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(size);
    char buffer[16384];
    int result = Z_OK;
    while (result == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        result = inflate(&z, Z_NO_FLUSH);
        const size_t produced = sizeof buffer - z.avail_out;
        if (text.size() + produced > limit) {
            result = Z_MEM_ERROR;
            break;
        }
        text.append(buffer, produced);
        // Out of input without the stream's end: nothing more can come.
        if (result == Z_OK && z.avail_in == 0 && produced < sizeof buffer)
            result = Z_BUF_ERROR;
    }
    inflateEnd(&z);
    return result == Z_STREAM_END;
}

} // namespace

bool TChunkzTXt::LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) {
    TChunk::LoadFromStream(stream, name, size);
    FKeyword.clear();
    FText.clear();
    if (size >= 4) {
        const uint8_t* begin = FData.data();
        const uint8_t* end = begin + size;
        const uint8_t* zero = std::find(begin, end, uint8_t{0});
        FKeyword.assign(begin, zero);
        // Once the picture's texts have used their room, later ones are not even
        // inflated: a file of many small bombs costs no more than one.
        const size_t room = kMaxTextBytes - Owner().FTextBytes;
        std::string text;
        bool inflated = false;
        if (end - zero >= 2 && zero[1] == 0 && room > 0) {
            // The text grows by doubling: while it does it may hold twice its room.
            TBudgetCharge growing;
            growing.Set(2 * uint64_t{room});
            inflated = InflateText(zero + 2, static_cast<size_t>(end - zero - 2), room, text);
        }
        // Text inflated and then dropped uses the room too: bombs just past it
        // would each cost a full inflation.
        if (inflated)
            KeepText(std::move(text));
        else
            Owner().FTextBytes += std::min(text.size(), room);
    }
    return true;
}

} // namespace korvalis
