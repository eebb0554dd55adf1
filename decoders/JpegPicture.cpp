#include "JpegPicture.h"

#include "graphics/LoadBudget.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jerror.h>
#include <jpeglib.h>

namespace korvalis {

namespace {

constexpr int kQuantizedColors = 236;
// A progressive file may repeat scans that each cost a pass over the whole
// picture; real encoders write a dozen or so.
constexpr int kMaxScans = 500;

struct TErrorManager {
    jpeg_error_mgr Pub;
    std::jmp_buf Jump;
};

// libjpeg is C: its fatal errors come back by longjmp to the guarded call, which
// turns them into EJPEG outside libjpeg's frames.
[[noreturn]] void ErrorExit(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<TErrorManager*>(cinfo->err)->Jump, 1);
}
void EmitMessage(j_common_ptr, int) {}
void OutputMessage(j_common_ptr) {}
void FormatMessage(j_common_ptr, char* buffer) {
    buffer[0] = '\0';
}
void ResetErrorManager(j_common_ptr cinfo) {
    cinfo->err->num_warnings = 0;
    cinfo->err->msg_code = 0;
}

struct TSourceManager {
    jpeg_source_mgr Pub;
    const uint8_t* Data = nullptr;
    size_t Size = 0;
    size_t Position = 0;
    bool StartOfFile = true;
};

const JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};

void InitSource(j_decompress_ptr cinfo) {
    auto* src = reinterpret_cast<TSourceManager*>(cinfo->src);
    src->Position = 0;
    src->StartOfFile = true;
}

boolean FillInputBuffer(j_decompress_ptr cinfo) {
    auto* src = reinterpret_cast<TSourceManager*>(cinfo->src);
    // The whole copy at once: libjpeg-turbo's fast Huffman decoder runs only
    // while a few kilobytes are buffered, so small blocks would slow every file.
    const size_t count = src->Size - src->Position;
    if (count == 0) {
        if (src->StartOfFile)
            ERREXIT(cinfo, JERR_INPUT_EMPTY);
        // A file cut short still shows what arrived; libjpeg fills in the rest.
        WARNMS(cinfo, JWRN_JPEG_EOF);
        src->Pub.next_input_byte = kEndOfImage;
        src->Pub.bytes_in_buffer = sizeof kEndOfImage;
        return TRUE;
    }
    src->Pub.next_input_byte = src->Data + src->Position;
    src->Pub.bytes_in_buffer = count;
    src->Position += count;
    src->StartOfFile = false;
    return TRUE;
}

void SkipInputData(j_decompress_ptr cinfo, long count) {
    auto* src = reinterpret_cast<TSourceManager*>(cinfo->src);
    if (count <= 0)
        return;
    while (static_cast<unsigned long>(count) > src->Pub.bytes_in_buffer) {
        count -= static_cast<long>(src->Pub.bytes_in_buffer);
        const bool exhausted = src->Position >= src->Size;
        FillInputBuffer(cinfo);
        if (exhausted)
            return; // the end-of-image marker stays in place
    }
    src->Pub.next_input_byte += count;
    src->Pub.bytes_in_buffer -= static_cast<size_t>(count);
}

void TermSource(j_decompress_ptr) {}

void MonitorProgress(j_common_ptr cinfo) {
    if (cinfo->is_decompressor &&
        reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kMaxScans)
        ERREXIT(cinfo, JERR_BAD_SCAN_SCRIPT);
}

