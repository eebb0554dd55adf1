// The image data: raster preparation and the IDAT decoder.
#include "decoders/PngPicture.h"
#include "decoders/PngUtil.h"

#include <zlib.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace korvalis {

namespace {

bool HasConversion(uint8_t colorType, uint8_t bitDepth) {
    switch (colorType) {
    case 0:
    case 3:
        return bitDepth == 1 || bitDepth == 2 || bitDepth == 4 || bitDepth == 8 || bitDepth == 16;
    case 2:
    case 4:
    case 6:
        return bitDepth == 8 || bitDepth == 16;
    default:
        return false;
    }
}

} // namespace

void TChunkIHDR::PrepareImageData() {
    FImageData.reset();
    FImageAlpha.reset();
    FRasterCharge.Reset();
    FBitmapInfo = TBitmapInfo{};
    FRowStride = 0;
    FHasPalette = false;

    if (!HasConversion(FColorType, FBitDepth))
        throw EPNGUnsupportedFormat();
    int bits = 24;
    if (FColorType == 0 || FColorType == 3 || FColorType == 4) {
        bits = FBitDepth == 2 ? 4 : FBitDepth == 16 ? 8 : FBitDepth;
        FHasPalette = true;
    }

    const uint64_t stride = (uint64_t{static_cast<unsigned>(bits)} * FWidth + 31) / 32 * 4;
    const uint64_t imageBytes = stride * FHeight;
    const bool alpha = FColorType == 4 || FColorType == 6;
    const uint64_t alphaBytes = alpha ? uint64_t{FWidth} * FHeight : 0;
    if (imageBytes > TRaster::kMaxBytes || alphaBytes > TRaster::kMaxBytes)
        throw EOutOfResources();
    if (TLoadBudget* budget = TLoadBudget::Current())
        budget->SetPicture(FWidth, FHeight);
    FRasterCharge.Set(imageBytes + alphaBytes);

    FBitmapInfo.bmiHeader.biWidth = static_cast<int32_t>(FWidth);
    FBitmapInfo.bmiHeader.biHeight = static_cast<int32_t>(FHeight);
    FBitmapInfo.bmiHeader.biBitCount = static_cast<uint16_t>(bits);
    FBitmapInfo.bmiHeader.biSizeImage = static_cast<uint32_t>(imageBytes);
    FRowStride = static_cast<size_t>(stride);
    // calloc hands out fresh zero pages for large rasters without touching them.
    if (alphaBytes > 0) {
        FImageAlpha.reset(static_cast<uint8_t*>(std::calloc(alphaBytes, 1)));
        if (!FImageAlpha)
            throw EOutOfResources();
    }
    if (imageBytes > 0) {
        FImageData.reset(static_cast<uint8_t*>(std::calloc(imageBytes, 1)));
        if (!FImageData)
            throw EOutOfResources();
    }
}

uint8_t* TChunkIHDR::PrepareKeyMask() {
    // Never more than the raster itself: one bit per pixel at 1 bit or more per pixel.
    const size_t bytes = KeyMaskStride() * FHeight + 1;
    FKeyMask.reset();
    FKeyMaskCharge.Set(bytes);
    FKeyMask.reset(static_cast<uint8_t*>(std::calloc(bytes, 1)));
    if (!FKeyMask)
        throw EOutOfResources();
    return FKeyMask.get();
}

