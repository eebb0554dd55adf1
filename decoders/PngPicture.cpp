#include "decoders/PngPicture.h"

#include "decoders/PngUtil.h"
#include "graphics/Resources.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

namespace korvalis {

// ---- Exceptions -------------------------------------------------------------

#define KORVALIS_PNG_MESSAGE(name, text)                                                           \
    name::name() : EPngError(text) {}

KORVALIS_PNG_MESSAGE(EPNGInvalidFileHeader,
                     "The file being readed is not a valid \"Portable Network Graphics\" image "
                     "because it contains an invalid header. This file may be corruped, try "
                     "obtaining it again.")
KORVALIS_PNG_MESSAGE(EPngUnexpectedEnd, "This \"Portable Network Graphics\" image is invalid "
                                        "because the decoder found an unexpected end of the file.")
KORVALIS_PNG_MESSAGE(EPNGIHDRNotFirst, "This \"Portable Network Graphics\" image is not supported "
                                       "or it might be invalid.\r\n(IHDR chunk is not the first)")
KORVALIS_PNG_MESSAGE(EPNGUnknownCriticalChunk,
                     "This \"Portable Network Graphics\" image contains an unknown critical part "
                     "which could not be decoded.")
KORVALIS_PNG_MESSAGE(EPngInvalidCRC, "This \"Portable Network Graphics\" image is not valid "
                                     "because it contains invalid pieces of data (crc error)")
KORVALIS_PNG_MESSAGE(EPngInvalidIHDR,
                     "The \"Portable Network Graphics\" image could not be loaded because one of "
                     "its main piece of data (ihdr) might be corrupted")
KORVALIS_PNG_MESSAGE(EPNGSizeExceeds,
                     "This \"Portable Network Graphics\" image is not supported because either "
                     "it's width or height exceeds the maximum size, which is 65535 pixels length.")
KORVALIS_PNG_MESSAGE(EPNGUnknownCompression,
                     "This \"Portable Network Graphics\" image is encoded with an unknown "
                     "compression scheme which could not be decoded.")
KORVALIS_PNG_MESSAGE(EPNGUnknownInterlace, "This \"Portable Network Graphics\" image uses an "
                                           "unknown interlace scheme which could not be decoded.")
KORVALIS_PNG_MESSAGE(EPNGInvalidPalette,
                     "The \"Portable Network Graphics\" image contains an invalid palette.")
KORVALIS_PNG_MESSAGE(EPNGMissingMultipleIDAT, "This \"Portable Network Graphics\" image is invalid "
                                              "because it has missing image parts.")
KORVALIS_PNG_MESSAGE(EPNGNoImageData, "This \"Portable Network Graphics\" image contains no data.")
KORVALIS_PNG_MESSAGE(EPNGCouldNotLoadResource,
                     "The png image could not be loaded from the resource ID.")
KORVALIS_PNG_MESSAGE(EPNGHeaderNotPresent, "This operation is not valid because the current image "
                                           "contains no valid header.")
KORVALIS_PNG_MESSAGE(EPNGUnsupportedFormat,
                     "This \"Portable Network Graphics\" image uses a combination of colour type "
                     "and bit depth which could not be decoded.")
KORVALIS_PNG_MESSAGE(EPNGInvalidChunkLength, "This \"Portable Network Graphics\" image is invalid "
                                             "because one of its parts has an invalid length.")

#undef KORVALIS_PNG_MESSAGE

namespace {

std::string ZlibCodeText(int code) {
    switch (code) {
    case -1:
        return "file error (-1)";
    case -2:
        return "stream error (-2)";
    case -3:
        return "data error (-3)";
    case -4:
        return "insufficient memory (-4)";
    case -5:
        return "buffer error (-5)";
    case -6:
        return "incompatible version (-6)";
    case 2:
        return "need dictionary (2)";
    default:
        return Format("unknown error (%d)", code);
    }
}

} // namespace

EPNGZLIBError::EPNGZLIBError(int code)
    : EPngError("Could not decompress the image because it contains invalid compressed data.\r\n"
                " Description: " +
                ZlibCodeText(code)),
      FCode(code) {}

// ---- Chunk list ---------------------------------------------------------------

TChunk& TPngChunkList::Add(std::unique_ptr<TChunk> chunk) {
    // Room grows geometrically: a file of many small chunks reads in linear time.
    FItems.push_back(std::move(chunk));
    return *FItems.back();
}

void TPngChunkList::Clear() {
    FItems.clear();
    FItems.shrink_to_fit();
}

// ---- Chunk classes registry ---------------------------------------------------

namespace {

struct TChunkClass {
    TChunkName Name;
    std::unique_ptr<TChunk> (*Create)(TPngPicture&);
};

template <typename T> std::unique_ptr<TChunk> CreateChunk(TPngPicture& owner) {
    return std::make_unique<T>(owner);
}

template <typename T> constexpr TChunkClass Registered() {
    return {T::kName, &CreateChunk<T>};
}

constexpr std::array<TChunkClass, 9> kChunkClasses{
    Registered<TChunkIEND>(), Registered<TChunkIHDR>(), Registered<TChunkIDAT>(),
    Registered<TChunkPLTE>(), Registered<TChunkgAMA>(), Registered<TChunktRNS>(),
    Registered<TChunktIME>(), Registered<TChunktEXt>(), Registered<TChunkzTXt>()};

constexpr TChunkName kcHRM{'c', 'H', 'R', 'M'};
constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

void ResetGamma(TGammaTable& table) {
    for (size_t i = 0; i < table.size(); ++i)
        table[i] = static_cast<uint8_t>(i);
}

} // namespace

// ---- Picture ------------------------------------------------------------------

TPngPicture::TPngPicture() {
    ResetGamma(FGammaTable);
    ResetGamma(FInverseGamma);
}

TPngPicture::~TPngPicture() = default;

void TPngPicture::ReadFromStream(TStream& stream) {
    TLoadScope load;
    try {
        ReadChunks(stream);
    } catch (const std::bad_alloc&) {
        throw EOutOfResources();
    }
}

void TPngPicture::ReadChunks(TStream& stream) {
    FChunkList.Clear();
    FTextBytes = 0;
    ResetGamma(FGammaTable);
    ResetGamma(FInverseGamma);

    uint8_t signature[8];
    if (stream.Read(signature, sizeof signature) != sizeof signature ||
        std::memcmp(signature, kSignature, sizeof signature) != 0)
        throw EPNGInvalidFileHeader();

    bool first = true;
    bool hasImageData = false;
    for (;;) {
        uint8_t head[8];
        // A length or type cut short is the end of the file too, not a chunk
        // of whatever the missing bytes would spell.
        if (stream.Read(head, sizeof head) != sizeof head)
            throw EPngUnexpectedEnd();
        const uint32_t length = png::BigEndian32(head);
        TChunkName name;
        std::memcpy(name.data(), head + 4, 4);

        if (first && name != TChunkIHDR::kName)
            throw EPNGIHDRNotFirst();
        first = false;
        if (length > png::kMaxChunkLength)
            throw EPNGInvalidChunkLength();

        if (name == kcHRM || (name == TChunkIDAT::kName && hasImageData)) {
            stream.Seek(int64_t{length} + 4, TSeekOrigin::soCurrent);
            continue;
        }

        std::unique_ptr<TChunk> created;
        for (const TChunkClass& chunkClass : kChunkClasses)
            if (chunkClass.Name == name) {
                created = chunkClass.Create(*this);
                break;
            }
        const bool plain = !created;
        if (plain) {
            created = std::make_unique<TChunk>(*this);
            created->FName = name;
        }
        TChunk& chunk = FChunkList.Add(std::move(created));
        if (plain && (static_cast<uint8_t>(name[0]) & 0x20) == 0)
            throw EPNGUnknownCriticalChunk();

        chunk.LoadFromStream(stream, name, length);
        if (name == TChunkIDAT::kName)
            hasImageData = true;
        if (name == TChunkIEND::kName)
            break;
    }
    if (!hasImageData)
        throw EPNGNoImageData();
}

void TPngPicture::ReadFromFile(const std::string& fileName) {
    TFileStream stream(fileName);
    ReadFromStream(stream);
}

void TPngPicture::ReadFromResource(std::string_view name) {
    const auto data = FindRawResource(name);
    if (!data)
        throw EPNGCouldNotLoadResource();
    TBytesStream stream(*data);
    ReadFromStream(stream);
}

TChunkIHDR* TPngChunkList::FirstHeader() const {
    if (FItems.empty())
        return nullptr;
    const TChunk& first = *FItems.front();
    return typeid(first) == typeid(TChunkIHDR) ? static_cast<TChunkIHDR*>(FItems.front().get())
                                               : nullptr;
}

TChunkIHDR& TPngPicture::Header() const {
    TChunkIHDR* header = FChunkList.FirstHeader();
    if (!header)
        throw EPNGHeaderNotPresent();
    return *header;
}

int TPngPicture::Width() const {
    const TChunkIHDR* header = FChunkList.FirstHeader();
    return header ? static_cast<int>(header->Width()) : 0;
}

int TPngPicture::Height() const {
    const TChunkIHDR* header = FChunkList.FirstHeader();
    return header ? static_cast<int>(header->Height()) : 0;
}

namespace {
[[noreturn]] void RaiseResize() {
    throw EPngError("The \"Portable Network Graphics\" image can not be resize by changing width "
                    "and height properties. Try assigning the image from a bitmap.");
}
} // namespace

void TPngPicture::SetWidth(int) {
    RaiseResize();
}
void TPngPicture::SetHeight(int) {
    RaiseResize();
}

TPNGTransparencyMode TPngPicture::TransparencyMode() const {
    const TChunkIHDR* header = FChunkList.FirstHeader();
    if (!header)
        return ptmNone;
    const TChunktRNS* trns = FindChunk<TChunktRNS>();
    switch (header->ColorType()) {
    case 0:
    case 2:
        return trns ? ptmBit : ptmNone;
    case 3:
        if (!trns)
            return ptmNone;
        return trns->BitTransparency() ? ptmBit : ptmPartial;
    case 4:
    case 6:
        return ptmPartial;
    default:
        return ptmNone;
    }
}

uint8_t* TPngPicture::Scanline(int y) const {
    TChunkIHDR& header = Header();
    if (y < 0 || static_cast<uint32_t>(y) >= header.Height() || !header.ImageData())
        return nullptr;
    return header.ImageData() + (header.Height() - 1 - static_cast<uint32_t>(y)) *
                                    static_cast<size_t>(header.RowStride());
}

uint8_t* TPngPicture::AlphaScanline(int y) const {
    TChunkIHDR& header = Header();
    if (y < 0 || static_cast<uint32_t>(y) >= header.Height() || !header.ImageAlpha())
        return nullptr;
    return header.ImageAlpha() + static_cast<size_t>(y) * header.Width();
}

const uint8_t* TPngPicture::KeyMaskScanline(int y) const {
    const TChunkIHDR& header = Header();
    if (y < 0 || static_cast<uint32_t>(y) >= header.Height() || !header.KeyMask())
        return nullptr;
    return header.KeyMask() + static_cast<size_t>(y) * header.KeyMaskStride();
}

TRaster TPngPicture::ToRaster() const {
    const TChunkIHDR& header = Header();
    const int width = static_cast<int>(header.Width());
    const int height = static_cast<int>(header.Height());
    TRaster raster;
    if (width == 0 || height == 0)
        return raster;
    raster.SetSizeUninitialized(width, height);
    const TColorTable& table = header.ColorTable();
    const int bits = header.BitsPerPixel();
    std::array<std::array<uint8_t, 4>, 256> quads{};
    for (size_t i = 0; i < quads.size(); ++i)
        quads[i] = {table[i].rgbBlue, table[i].rgbGreen, table[i].rgbRed, 0};
    for (int y = 0; y < height; ++y) {
        const uint8_t* src = Scanline(y);
        uint8_t* dst = raster.ScanLine(y);
        if (!src) {
            std::fill_n(dst, raster.Stride(), uint8_t{0});
            continue;
        }
        if (bits == 24) {
            std::memcpy(dst, src, static_cast<size_t>(width) * 3);
            continue;
        }
        if (bits == 8) {
            // Four bytes a pixel, the fourth overwritten by the next one: one
            // store instead of three for the most common indexed depth.
            int x = 0;
            for (; x + 1 < width; ++x)
                std::memcpy(dst + 3 * x, &quads[src[x]], 4);
            std::memcpy(dst + 3 * x, &quads[src[x]], 3);
            continue;
        }
        for (int x = 0; x < width; ++x) {
            const unsigned index = bits == 4 ? (src[x >> 1] >> (x & 1 ? 0 : 4)) & 0x0F
                                             : (src[x >> 3] >> (7 - (x & 7))) & 1;
            const TRGBQuad& entry = table[index];
            dst[3 * x] = entry.rgbBlue;
            dst[3 * x + 1] = entry.rgbGreen;
            dst[3 * x + 2] = entry.rgbRed;
        }
    }
    return raster;
}

TRaster TPngPicture::TakeRaster() {
    TChunkIHDR& header = Header();
    const size_t width = header.Width(), height = header.Height();
    // An opaque 8-bit picture keeps its indexes: converting them to colours is
    // left to whoever needs them, row by row. With transparency the indexes are
    // still needed for the alpha, so those are converted here.
    const int bitsPerPixel = header.BitsPerPixel();
    const bool indexed = bitsPerPixel == 8 && TransparencyMode() == ptmNone;
    if ((bitsPerPixel != 24 && !indexed) || !header.FImageData || width == 0 || height == 0)
        return ToRaster();
    uint8_t* bits = header.FImageData.get();
    const size_t stride = header.RowStride(), row = width * (indexed ? 1 : 3);
    std::unique_ptr<uint8_t[]> spare(new uint8_t[row]);
    for (size_t top = 0, bottom = height - 1; top < bottom; ++top, --bottom) {
        uint8_t* a = bits + top * stride;
        uint8_t* b = bits + bottom * stride;
        std::memcpy(spare.get(), a, row);
        std::memcpy(a, b, row);
        std::memcpy(b, spare.get(), row);
    }
    // Rows padded to 4 bytes close up; each moves down, never over a row still unread.
    if (stride != row)
        for (size_t y = 1; y < height; ++y)
            std::memmove(bits + y * row, bits + y * stride, row);
    // The rows' share of the header's charge goes with them (the whole padded
    // buffer: it is not shrunk); the alpha plane's stays with the header.
    TBudgetCharge charge = header.FRasterCharge.Split(uint64_t{stride} * height);
    TRaster raster;
    raster.Adopt(static_cast<int>(width), static_cast<int>(height),
                 indexed ? TPixelFormat::pf8bit : TPixelFormat::pf24bit,
                 TRasterBits(header.FImageData.release()), std::move(charge));
    if (indexed)
        raster.ColorTable() = header.ColorTable();
    return raster;
}

} // namespace korvalis