// One libjpeg decompressor over a picture's compressed bytes. libjpeg's own
// memory is counted against the load's budget through its memory manager.
class TDecompressor {
  public:
    explicit TDecompressor(const std::vector<uint8_t>& data) {
        Info.err = jpeg_std_error(&Errors.Pub);
        Errors.Pub.error_exit = ErrorExit;
        Errors.Pub.emit_message = EmitMessage;
        Errors.Pub.output_message = OutputMessage;
        Errors.Pub.format_message = FormatMessage;
        Errors.Pub.reset_error_mgr = ResetErrorManager;
        Guarded([this] { jpeg_create_decompress(&Info); });
        Created = true;
        Info.client_data = this;
        Memory = *Info.mem;
        Info.mem->alloc_small = AllocSmall;
        Info.mem->alloc_large = AllocLarge;
        Info.mem->alloc_sarray = AllocSarray;
        Info.mem->alloc_barray = AllocBarray;
        Info.mem->request_virt_sarray = RequestVirtSarray;
        Info.mem->request_virt_barray = RequestVirtBarray;
        if (TLoadBudget* budget = TLoadBudget::Current())
            Info.mem->max_memory_to_use = static_cast<long>(budget->Limit());
        Progress.progress_monitor = MonitorProgress;
        Info.progress = &Progress;
        Source.Data = data.data();
        Source.Size = data.size();
        Source.Pub.init_source = InitSource;
        Source.Pub.fill_input_buffer = FillInputBuffer;
        Source.Pub.skip_input_data = SkipInputData;
        Source.Pub.resync_to_restart = jpeg_resync_to_restart;
        Source.Pub.term_source = TermSource;
        Source.Pub.bytes_in_buffer = 0;
        Source.Pub.next_input_byte = nullptr;
        Info.src = &Source.Pub;
    }
    ~TDecompressor() {
        if (Created)
            jpeg_destroy_decompress(&Info);
    }
    TDecompressor(const TDecompressor&) = delete;
    TDecompressor& operator=(const TDecompressor&) = delete;

    // Runs body, which may call into libjpeg but must own nothing with a
    // destructor: a fatal error leaves it by longjmp.
    template <typename F> void Guarded(F&& body) {
        if (setjmp(Errors.Jump) != 0) {
            if (OverBudget)
                throw EOutOfResources();
            throw EJPEG(Errors.Pub.msg_code);
        }
        body();
    }

    jpeg_decompress_struct Info{};
    TErrorManager Errors{};
    TSourceManager Source{};
    jpeg_progress_mgr Progress{};
    bool Created = false;

  private:
    static TDecompressor& Of(j_common_ptr cinfo) {
        return *static_cast<TDecompressor*>(cinfo->client_data);
    }
    // Counts a request before libjpeg allocates for it; one that does not fit
    // fails the decode as libjpeg's own shortage would, raised as ours.
    static void Charge(j_common_ptr cinfo, uint64_t bytes) {
        TDecompressor& d = Of(cinfo);
        if (!d.Charged.TryAdd(bytes)) {
            d.OverBudget = true;
            ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
        }
    }
    static uint64_t ArrayBytes(uint64_t rowBytes, JDIMENSION rows) {
        return (rowBytes + sizeof(void*)) * rows;
    }
    static void* AllocSmall(j_common_ptr cinfo, int pool, size_t size) {
        Charge(cinfo, size);
        return Of(cinfo).Memory.alloc_small(cinfo, pool, size);
    }
    static void* AllocLarge(j_common_ptr cinfo, int pool, size_t size) {
        Charge(cinfo, size);
        return Of(cinfo).Memory.alloc_large(cinfo, pool, size);
    }
    static JSAMPARRAY AllocSarray(j_common_ptr cinfo, int pool, JDIMENSION samples,
                                  JDIMENSION rows) {
        Charge(cinfo, ArrayBytes(uint64_t{samples} * sizeof(JSAMPLE), rows));
        return Of(cinfo).Memory.alloc_sarray(cinfo, pool, samples, rows);
    }
    static JBLOCKARRAY AllocBarray(j_common_ptr cinfo, int pool, JDIMENSION blocks,
                                   JDIMENSION rows) {
        Charge(cinfo, ArrayBytes(uint64_t{blocks} * sizeof(JBLOCK), rows));
        return Of(cinfo).Memory.alloc_barray(cinfo, pool, blocks, rows);
    }
    // Whole-picture arrays (a progressive file's coefficients, two-pass
    // quantisation's picture) are counted when asked for, before any is made.
    static jvirt_sarray_ptr RequestVirtSarray(j_common_ptr cinfo, int pool, boolean zero,
                                              JDIMENSION samples, JDIMENSION rows,
                                              JDIMENSION access) {
        Charge(cinfo, ArrayBytes(uint64_t{samples} * sizeof(JSAMPLE), rows));
        return Of(cinfo).Memory.request_virt_sarray(cinfo, pool, zero, samples, rows, access);
    }
    static jvirt_barray_ptr RequestVirtBarray(j_common_ptr cinfo, int pool, boolean zero,
                                              JDIMENSION blocks, JDIMENSION rows,
                                              JDIMENSION access) {
        Charge(cinfo, ArrayBytes(uint64_t{blocks} * sizeof(JBLOCK), rows));
        return Of(cinfo).Memory.request_virt_barray(cinfo, pool, zero, blocks, rows, access);
    }