namespace {

constexpr size_t kInputBlock = 65535;
constexpr size_t kStageBlock = size_t{1} << 18;

struct TAdam7Pass {
    uint32_t ColStart, RowStart, ColStep, RowStep;
};
constexpr TAdam7Pass kAdam7[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                  {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};

enum class TConversion {
    Packed,     // indexed samples kept as they are (1, 4, 8 bits)
    Grey2,      // 2-bit grey s to the 4-bit index 4 s
    Palette2,   // 2-bit index s to the 4-bit index s
    Index16,    // grey or palette, high byte of each sample
    GreyAlpha8, // index and alpha
    GreyAlpha16,
    Rgb8,
    Rgb16,
    Rgba8,
    Rgba16,
};

inline uint8_t Paeth(uint8_t a, uint8_t b, uint8_t c) {
    const int pa = std::abs(int{b} - c);
    const int pb = std::abs(int{a} - c);
    const int pc = std::abs(int{a} + b - 2 * c);
    if (pa <= pb && pa <= pc)
        return a;
    return pb <= pc ? b : c;
}

// The filters of one row at a fixed pixel distance, so the compiler can keep
// the previous pixel in registers.
template <size_t Distance>
void UnfilterFixed(uint8_t filter, uint8_t* row, const uint8_t* prev, size_t length) {
    const size_t head = std::min(Distance, length);
    switch (filter) {
    case 1:
        for (size_t i = Distance; i < length; ++i)
            row[i] = static_cast<uint8_t>(row[i] + row[i - Distance]);
        break;
    case 2:
        for (size_t i = 0; i < length; ++i)
            row[i] = static_cast<uint8_t>(row[i] + prev[i]);
        break;
    case 3:
        for (size_t i = 0; i < head; ++i)
            row[i] = static_cast<uint8_t>(row[i] + (prev[i] >> 1));
        for (size_t i = Distance; i < length; ++i)
            row[i] = static_cast<uint8_t>(row[i] + ((row[i - Distance] + prev[i]) >> 1));
        break;
    case 4:
        for (size_t i = 0; i < head; ++i)
            row[i] = static_cast<uint8_t>(row[i] + prev[i]);
        for (size_t i = Distance; i < length; ++i)
            row[i] = static_cast<uint8_t>(row[i] +
                                          Paeth(row[i - Distance], prev[i], prev[i - Distance]));
        break;
    default:
        // Filter types above 4 leave the row as it is.
        break;
    }
}

#if defined(__SSE2__)
// Pixels of 3 and 4 bytes (8-bit RGB and RGBA) are unfiltered a whole pixel
// at a time; the bytes of one pixel do not depend on each other.
// Pixels are assembled in a register: a 3-byte copy through memory would stall
// the load that follows it.
template <size_t Size> inline __m128i LoadPixel(const uint8_t* p) {
    uint32_t value;
    if constexpr (Size == 4)
        std::memcpy(&value, p, 4);
    else
        value = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
    return _mm_cvtsi32_si128(static_cast<int>(value));
}

template <size_t Size> inline void StorePixel(uint8_t* p, __m128i pixel) {
    const auto value = static_cast<uint32_t>(_mm_cvtsi128_si32(pixel));
    if constexpr (Size == 4) {
        std::memcpy(p, &value, 4);
    } else {
        p[0] = static_cast<uint8_t>(value);
        p[1] = static_cast<uint8_t>(value >> 8);
        p[2] = static_cast<uint8_t>(value >> 16);
    }
}

inline __m128i Abs16(__m128i x) {
    return _mm_max_epi16(x, _mm_sub_epi16(_mm_setzero_si128(), x));
}

inline __m128i Select(__m128i mask, __m128i yes, __m128i no) {
    return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

// Answers false when the row is not whole pixels, for the scalar code to do.
template <size_t Size>
bool UnfilterPixels(uint8_t filter, uint8_t* row, const uint8_t* prev, size_t length) {
    if (length % Size != 0 || filter == 2 || filter == 0 || filter > 4)
        return false;
    const __m128i zero = _mm_setzero_si128();
    __m128i a = zero; // the pixel to the left, already unfiltered
    switch (filter) {
    case 1:
        for (size_t i = 0; i < length; i += Size) {
            a = _mm_add_epi8(a, LoadPixel<Size>(row + i));
            StorePixel<Size>(row + i, a);
        }
        break;
    case 3: {
        const __m128i one = _mm_set1_epi8(1);
        for (size_t i = 0; i < length; i += Size) {
            const __m128i b = LoadPixel<Size>(prev + i);
            // avg_epu8 rounds up; take back the carried half.
            const __m128i mean =
                _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
            a = _mm_add_epi8(LoadPixel<Size>(row + i), mean);
            StorePixel<Size>(row + i, a);
        }
        break;
    }
    default: {
        __m128i c = zero; // the pixel above-left
        for (size_t i = 0; i < length; i += Size) {
            const __m128i b = _mm_unpacklo_epi8(LoadPixel<Size>(prev + i), zero);
            const __m128i a16 = _mm_unpacklo_epi8(a, zero);
            const __m128i pa0 = _mm_sub_epi16(b, c);
            const __m128i pb0 = _mm_sub_epi16(a16, c);
            const __m128i pa = Abs16(pa0);
            const __m128i pb = Abs16(pb0);
            const __m128i pc = Abs16(_mm_add_epi16(pa0, pb0));
            const __m128i smallest = _mm_min_epi16(pc, _mm_min_epi16(pa, pb));
            __m128i nearest = Select(_mm_cmpeq_epi16(smallest, pb), b, c);
            nearest = Select(_mm_cmpeq_epi16(smallest, pa), a16, nearest);
            a = _mm_add_epi8(LoadPixel<Size>(row + i), _mm_packus_epi16(nearest, nearest));
            StorePixel<Size>(row + i, a);
            c = b;
        }
        break;
    }
    }
    return true;
}
#endif

void Unfilter(uint8_t filter, uint8_t* row, const uint8_t* prev, size_t length, size_t distance) {
    switch (distance) {
    case 1:
        return UnfilterFixed<1>(filter, row, prev, length);
    case 2:
        return UnfilterFixed<2>(filter, row, prev, length);
    case 3:
#if defined(__SSE2__)
        if (UnfilterPixels<3>(filter, row, prev, length))
            return;
#endif
        return UnfilterFixed<3>(filter, row, prev, length);
    case 4:
#if defined(__SSE2__)
        if (UnfilterPixels<4>(filter, row, prev, length))
            return;
#endif
        return UnfilterFixed<4>(filter, row, prev, length);
    case 6:
        return UnfilterFixed<6>(filter, row, prev, length);
    default:
        return UnfilterFixed<8>(filter, row, prev, length);
    }
}

inline uint8_t Sample(const uint8_t* row, uint32_t i, unsigned depth) {
    switch (depth) {
    case 1:
        return (row[i >> 3] >> (7 - (i & 7))) & 1;
    case 2:
        return (row[i >> 2] >> (6 - 2 * (i & 3))) & 3;
    case 4:
        return (row[i >> 1] >> (i & 1 ? 0 : 4)) & 15;
    case 8:
        return row[i];
    default:
        return row[2 * size_t{i}];
    }
}

inline void PutIndex(uint8_t* row, uint32_t x, int bits, uint8_t value) {
    switch (bits) {
    case 1: {
        const unsigned shift = 7 - (x & 7);
        uint8_t& byte = row[x >> 3];
        byte = static_cast<uint8_t>((byte & ~(1u << shift)) | (value << shift));
        break;
    }
    case 4: {
        uint8_t& byte = row[x >> 1];
        byte = x & 1 ? static_cast<uint8_t>((byte & 0xF0) | value)
                     : static_cast<uint8_t>((byte & 0x0F) | (value << 4));
        break;
    }
    default:
        row[x] = value;
        break;
    }
}

class TIdatDecoder {
  public:
    TIdatDecoder(TChunkIHDR& header, const TGammaTable& gamma, TStream& stream, uint32_t size)
        : FHeader(header), FGamma(gamma), FStream(stream),
          FMemory(dynamic_cast<TBytesStream*>(&stream)), FLeft(size) {}
    ~TIdatDecoder() {
        if (FInflating)
            inflateEnd(&FZ);
    }
    TIdatDecoder(const TIdatDecoder&) = delete;
    TIdatDecoder& operator=(const TIdatDecoder&) = delete;

    void Decode();

  private:
    size_t RowBytes(uint64_t pixels) const;
    size_t Supply(uint8_t* out, size_t count);
    size_t Inflate(uint8_t* out, size_t count);
    size_t ReadBlock(size_t count, const uint8_t*& block);
    uint64_t ImageBytes() const;
    void NextChunk();
    void CheckCrc();
    void ConvertRow(const uint8_t* src, uint32_t y, uint32_t colStart, uint32_t colStep,
                    uint32_t pixels);
    void PrepareKey();
    void MarkKeyed(const uint8_t* src, uint32_t y, uint32_t colStart, uint32_t colStep,
                   uint32_t pixels);
    void DecodeSequential();
    void DecodeAdam7();

    TChunkIHDR& FHeader;
    const TGammaTable& FGamma;
    TStream& FStream;
    TBytesStream* FMemory; // set when the stream's bytes are in memory
    uint32_t FLeft;        // payload bytes of the current IDAT chunk not read yet
    uint32_t FCrc = 0;
    z_stream FZ{};
    bool FInflating = false;
    bool FStreamEnd = false;
    bool FIdentityGamma = false;
    TConversion FConversion = TConversion::Packed;
    unsigned FDepth = 0;
    size_t FDistance = 1;
    std::unique_ptr<uint8_t[]> FInput;
    std::unique_ptr<uint8_t[]> FRows;
    std::unique_ptr<uint8_t[]> FStage;
    TBudgetCharge FCharge;
    size_t FStagePos = 0, FStageEnd = 0;
    uint64_t FNeeded = 0; // decompressed bytes the image still needs
    uint8_t* FCurrent = nullptr;
    uint8_t* FPrevious = nullptr;
    uint8_t* FKeyMask = nullptr; // set only for a key the raster cannot show
    uint16_t FKey[3] = {};
};

size_t TIdatDecoder::RowBytes(uint64_t pixels) const {
    const uint64_t depth = FDepth;
    switch (FHeader.ColorType()) {
    case 2:
        return static_cast<size_t>(pixels * depth * 3 / 8);
    case 4:
        return static_cast<size_t>(pixels * depth * 2 / 8);
    case 6:
        return static_cast<size_t>(pixels * depth * 4 / 8);
    default:
        return static_cast<size_t>((pixels * depth + 7) / 8);
    }
}

void TIdatDecoder::CheckCrc() {
    uint8_t stored[4];
    if (FStream.Read(stored, 4) != 4 || png::BigEndian32(stored) != FCrc)
        throw EPngInvalidCRC();
}

void TIdatDecoder::NextChunk() {
    CheckCrc();
    uint8_t head[8];
    const size_t got = FStream.Read(head, sizeof head);
    if (got != sizeof head || std::memcmp(head + 4, TChunkIDAT::kName.data(), 4) != 0)
        throw EPNGMissingMultipleIDAT();
    const uint32_t length = png::BigEndian32(head);
    if (length > png::kMaxChunkLength)
        throw EPNGInvalidChunkLength();
    FCrc = png::Crc32(0, head + 4, 4);
    FLeft = length;
}

// Reads up to count bytes of compressed data. A stream over memory lends its
// bytes in place; any other is read into the input buffer.
size_t TIdatDecoder::ReadBlock(size_t count, const uint8_t*& block) {
    if (FMemory) {
        const int64_t position = FStream.Position();
        const auto bytes = FMemory->Bytes();
        if (position >= static_cast<int64_t>(bytes.size()))
            return 0;
        const size_t got = std::min(count, bytes.size() - static_cast<size_t>(position));
        block = bytes.data() + position;
        FStream.Seek(static_cast<int64_t>(got), TSeekOrigin::soCurrent);
        return got;
    }
    block = FInput.get();
    return FStream.Read(FInput.get(), count);
}

// Hands out the next count decompressed bytes; fewer only when no more can
// come. Rows are served from a larger block inflated ahead, never past the
// image's last byte: inflate runs its fast path only with 258 bytes of room,
// so inflating row by row would decode every row's end the slow way, and it
// copies up to 32 KiB of every call's output into its window.
size_t TIdatDecoder::Supply(uint8_t* out, size_t count) {
    size_t done = 0;
    while (done < count) {
        if (FStagePos == FStageEnd) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(kStageBlock, FNeeded));
            const size_t got = want == 0 ? 0 : Inflate(FStage.get(), want);
            FNeeded -= got;
            FStagePos = 0;
            FStageEnd = got;
            if (got == 0)
                break;
        }
        const size_t piece = std::min(count - done, FStageEnd - FStagePos);
        std::memcpy(out + done, FStage.get() + FStagePos, piece);
        FStagePos += piece;
        done += piece;
    }
    return done;
}

// Produces up to count decompressed bytes; fewer only when no more can come
// (the zlib stream or the file has ended).
size_t TIdatDecoder::Inflate(uint8_t* out, size_t count) {
    FZ.next_out = out;
    FZ.avail_out = static_cast<uInt>(count);
    while (FZ.avail_out > 0 && !FStreamEnd) {
        if (FZ.avail_in == 0) {
            while (FLeft == 0)
                NextChunk();
            const uint8_t* block = nullptr;
            const size_t got = ReadBlock(std::min<size_t>(kInputBlock, FLeft), block);
            if (got == 0)
                break;
            FCrc = png::Crc32(FCrc, block, got);
            FLeft -= static_cast<uint32_t>(got);
            FZ.next_in = const_cast<Bytef*>(block);
            FZ.avail_in = static_cast<uInt>(got);
        }
        const uInt inBefore = FZ.avail_in;
        const uInt outBefore = FZ.avail_out;
        const int result = inflate(&FZ, Z_NO_FLUSH);
        if (result == Z_STREAM_END) {
            FStreamEnd = true;
        } else if (result != Z_OK) {
            throw EPNGZLIBError(result);
        } else if (FZ.avail_in == inBefore && FZ.avail_out == outBefore) {
            // inflate answers OK without progress only when it cannot go on.
            throw EPNGZLIBError(Z_BUF_ERROR);
        }
    }
    return count - FZ.avail_out;
}

void TIdatDecoder::ConvertRow(const uint8_t* src, uint32_t y, uint32_t colStart, uint32_t colStep,
                              uint32_t pixels) {
    if (pixels == 0)
        return;
    uint8_t* dst = FHeader.ImageData() + size_t{FHeader.Height() - 1 - y} * FHeader.RowStride();
    uint8_t* alpha =
        FHeader.ImageAlpha() ? FHeader.ImageAlpha() + size_t{y} * FHeader.Width() : nullptr;
    const uint8_t* g = FGamma.data();
    const bool whole = colStep == 1;
    switch (FConversion) {
    case TConversion::Packed:
        if (whole) {
            std::memcpy(dst, src, RowBytes(pixels));
        } else if (FDepth == 8) {
            for (uint32_t i = 0; i < pixels; ++i)
                dst[colStart + i * colStep] = src[i];
        } else {
            const int bits = FHeader.BitsPerPixel();
            for (uint32_t i = 0; i < pixels; ++i)
                PutIndex(dst, colStart + i * colStep, bits, Sample(src, i, FDepth));
        }
        break;
    case TConversion::Grey2:
    case TConversion::Palette2: {
        const unsigned scale = FConversion == TConversion::Grey2 ? 4 : 1;
        for (uint32_t i = 0; i < pixels; ++i)
            PutIndex(dst, colStart + i * colStep, 4,
                     static_cast<uint8_t>(scale * Sample(src, i, 2)));
        break;
    }
    case TConversion::Index16:
        for (uint32_t i = 0; i < pixels; ++i)
            dst[colStart + i * colStep] = src[2 * size_t{i}];
        break;
    case TConversion::GreyAlpha8:
        for (uint32_t i = 0; i < pixels; ++i) {
            const uint32_t x = colStart + i * colStep;
            dst[x] = src[2 * size_t{i}];
            alpha[x] = src[2 * size_t{i} + 1];
        }
        break;
    case TConversion::GreyAlpha16:
        for (uint32_t i = 0; i < pixels; ++i) {
            const uint32_t x = colStart + i * colStep;
            dst[x] = src[4 * size_t{i}];
            alpha[x] = src[4 * size_t{i} + 2];
        }
        break;
    case TConversion::Rgb8:
        if (whole && FIdentityGamma) {
            for (uint32_t i = 0; i < pixels; ++i, dst += 3, src += 3) {
                dst[0] = src[2];
                dst[1] = src[1];
                dst[2] = src[0];
            }
        } else if (FIdentityGamma) {
            for (uint32_t i = 0; i < pixels; ++i, src += 3) {
                uint8_t* d = dst + 3 * size_t{colStart + i * colStep};
                d[0] = src[2];
                d[1] = src[1];
                d[2] = src[0];
            }
        } else {
            for (uint32_t i = 0; i < pixels; ++i, src += 3) {
                uint8_t* d = dst + 3 * size_t{colStart + i * colStep};
                d[0] = g[src[2]];
                d[1] = g[src[1]];
                d[2] = g[src[0]];
            }
        }
        break;
    case TConversion::Rgb16:
        for (uint32_t i = 0; i < pixels; ++i, src += 6) {
            uint8_t* d = dst + 3 * size_t{colStart + i * colStep};
            d[0] = g[src[4]];
            d[1] = g[src[2]];
            d[2] = g[src[0]];
        }
        break;
    case TConversion::Rgba8:
        if (whole && FIdentityGamma) {
            for (uint32_t i = 0; i < pixels; ++i, dst += 3, src += 4) {
                dst[0] = src[2];
                dst[1] = src[1];
                dst[2] = src[0];
                alpha[i] = src[3];
            }
        } else if (FIdentityGamma) {
            for (uint32_t i = 0; i < pixels; ++i, src += 4) {
                const uint32_t x = colStart + i * colStep;
                uint8_t* d = dst + 3 * size_t{x};
                d[0] = src[2];
                d[1] = src[1];
                d[2] = src[0];
                alpha[x] = src[3];
            }
        } else {
            for (uint32_t i = 0; i < pixels; ++i, src += 4) {
                const uint32_t x = colStart + i * colStep;
                uint8_t* d = dst + 3 * size_t{x};
                d[0] = g[src[2]];
                d[1] = g[src[1]];
                d[2] = g[src[0]];
                alpha[x] = src[3];
            }
        }
        break;
    case TConversion::Rgba16:
        for (uint32_t i = 0; i < pixels; ++i, src += 8) {
            const uint32_t x = colStart + i * colStep;
            uint8_t* d = dst + 3 * size_t{x};
            d[0] = g[src[4]];
            d[1] = g[src[2]];
            d[2] = g[src[0]];
            alpha[x] = src[6];
        }
        break;
    }
}

// Grey of 1, 2, 4 or 16 bits and RGB of 16 bits are keyed on their samples as
// stored: the raster has lost what tells them apart. Other pictures, and those
// without a key, pay nothing here.
void TIdatDecoder::PrepareKey() {
    const uint8_t colorType = FHeader.ColorType();
    if ((colorType != 0 && colorType != 2) || FDepth == 8)
        return;
    const TChunktRNS* trns = FHeader.Owner().FindChunk<TChunktRNS>();
    if (!trns)
        return;
    const auto& values = trns->PaletteValues();
    for (size_t s = 0; s < 3; ++s)
        FKey[s] = static_cast<uint16_t>(values[2 * s] << 8 | values[2 * s + 1]);
    FKeyMask = FHeader.PrepareKeyMask();
}

void TIdatDecoder::MarkKeyed(const uint8_t* src, uint32_t y, uint32_t colStart, uint32_t colStep,
                             uint32_t pixels) {
    uint8_t* mask = FKeyMask + size_t{y} * FHeader.KeyMaskStride();
    const uint32_t samples = FHeader.ColorType() == 2 ? 3 : 1;
    for (uint32_t i = 0; i < pixels; ++i) {
        bool keyed = true;
        for (uint32_t s = 0; s < samples && keyed; ++s) {
            const uint32_t k = i * samples + s;
            const uint16_t stored =
                FDepth == 16
                    ? static_cast<uint16_t>(src[2 * size_t{k}] << 8 | src[2 * size_t{k} + 1])
                    : Sample(src, k, FDepth);
            keyed = stored == FKey[s];
        }
        if (keyed) {
            const uint32_t x = colStart + i * colStep;
            mask[x >> 3] = static_cast<uint8_t>(mask[x >> 3] | 0x80u >> (x & 7));
        }
    }
}

// Filter bytes and rows of the whole image, every pass of it.
uint64_t TIdatDecoder::ImageBytes() const {
    const uint32_t width = FHeader.Width(), height = FHeader.Height();
    if (FHeader.InterlaceMethod() != 1)
        return uint64_t{height} * (RowBytes(width) + 1);
    uint64_t total = 0;
    for (const TAdam7Pass& pass : kAdam7) {
        const uint32_t pixels = (width + pass.ColStep - pass.ColStart - 1) / pass.ColStep;
        const size_t length = RowBytes(pixels);
        if (length == 0 || pass.RowStart >= height)
            continue;
        const uint64_t rows = (height - pass.RowStart + pass.RowStep - 1) / pass.RowStep;
        total += rows * (length + 1);
    }
    return total;
}

void TIdatDecoder::DecodeSequential() {
    const size_t length = RowBytes(FHeader.Width());
    for (uint32_t y = 0; y < FHeader.Height(); ++y) {
        // A row that cannot be completed stays as prepared, and so do the rest.
        if (Supply(FCurrent, length + 1) != length + 1)
            return;
        Unfilter(FCurrent[0], FCurrent + 1, FPrevious + 1, length, FDistance);
        ConvertRow(FCurrent + 1, y, 0, 1, FHeader.Width());
        if (FKeyMask)
            MarkKeyed(FCurrent + 1, y, 0, 1, FHeader.Width());
        std::swap(FCurrent, FPrevious);
    }
}

void TIdatDecoder::DecodeAdam7() {
    const uint32_t width = FHeader.Width();
    for (const TAdam7Pass& pass : kAdam7) {
        const uint32_t pixels = (width + pass.ColStep - pass.ColStart - 1) / pass.ColStep;
        const size_t length = RowBytes(pixels);
        std::memset(FPrevious, 0, length + 1);
        if (length == 0)
            continue;
        for (uint32_t y = pass.RowStart; y < FHeader.Height(); y += pass.RowStep) {
            if (Supply(FCurrent, length + 1) != length + 1)
                return;
            Unfilter(FCurrent[0], FCurrent + 1, FPrevious + 1, length, FDistance);
            ConvertRow(FCurrent + 1, y, pass.ColStart, pass.ColStep, pixels);
            if (FKeyMask)
                MarkKeyed(FCurrent + 1, y, pass.ColStart, pass.ColStep, pixels);
            std::swap(FCurrent, FPrevious);
        }
    }
}

void TIdatDecoder::Decode() {
    const uint8_t colorType = FHeader.ColorType();
    FDepth = FHeader.BitDepth();
    if (!HasConversion(colorType, static_cast<uint8_t>(FDepth)))
        throw EPNGUnsupportedFormat();

    if (FHeader.HasPalette() && (colorType == 0 || colorType == 4)) {
        const size_t entries = size_t{1} << FHeader.BitsPerPixel();
        TColorTable& table = FHeader.ColorTable();
        for (size_t k = 0; k < entries; ++k) {
            const uint8_t level = FGamma[k * 255 / (entries - 1)];
            table[k] = {level, level, level, 0};
        }
    }

    switch (colorType) {
    case 0:
        FDistance = FDepth == 16 ? 2 : 1;
        FConversion = FDepth == 16  ? TConversion::Index16
                      : FDepth == 2 ? TConversion::Grey2
                                    : TConversion::Packed;
        break;
    case 3:
        FDistance = 1;
        FConversion = FDepth == 16  ? TConversion::Index16
                      : FDepth == 2 ? TConversion::Palette2
                                    : TConversion::Packed;
        break;
    case 2:
        FDistance = FDepth * 3 / 8;
        FConversion = FDepth == 16 ? TConversion::Rgb16 : TConversion::Rgb8;
        break;
    case 4:
        FDistance = FDepth / 4;
        FConversion = FDepth == 16 ? TConversion::GreyAlpha16 : TConversion::GreyAlpha8;
        break;
    default:
        FDistance = FDepth / 2;
        FConversion = FDepth == 16 ? TConversion::Rgba16 : TConversion::Rgba8;
        break;
    }
    PrepareKey();
    FIdentityGamma = true;
    for (size_t i = 0; i < FGamma.size(); ++i)
        FIdentityGamma = FIdentityGamma && FGamma[i] == i;

    FCrc = png::Crc32(0, TChunkIDAT::kName.data(), 4);
    // The oldest zlib interface this reader relies on; zlib checks only the major digit.
    if (inflateInit_(&FZ, "1.2.2", sizeof(z_stream)) != Z_OK)
        throw EPNGZLIBError(Z_MEM_ERROR);
    FInflating = true;
    const size_t rowBuffer = RowBytes(FHeader.Width()) + 1;
    // zlib's inflate state and window are about 40 KiB.
    FCharge.Set((FMemory ? 0 : kInputBlock) + 2 * rowBuffer + kStageBlock + (size_t{48} << 10));
    if (!FMemory)
        FInput.reset(new uint8_t[kInputBlock]);
    FRows.reset(new uint8_t[2 * rowBuffer]());
    FCurrent = FRows.get();
    FPrevious = FRows.get() + rowBuffer;
    FStage.reset(new uint8_t[kStageBlock]);
    FNeeded = ImageBytes();

    if (FHeader.InterlaceMethod() == 1)
        DecodeAdam7();
    else
        DecodeSequential();

    // The rows may be complete before this chunk's payload is: read and count
    // the rest, so that what is compared next really is this chunk's CRC.
    while (FLeft > 0) {
        const uint8_t* block = nullptr;
        const size_t got = ReadBlock(std::min<size_t>(kInputBlock, FLeft), block);
        if (got == 0)
            break;
        FCrc = png::Crc32(FCrc, block, got);
        FLeft -= static_cast<uint32_t>(got);
    }
    inflateEnd(&FZ);
    FInflating = false;
    FInput.reset();
    FRows.reset();
    FStage.reset();
    FCharge.Reset();
    CheckCrc();
}

} // namespace

TChunkIDAT::TChunkIDAT(TPngPicture& owner) : TChunk(owner) {
    FName = kName;
}

bool TChunkIDAT::LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) {
    FName = name;
    FData.assign(1, 0);
    FDataSize = 0;
    TIdatDecoder decoder(Owner().Header(), Owner().GammaTable(), stream, size);
    decoder.Decode();
    return true;
}

} // namespace korvalis
