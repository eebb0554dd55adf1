#pragma once

#include "decoders/PngExceptions.h"
#include "graphics/LoadBudget.h"
#include "graphics/Raster.h"
#include "graphics/Stream.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

namespace korvalis {

class TPngPicture;

enum TPNGTransparencyMode { ptmNone, ptmBit, ptmPartial };

// The decoded raster is described the way device-independent bitmaps are, so
// code that draws bitmaps can take it as it stands.
struct TBitmapInfoHeader {
    uint32_t biSize = 40;
    int32_t biWidth = 0;
    int32_t biHeight = 0; // positive: rows are stored bottom-up
    uint16_t biPlanes = 1;
    uint16_t biBitCount = 0; // 1, 4, 8 (indexed) or 24 (blue, green, red)
    uint32_t biCompression = 0;
    uint32_t biSizeImage = 0;
    int32_t biXPelsPerMeter = 0;
    int32_t biYPelsPerMeter = 0;
    uint32_t biClrUsed = 0;
    uint32_t biClrImportant = 0;
};

struct TBitmapInfo {
    TBitmapInfoHeader bmiHeader;
    TColorTable bmiColors{};
};

using TChunkName = std::array<char, 4>;
using TGammaTable = std::array<uint8_t, 256>;

// One chunk of a PNG file. A chunk of a type the reader does not know is kept
// as a plain TChunk with its raw payload.
class TChunk {
  public:
    explicit TChunk(TPngPicture& owner);
    virtual ~TChunk() = default;
    TChunk(const TChunk&) = delete;
    TChunk& operator=(const TChunk&) = delete;

    // The four type letters, as in the file.
    std::string_view Name() const { return std::string_view(FName.data(), FName.size()); }
    // Copies type and payload; a chunk of another class raises EPngError.
    virtual void Assign(const TChunk& source);
    // Reads the payload and its CRC (raises EPngInvalidCRC on a mismatch), then
    // the chunk's own fields. Answers success.
    virtual bool LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size);

    const uint8_t* Data() const { return FData.data(); }
    uint32_t DataSize() const { return FDataSize; }
    TPngPicture& Owner() const { return *FOwner; }

  protected:
    // Resizes the payload buffer, reads payload and CRC and tests the CRC.
    void ReadPayload(TStream& stream, uint32_t size);

    TChunkName FName{};
    std::vector<uint8_t> FData; // payload length + 1 spare byte
    uint32_t FDataSize = 0;
    TPngPicture* FOwner;
    TBudgetCharge FCharge; // the chunk, its payload and what it keeps besides

    friend class TPngPicture;
};

class TChunkIEND : public TChunk {
  public:
    static constexpr TChunkName kName{'I', 'E', 'N', 'D'};
    explicit TChunkIEND(TPngPicture& owner);
};

// The header; it also owns the decoded raster, its colour table and the alpha plane.
class TChunkIHDR : public TChunk {
  public:
    static constexpr TChunkName kName{'I', 'H', 'D', 'R'};
    explicit TChunkIHDR(TPngPicture& owner);