    jpeg_memory_mgr Memory{}; // libjpeg's own methods
    TBudgetCharge Charged;    // given back when the decompressor is destroyed
    bool OverBudget = false;
};

bool IsFourComponent(J_COLOR_SPACE space) {
    return space == JCS_CMYK || space == JCS_YCCK;
}

int ScaledSize(int size, TJpegScale scale) {
    const int denominator = 1 << static_cast<int>(scale);
    return (size + denominator - 1) / denominator;
}

// Four-component rows arrive as CMYK; Adobe writers store the inks inverted.
void CmykToBgr(const uint8_t* in, uint8_t* out, int width, bool inverted) {
    for (int x = 0; x < width; ++x, in += 4, out += 3) {
        unsigned c = in[0], m = in[1], y = in[2], k = in[3];
        if (!inverted) {
            c = 255 - c;
            m = 255 - m;
            y = 255 - y;
            k = 255 - k;
        }
        out[0] = static_cast<uint8_t>((y * k + 127) / 255);
        out[1] = static_cast<uint8_t>((m * k + 127) / 255);
        out[2] = static_cast<uint8_t>((c * k + 127) / 255);
    }
}

void TakeColorMap(const jpeg_decompress_struct& info, TRaster& raster) {
    TColorTable& table = raster.ColorTable();
    table.fill(TRGBQuad{});
    const int count = std::clamp(info.actual_number_of_colors, 0, 256);
    for (int i = 0; i < count; ++i) {
        TRGBQuad& entry = table[static_cast<size_t>(i)];
        if (info.out_color_components == 1) {
            entry.rgbRed = entry.rgbGreen = entry.rgbBlue = info.colormap[0][i];
        } else {
            entry.rgbBlue = info.colormap[0][i];
            entry.rgbGreen = info.colormap[1][i];
            entry.rgbRed = info.colormap[2][i];
        }
    }
}

} // namespace

EJPEG::EJPEG(int code) : EInvalidImage(Format("JPEG error #%d", code)), FCode(code) {}

TJpegOptions& JpegDefaults() {
    static TJpegOptions defaults;
    return defaults;
}

void InitJpegDefaults(int screenBitsPerPixel) {
    JpegDefaults().PixelFormat =
        screenBitsPerPixel <= 8 ? TJpegPixelFormat::jf8Bit : TJpegPixelFormat::jf24Bit;
}

TJpegPicture::TJpegPicture() : FOptions(JpegDefaults()) {}

void TJpegPicture::LoadFromStream(TStream& stream) {
    auto image = std::make_shared<TJpegData>();
    const int64_t remaining = stream.Remaining();
    if (remaining > 0) {
        image->Data.resize(static_cast<size_t>(remaining));
        image->Data.resize(stream.Read(image->Data.data(), image->Data.size()));
    }
    bool progressive = false;
    if (!image->Data.empty()) {
        TDecompressor d(image->Data);
        d.Guarded([&d] { jpeg_read_header(&d.Info, TRUE); });
        image->Width = static_cast<int>(d.Info.image_width);
        image->Height = static_cast<int>(d.Info.image_height);
        image->Grayscale = d.Info.jpeg_color_space == JCS_GRAYSCALE;
        progressive = jpeg_has_multiple_scans(&d.Info) != 0;
    }
    FImage = std::move(image);
    FBitmap.reset();
    FOptions.ProgressiveEncoding = progressive;
}

