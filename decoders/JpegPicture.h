#pragma once

#include "graphics/Exceptions.h"
#include "graphics/Raster.h"
#include "graphics/Stream.h"

#include <cstdint>
#include <cstdlib>
#include <cxxabi.h>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <typeinfo>
#include <vector>

namespace korvalis {

// A fatal libjpeg error; the number is libjpeg's message code (42 is an empty input).
class EJPEG : public EInvalidImage {
  public:
    explicit EJPEG(int code);
    int Code() const { return FCode; }

  private:
    int FCode;
};

// A picture assigned to something that cannot hold it.
class EConvertError : public Exception {
  public:
    using Exception::Exception;
};

enum class TJpegPerformance : uint8_t { jpBestQuality, jpBestSpeed };
enum class TJpegPixelFormat : uint8_t { jf24Bit, jf8Bit };
// Output reduced by 1/2^n.
enum class TJpegScale : uint8_t { jsFullSize, jsHalf, jsQuarter, jsEighth };

// How a picture drives libjpeg. Every new TJpegPicture starts with a copy of
// JpegDefaults().
struct TJpegOptions {
    uint8_t CompressionQuality = 90; // writing only
    bool Grayscale = false;          // libjpeg's output colour space becomes greyscale
    TJpegPerformance Performance = TJpegPerformance::jpBestQuality;
    TJpegPixelFormat PixelFormat = TJpegPixelFormat::jf24Bit;
    bool ProgressiveDisplay = false;  // buffered-image mode for files with several scans
    bool ProgressiveEncoding = false; // set from the file when it is read
    TJpegScale Scale = TJpegScale::jsFullSize;
    bool Smoothing = true; // libjpeg's block smoothing
};

// The process-wide defaults. Written once at start-up, before any picture exists.
TJpegOptions& JpegDefaults();
// Sets the pixel-format default from the screen's depth (bits per pixel times
// colour planes): 8-bit on 8 bits or fewer, else 24-bit.
void InitJpegDefaults(int screenBitsPerPixel);

// The compressed file and what its header says; shared by copies of a picture.
struct TJpegData {
    std::vector<uint8_t> Data;
    int Width = 0;
    int Height = 0;
    bool Grayscale = false; // the file's colour space is greyscale
};

// A JPEG file in memory, decoded into a TRaster on first need and cached.
class TJpegPicture {
  public:
    static constexpr const char* ClassName() { return "TJpegPicture"; }

    TJpegPicture();

    // Takes the rest of the stream (size minus position) and reads its header at
    // once. An empty rest is accepted here; decoding it fails with JPEG error #42.
    void LoadFromStream(TStream& stream);
    void LoadFromFile(const std::string& fileName);

    bool Empty() const { return !FImage || FImage->Data.empty(); }
    // Those of the decoded raster when there is one, else the header's at the
    // chosen scale.
    int Width() const;
    int Height() const;
    bool Grayscale() const { return FImage && FImage->Grayscale; }
    // The compressed file as it was read, markers and all.
    std::span<const uint8_t> FileData() const {
        return FImage ? std::span<const uint8_t>(FImage->Data) : std::span<const uint8_t>();
    }
    // The file has several scans (progressive).
    bool ProgressiveEncoding() const { return FOptions.ProgressiveEncoding; }

    // Changing an option drops the cached raster.
    const TJpegOptions& Options() const { return FOptions; }
    void SetOptions(const TJpegOptions& options);

    // Shares the other picture's compressed data and options; no raster is copied.
    void Assign(const TJpegPicture& source);

    // Gives dest the decoded picture: 24-bit blue-green-red rows, or 8-bit with a
    // colour table for greyscale and 8-bit output. A raster cached by Bitmap() is
    // copied; otherwise dest receives the decoded raster itself and nothing is
    // kept, so the program's one-time load never copies a whole picture.
    void AssignTo(TRaster& dest);
    void AssignTo(TJpegPicture& dest) const { dest.Assign(*this); }
    // Anything else cannot hold a JPEG picture.
    template <typename T> [[noreturn]] void AssignTo(T&) const {
        throw EConvertError(
            Format("Cannot assign a %s to a %s", ClassName(), TargetName<T>().c_str()));
    }

    // Receives the decoded rows top to bottom: row y of height rows, as a raster
    // one row high with the format and colour table AssignTo would give.
    using TRowSink = std::function<void(int y, int height, const TRaster& row)>;
    // Decodes the whole picture as AssignTo does, but hands each finished row to
    // sink instead of keeping it (a cached raster's rows are handed over too), so
    // a caller that keeps only some rows never holds the whole picture.
    void DecodeRows(const TRowSink& sink);

    // The decoded raster, decoding it first when needed.
    const TRaster& Bitmap();
    bool HasBitmap() const { return FBitmap != nullptr; }

  private:
    template <typename T> static std::string TargetName() {
        if constexpr (requires { T::ClassName(); }) {
            return T::ClassName();
        } else {
            int status = 0;
            std::unique_ptr<char, void (*)(void*)> name(
                abi::__cxa_demangle(typeid(T).name(), nullptr, nullptr, &status), std::free);
            std::string result = status == 0 && name ? name.get() : typeid(T).name();
            const auto colons = result.rfind("::");
            return colons == std::string::npos ? result : result.substr(colons + 2);
        }
    }

    // With a sink, rows go to it and the answer is one row high.
    TRaster Decode(const TRowSink* sink = nullptr) const;

    std::shared_ptr<const TJpegData> FImage;
    std::unique_ptr<TRaster> FBitmap;
    TJpegOptions FOptions;
};

} // namespace korvalis