    void Assign(const TChunk& source) override;
    bool LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) override;

    uint32_t Width() const { return FWidth; }
    uint32_t Height() const { return FHeight; }
    uint8_t BitDepth() const { return FBitDepth; }
    uint8_t ColorType() const { return FColorType; }
    uint8_t CompressionMethod() const { return FCompressionMethod; }
    uint8_t FilterMethod() const { return FFilterMethod; }
    uint8_t InterlaceMethod() const { return FInterlaceMethod; }

    const TBitmapInfo& BitmapInfo() const { return FBitmapInfo; }
    TColorTable& ColorTable() { return FBitmapInfo.bmiColors; }
    const TColorTable& ColorTable() const { return FBitmapInfo.bmiColors; }
    int BitsPerPixel() const { return FBitmapInfo.bmiHeader.biBitCount; }
    bool HasPalette() const { return FHasPalette; }
    // Bytes per raster row, padded to a multiple of 4.
    size_t RowStride() const { return FRowStride; }
    // The pixel rows, bottom-up; null for an empty raster.
    uint8_t* ImageData() { return FImageData.get(); }
    const uint8_t* ImageData() const { return FImageData.get(); }
    // width x height alpha bytes, top-down without padding; null unless colour
    // type 4 or 6.
    uint8_t* ImageAlpha() { return FImageAlpha.get(); }
    const uint8_t* ImageAlpha() const { return FImageAlpha.get(); }
    // The colour key as the file stores it: one bit per pixel, rows top-down of
    // KeyMaskStride() bytes, leftmost pixel in the most significant bit, set
    // where every sample equals the tRNS value (all 16 bits of it). The decoded
    // raster cannot tell: 16-bit samples keep their high byte, grey levels pass
    // through the ramp. Null unless grey of 1, 2, 4 or 16 bits or RGB of 16 bits
    // with a tRNS chunk before the image data.
    const uint8_t* KeyMask() const { return FKeyMask.get(); }
    size_t KeyMaskStride() const { return (size_t{FWidth} + 7) / 8; }
    // A cleared key mask of this header's size, replacing any; raises EOutOfResources.
    uint8_t* PrepareKeyMask();

  private:
    struct TFree {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    using TBuffer = std::unique_ptr<uint8_t, TFree>;

    void PrepareImageData();

    uint32_t FWidth = 0;
    uint32_t FHeight = 0;
    uint8_t FBitDepth = 0;
    uint8_t FColorType = 0;
    uint8_t FCompressionMethod = 0;
    uint8_t FFilterMethod = 0;
    uint8_t FInterlaceMethod = 0;
    TBitmapInfo FBitmapInfo;
    TBuffer FImageData;
    TBuffer FImageAlpha;
    TBuffer FKeyMask;
    TBudgetCharge FRasterCharge;
    TBudgetCharge FKeyMaskCharge;
    size_t FRowStride = 0;
    bool FHasPalette = false;

    friend class TPngPicture;
};

// The image data. Its reader decodes the whole image into the header's raster,
// consuming this chunk and every IDAT chunk right after it; it keeps no payload.
class TChunkIDAT : public TChunk {
  public:
    static constexpr TChunkName kName{'I', 'D', 'A', 'T'};
    explicit TChunkIDAT(TPngPicture& owner);

    bool LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) override;
};

class TChunkPLTE : public TChunk {
  public:
    static constexpr TChunkName kName{'P', 'L', 'T', 'E'};
    explicit TChunkPLTE(TPngPicture& owner);

    void Assign(const TChunk& source) override;
    bool LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) override;

    int Count() const { return FCount; }
    // Colour-table entry index (as gamma-corrected when read); raises EPngError
    // at or beyond Count().
    TRGBQuad Item(int index) const;

  private:
    int FCount = 0;
};

class TChunkgAMA : public TChunk {
  public:
    static constexpr TChunkName kName{'g', 'A', 'M', 'A'};
    explicit TChunkgAMA(TPngPicture& owner);

    bool LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) override;

    // gamma x 100000; 1 when the payload is not 4 bytes long.
    uint32_t Gamma() const;
};

class TChunktRNS : public TChunk {
  public:
    static constexpr TChunkName kName{'t', 'R', 'N', 'S'};
    explicit TChunktRNS(TPngPicture& owner);

    void Assign(const TChunk& source) override;
    bool LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) override;

    // The payload over a table of 255s: per-entry alpha for palette images; the
    // big-endian 16-bit grey level or red, green, blue levels otherwise.
    const std::array<uint8_t, 256>& PaletteValues() const { return FPaletteValues; }
    // A single transparent colour rather than per-entry transparency.
    bool BitTransparency() const { return FBitTransparency; }

  private:
    std::array<uint8_t, 256> FPaletteValues{};
    bool FBitTransparency = false;
};

class TChunktIME : public TChunk {
  public:
    static constexpr TChunkName kName{'t', 'I', 'M', 'E'};
    explicit TChunktIME(TPngPicture& owner);

    void Assign(const TChunk& source) override;
    bool LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) override;

    uint16_t Year = 0;
    uint8_t Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
};

class TChunktEXt : public TChunk {
  public:
    static constexpr TChunkName kName{'t', 'E', 'X', 't'};
    explicit TChunktEXt(TPngPicture& owner);

    void Assign(const TChunk& source) override;
    bool LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) override;

    const std::string& Keyword() const { return FKeyword; }
    const std::string& Text() const { return FText; }

  protected:
    // Keeps the text when the picture's texts stay within kMaxTextBytes with it.
    void KeepText(std::string text);

    std::string FKeyword;
    std::string FText;
};