void TJpegPicture::LoadFromFile(const std::string& fileName) {
    TFileStream stream(fileName);
    LoadFromStream(stream);
}

int TJpegPicture::Width() const {
    if (FBitmap)
        return FBitmap->Width();
    return FImage ? ScaledSize(FImage->Width, FOptions.Scale) : 0;
}

int TJpegPicture::Height() const {
    if (FBitmap)
        return FBitmap->Height();
    return FImage ? ScaledSize(FImage->Height, FOptions.Scale) : 0;
}

void TJpegPicture::SetOptions(const TJpegOptions& options) {
    const bool progressive = FOptions.ProgressiveEncoding;
    FOptions = options;
    FOptions.ProgressiveEncoding = progressive;
    FBitmap.reset();
}

void TJpegPicture::Assign(const TJpegPicture& source) {
    if (this == &source)
        return;
    FImage = source.FImage;
    FOptions = source.FOptions;
    FBitmap.reset();
}

const TRaster& TJpegPicture::Bitmap() {
    if (!FBitmap)
        FBitmap = std::make_unique<TRaster>(Decode());
    return *FBitmap;
}

void TJpegPicture::AssignTo(TRaster& dest) {
    if (FBitmap)
        dest = *FBitmap;
    else
        dest = Decode();
}

void TJpegPicture::DecodeRows(const TRowSink& sink) {
    if (!FBitmap) {
        Decode(&sink);
        return;
    }
    TRaster row(0, 0, FBitmap->PixelFormat());
    row.ColorTable() = FBitmap->ColorTable();
    row.SetSizeUninitialized(FBitmap->Width(), 1);
    for (int y = 0; y < FBitmap->Height(); ++y) {
        std::memcpy(row.Bits(), FBitmap->ScanLine(y), row.Stride());
        sink(y, FBitmap->Height(), row);
    }
}

