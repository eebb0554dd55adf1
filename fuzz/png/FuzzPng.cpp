// Reads any bytes as a PNG and walks everything a reader of the picture may
// touch: every raster and alpha row, the colour table and the 24-bit copy.
#include "decoders/PngPicture.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace {

// A stream whose bytes are not lent in place, as a file's are not, so the
// reader's buffered path gets inputs too.
class TCopyingStream : public korvalis::TStream {
  public:
    explicit TCopyingStream(std::span<const uint8_t> bytes) : FInner(bytes) {}
    size_t Read(void* buffer, size_t count) override { return FInner.Read(buffer, count); }
    int64_t Seek(int64_t offset, korvalis::TSeekOrigin origin) override {
        return FInner.Seek(offset, origin);
    }
    int64_t Size() const override { return FInner.Size(); }

  private:
    korvalis::TBytesStream FInner;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace korvalis;
    // Large pictures only cost time and memory; their size is checked before
    // anything is allocated, which the tests show.
    if (size >= 24 && data[12] == 'I' && data[13] == 'H' && data[14] == 'D' && data[15] == 'R') {
        const uint64_t width = uint64_t{data[16]} << 24 | data[17] << 16 | data[18] << 8 | data[19];
        const uint64_t height =
            uint64_t{data[20]} << 24 | data[21] << 16 | data[22] << 8 | data[23];
        if (width * height > (uint64_t{1} << 22))
            return 0;
    }
    TBytesStream memory(std::span<const uint8_t>(data, size));
    TCopyingStream copying(std::span<const uint8_t>(data, size));
    TPngPicture picture;
    try {
        if (size & 1)
            picture.ReadFromStream(copying);
        else
            picture.ReadFromStream(memory);
    } catch (const Exception&) {
        // A failed read still leaves a picture that must be safe to look at.
    }
    try {
        volatile uint8_t sum = 0;
        const TChunkIHDR& header = picture.Header();
        for (int y = 0; y < picture.Height(); ++y) {
            if (const uint8_t* row = picture.Scanline(y))
                for (size_t x = 0; x < header.RowStride(); ++x)
                    sum = sum + row[x];
            if (const uint8_t* alpha = picture.AlphaScanline(y))
                for (int x = 0; x < picture.Width(); ++x)
                    sum = sum + alpha[x];
        }
        for (const TRGBQuad& entry : picture.ColorTable())
            sum = sum + entry.rgbRed;
        const TRaster raster = picture.ToRaster();
        for (int y = 0; y < raster.Height(); ++y)
            for (size_t x = 0; x < raster.Stride(); ++x)
                sum = sum + raster.ScanLine(y)[x];
        (void)picture.TransparencyMode();
    } catch (const Exception&) {
    }
    return 0;
}