class TChunkzTXt : public TChunktEXt {
  public:
    static constexpr TChunkName kName{'z', 'T', 'X', 't'};
    // The texts of one picture together, once inflated; a text that would pass
    // it is dropped like damaged text, so a small file cannot claim the
    // machine's memory with many chunks. Nothing reads the texts.
    static constexpr size_t kMaxTextBytes = size_t{8} << 20;
    explicit TChunkzTXt(TPngPicture& owner);

    bool LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) override;
};

// The chunks of one image in file order; the image owns them.
class TPngChunkList {
  public:
    int Count() const { return static_cast<int>(FItems.size()); }
    TChunk* Item(int index) const { return FItems[static_cast<size_t>(index)].get(); }
    // The first chunk, when it is the header.
    TChunkIHDR* FirstHeader() const;
    // The first chunk whose class is exactly T, or null.
    template <typename T> T* ItemFromClass() const {
        for (const auto& item : FItems) {
            const TChunk& chunk = *item;
            if (typeid(chunk) == typeid(T))
                return static_cast<T*>(item.get());
        }
        return nullptr;
    }

    TChunk& Add(std::unique_ptr<TChunk> chunk);
    void Clear();

  private:
    std::vector<std::unique_ptr<TChunk>> FItems;
};

// A PNG picture: its chunks and the raster decoded from them.
class TPngPicture {
  public:
    TPngPicture();
    ~TPngPicture();
    TPngPicture(const TPngPicture&) = delete;
    TPngPicture& operator=(const TPngPicture&) = delete;

    // Replaces the contents with the PNG at the stream's position. Raises an
    // EPngError subclass, or EOutOfResources when the raster cannot be had.
    void ReadFromStream(TStream& stream);
    // As ReadFromStream; EFOpenError when the file cannot be opened.
    void ReadFromFile(const std::string& fileName);
    // A named compiled-in resource; EPNGCouldNotLoadResource when there is none.
    void ReadFromResource(std::string_view name);

    // The header's values; 0 without a header chunk.
    int Width() const;
    int Height() const;
    // Always raise EPngError: a PNG cannot be resized in place.
    void SetWidth(int width);
    void SetHeight(int height);
    bool Empty() const { return FChunkList.Count() == 0; }

    TPNGTransparencyMode TransparencyMode() const;
    bool Transparent() const { return TransparencyMode() != ptmNone; }

    // These raise EPNGHeaderNotPresent unless the first chunk is an IHDR.
    TChunkIHDR& Header() const;
    // Row y counted from the top of the bottom-up raster; null when y is out of range.
    uint8_t* Scanline(int y) const;
    // Alpha row y; null unless colour type 4 or 6, or when y is out of range.
    uint8_t* AlphaScanline(int y) const;
    // Row y of the header's KeyMask(); null without one or when y is out of range.
    const uint8_t* KeyMaskScanline(int y) const;
    TColorTable& ColorTable() const { return Header().ColorTable(); }

    // The decoded picture as a 24-bit raster, indexed pixels looked up in the
    // colour table; the alpha plane is not applied.
    TRaster ToRaster() const;
    // The same raster, but 24-bit rows are taken over (turned top-down in place)
    // rather than copied, so a camera-sized picture is never held twice. The
    // picture keeps no rows afterwards: Scanline answers null. The alpha plane stays.
    TRaster TakeRaster();

    const TGammaTable& GammaTable() const { return FGammaTable; }
    const TGammaTable& InverseGamma() const { return FInverseGamma; }
    uint8_t InterlaceMethod() const { return FInterlaceMethod; }

    TPngChunkList& Chunks() { return FChunkList; }
    const TPngChunkList& Chunks() const { return FChunkList; }
    template <typename T> T* FindChunk() const { return FChunkList.ItemFromClass<T>(); }

  private:
    void ReadChunks(TStream& stream);

    friend class TChunkIHDR;
    friend class TChunkIDAT;
    friend class TChunkgAMA;
    friend class TChunktEXt;
    friend class TChunkzTXt;

    TGammaTable FGammaTable{};
    TGammaTable FInverseGamma{};
    uint8_t FInterlaceMethod = 0;
    size_t FTextBytes = 0; // kept by the text chunks so far
    TPngChunkList FChunkList;
};

} // namespace korvalis