TRaster TJpegPicture::Decode(const TRowSink* sink) const {
    static const std::vector<uint8_t> kNoData;
    TLoadScope load;
    TDecompressor d(FImage ? FImage->Data : kNoData);
    jpeg_decompress_struct& info = d.Info;
    d.Guarded([&info] { jpeg_read_header(&info, TRUE); });

    info.scale_num = 1;
    info.scale_denom = 1u << static_cast<unsigned>(FOptions.Scale);
    info.do_block_smoothing = FOptions.Smoothing ? TRUE : FALSE;
    const bool fourComponent = IsFourComponent(info.jpeg_color_space);
    if (FOptions.Grayscale)
        info.out_color_space = JCS_GRAYSCALE;
    else if (info.out_color_space == JCS_RGB)
        info.out_color_space = JCS_EXT_BGR;
    else if (info.out_color_space == JCS_UNKNOWN)
        throw EJPEG(JERR_CONVERSION_NOTIMPL); // two or five and more components
    // Four-component files are converted to 24 bits by us, never quantised.
    const bool quantize = !fourComponent && (FOptions.PixelFormat == TJpegPixelFormat::jf8Bit ||
                                             info.out_color_space == JCS_GRAYSCALE);
    if (quantize) {
        info.quantize_colors = TRUE;
        info.desired_number_of_colors = kQuantizedColors;
    }
    if (FOptions.Performance == TJpegPerformance::jpBestSpeed) {
        info.dct_method = JDCT_IFAST;
        info.two_pass_quantize = FALSE;
        info.dither_mode = JDITHER_ORDERED;
    }
    const bool buffered = FOptions.ProgressiveDisplay && jpeg_has_multiple_scans(&info);
    info.buffered_image = buffered ? TRUE : FALSE;

    // Refuse a picture too big for a raster before libjpeg allocates for it, and
    // make the raster first: libjpeg has what is left of the budget.
    d.Guarded([&info] { jpeg_calc_output_dimensions(&info); });
    load.Budget().SetPicture(info.output_width, info.output_height);
    load.Budget().AllowFor(info.image_width, info.image_height);
    d.Info.mem->max_memory_to_use = static_cast<long>(load.Budget().Limit());

    TRaster result(0, 0, quantize ? TPixelFormat::pf8bit : TPixelFormat::pf24bit);
    TRaster* bitmap = &result;
    const int width = static_cast<int>(info.output_width);
    const int height = static_cast<int>(info.output_height);
    // Rows handed to a sink pass through a single row.
    bitmap->SetSizeUninitialized(width, sink && height > 0 ? 1 : height);
    if (bitmap->Empty())
        throw EJPEG(JERR_EMPTY_IMAGE);
    d.Guarded([&info] { jpeg_start_decompress(&info); });
    const int components = quantize ? 1 : info.output_components;
    if (components != (fourComponent ? 4 : bitmap->BytesPerPixel()))
        throw EJPEG(JERR_CONVERSION_NOTIMPL);

    TBudgetCharge cmykCharge;
    cmykCharge.Set(fourComponent ? uint64_t{info.output_width} * 4 : 0);
    std::vector<uint8_t> cmykRow(fourComponent ? static_cast<size_t>(width) * 4 : 0);
    const bool inverted = info.saw_Adobe_marker != 0;
    TRaster* raster = bitmap;
    uint8_t* cmyk = cmykRow.data();
    // Output row y lands in raster row y; a short answer from libjpeg (it cannot
    // happen with this source) leaves the remaining rows black. With a sink every
    // row is decoded into the one row and handed over, on the last pass only; the
    // sink runs between libjpeg calls, never beneath one, so no longjmp crosses it.
    bool lastPass = !buffered;
    auto readRows = [&info, raster, cmyk, height, width, inverted, sink, &lastPass] {
        const bool handOver = sink && lastPass;
        int y = 0;
        while (y < height) {
            uint8_t* row = raster->Bits() + (sink ? 0 : raster->Stride() * static_cast<size_t>(y));
            JSAMPROW target = cmyk ? cmyk : row;
            if (jpeg_read_scanlines(&info, &target, 1) != 1)
                break;
            if (cmyk)
                CmykToBgr(cmyk, row, width, inverted);
            if (handOver)
                (*sink)(y, height, *raster);
            ++y;
        }
        if (sink) {
            if (handOver && y < height) {
                std::memset(raster->Bits(), 0, raster->Stride());
                for (; y < height; ++y)
                    (*sink)(y, height, *raster);
            }
        } else if (y < height) {
            std::memset(raster->Bits() + raster->Stride() * static_cast<size_t>(y), 0,
                        raster->Stride() * static_cast<size_t>(height - y));
        }
    };

    if (!buffered) {
        if (quantize)
            TakeColorMap(info, *bitmap);
        d.Guarded(readRows);
    } else {
        // Each scan is shown as it arrives; the last pass is the finished picture.
        for (;;) {
            bool finalPass = false;
            // Two-pass quantisation would keep the colours chosen from the first,
            // coarse scan; let every pass choose its own.
            if (quantize && info.two_pass_quantize && info.out_color_components == 3)
                info.colormap = nullptr;
            d.Guarded([&info, &finalPass] {
                finalPass = jpeg_input_complete(&info) != 0;
                jpeg_start_output(&info, info.input_scan_number);
            });
            lastPass = finalPass;
            if (quantize)
                TakeColorMap(info, *bitmap);
            d.Guarded(readRows);
            d.Guarded([&info] { jpeg_finish_output(&info); });
            if (finalPass)
                break;
        }
    }
    d.Guarded([&info] { jpeg_finish_decompress(&info); });
    return result;
}

} // namespace korvalis
