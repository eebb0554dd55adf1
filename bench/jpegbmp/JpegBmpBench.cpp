// Reading pictures into a TRaster against the libraries users would otherwise
// call: libjpeg-turbo decoding into a plain buffer with our settings, and
// stb_image reading BMP files. Pictures are made here, in memory, at 4096x3072.
#include "decoders/BmpReader.h"
#include "decoders/JpegPicture.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <malloc.h>
#include <sys/resource.h>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_BMP
#include <stb/stb_image.h>

using namespace korvalis;

namespace {

constexpr int kWidth = 4096;
constexpr int kHeight = 3072; // 12.6 megapixels

// A photo-like picture: smooth gradients with some grain.
uint8_t Sample(int x, int y, int c, std::mt19937& rng) {
    const int base = (x * (c + 1) / 17 + y * (3 - c) / 13 + ((x / 64 + y / 64) % 2) * 40) & 255;
    return static_cast<uint8_t>(std::clamp(base + static_cast<int>(rng() % 9) - 4, 0, 255));
}

std::vector<uint8_t> MakeJpeg(bool progressive) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = kWidth;
    info.image_height = kHeight;
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 90, TRUE);
    if (progressive)
        jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    std::vector<uint8_t> row(kWidth * 3);
    std::mt19937 rng(7);
    while (info.next_scanline < info.image_height) {
        for (int x = 0; x < kWidth; ++x)
            for (int c = 0; c < 3; ++c)
                row[3 * x + c] = Sample(x, static_cast<int>(info.next_scanline), c, rng);
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&info, &r, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::vector<uint8_t> bytes(buffer, buffer + size);
    std::free(buffer);
    return bytes;
}

const std::vector<uint8_t>& Jpeg(bool progressive) {
    static const std::vector<uint8_t> baseline = MakeJpeg(false);
    static const std::vector<uint8_t> prog = MakeJpeg(true);
    return progressive ? prog : baseline;
}

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

std::vector<uint8_t> MakeBmp(int bitCount) {
    const size_t colors = bitCount == 8 ? 256 : 0;
    const size_t stride = (static_cast<size_t>(kWidth) * bitCount + 31) / 32 * 4;
    const size_t offBits = 54 + 4 * colors;
    std::vector<uint8_t> b(offBits + stride * kHeight);
    b[0] = 'B';
    b[1] = 'M';
    Put32(b, 2, static_cast<uint32_t>(b.size()));
    Put32(b, 10, static_cast<uint32_t>(offBits));
    Put32(b, 14, 40);
    Put32(b, 18, kWidth);
    Put32(b, 22, kHeight);
    b[26] = 1;
    b[28] = static_cast<uint8_t>(bitCount);
    Put32(b, 34, static_cast<uint32_t>(stride * kHeight));
    for (size_t i = 0; i < colors; ++i) {
        b[54 + 4 * i] = static_cast<uint8_t>(i);
        b[55 + 4 * i] = static_cast<uint8_t>(255 - i);
        b[56 + 4 * i] = static_cast<uint8_t>(i * 7);
    }
    std::mt19937 rng(11);
    for (int y = 0; y < kHeight; ++y)
        for (size_t x = 0; x < stride; ++x)
            b[offBits + y * stride + x] = Sample(static_cast<int>(x), y, 0, rng);
    return b;
}

const std::vector<uint8_t>& Bmp(int bitCount) {
    static std::map<int, std::vector<uint8_t>> files;
    auto it = files.find(bitCount);
    if (it == files.end())
        it = files.emplace(bitCount, MakeBmp(bitCount)).first;
    return it->second;
}

long MinorFaults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// Page faults show how much of a figure is the kernel handing out fresh memory.
void SetPixels(benchmark::State& state, long faultsBefore) {
    state.counters["MP/s"] = benchmark::Counter(double(kWidth) * kHeight / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
    state.counters["faults"] = benchmark::Counter(double(MinorFaults() - faultsBefore),
                                                  benchmark::Counter::kAvgIterations);
}

// --- JPEG -----------------------------------------------------------------------

TJpegPicture Loaded(bool progressive) {
    TBytesStream stream(Jpeg(progressive));
    TJpegPicture picture;
    picture.LoadFromStream(stream);
    return picture;
}

void BM_JpegIntoRaster(benchmark::State& state) {
    const TJpegPicture source = Loaded(state.range(0) != 0);
    const long faults = MinorFaults();
    for (auto _ : state) {
        TJpegPicture picture; // shares the compressed data, no cached raster
        picture.Assign(source);
        benchmark::DoNotOptimize(picture.Bitmap().Bits());
    }
    SetPixels(state, faults);
}

// The program's path: decode, then hand the caller its own raster.
void BM_JpegAssignToRaster(benchmark::State& state) {
    const TJpegPicture source = Loaded(state.range(0) != 0);
    const long faults = MinorFaults();
    for (auto _ : state) {
        TJpegPicture picture;
        picture.Assign(source);
        TRaster raster;
        picture.AssignTo(raster);
        benchmark::DoNotOptimize(raster.Bits());
    }
    SetPixels(state, faults);
}

struct TPeerErrors {
    jpeg_error_mgr Pub;
    std::jmp_buf Jump;
};

void PeerExit(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<TPeerErrors*>(cinfo->err)->Jump, 1);
}

void BM_LibjpegIntoBuffer(benchmark::State& state) {
    const std::vector<uint8_t>& file = Jpeg(state.range(0) != 0);
    const long faults = MinorFaults();
    for (auto _ : state) {
        jpeg_decompress_struct info{};
        TPeerErrors errors{};
        info.err = jpeg_std_error(&errors.Pub);
        errors.Pub.error_exit = PeerExit;
        if (setjmp(errors.Jump) != 0) {
            state.SkipWithError("libjpeg failed");
            jpeg_destroy_decompress(&info);
            break;
        }
        jpeg_create_decompress(&info);
        jpeg_mem_src(&info, file.data(), static_cast<unsigned long>(file.size()));
        jpeg_read_header(&info, TRUE);
        info.do_block_smoothing = TRUE;
        info.dct_method = JDCT_ISLOW;
        info.out_color_space = JCS_EXT_BGR;
        jpeg_start_decompress(&info);
        const size_t stride = size_t{info.output_width} * 3;
        std::unique_ptr<uint8_t[]> pixels(new uint8_t[stride * info.output_height]);
        while (info.output_scanline < info.output_height) {
            JSAMPROW row = pixels.get() + stride * info.output_scanline;
            jpeg_read_scanlines(&info, &row, 1);
        }
        jpeg_finish_decompress(&info);
        jpeg_destroy_decompress(&info);
        benchmark::DoNotOptimize(pixels.get());
    }
    SetPixels(state, faults);
}

// --- BMP --------------------------------------------------------------------------

void BM_BmpIntoRaster(benchmark::State& state) {
    const std::vector<uint8_t>& file = Bmp(static_cast<int>(state.range(0)));
    const long faults = MinorFaults();
    for (auto _ : state) {
        TBytesStream stream(file);
        TRaster raster;
        ReadBitmap(stream, raster);
        benchmark::DoNotOptimize(raster.Bits());
    }
    SetPixels(state, faults);
}

void BM_StbImageBmp(benchmark::State& state) {
    const std::vector<uint8_t>& file = Bmp(static_cast<int>(state.range(0)));
    const long faults = MinorFaults();
    for (auto _ : state) {
        int w = 0, h = 0, n = 0;
        stbi_uc* pixels =
            stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &w, &h, &n, 0);
        if (!pixels) {
            state.SkipWithError(stbi_failure_reason());
            break;
        }
        benchmark::DoNotOptimize(pixels);
        stbi_image_free(pixels);
    }
    SetPixels(state, faults);
}

// The fastest of the repetitions is the figure least disturbed by other work on
// the machine; repetitions of ours and the peer's are interleaved (see main).
double Fastest(const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
}

BENCHMARK(BM_JpegIntoRaster)
    ->Arg(0)
    ->Arg(1)
    ->ComputeStatistics("min", Fastest)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegAssignToRaster)
    ->Arg(0)
    ->Arg(1)
    ->ComputeStatistics("min", Fastest)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibjpegIntoBuffer)
    ->Arg(0)
    ->Arg(1)
    ->ComputeStatistics("min", Fastest)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BmpIntoRaster)
    ->Arg(8)
    ->Arg(24)
    ->Arg(32)
    ->ComputeStatistics("min", Fastest)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StbImageBmp)
    ->Arg(8)
    ->Arg(24)
    ->Arg(32)
    ->ComputeStatistics("min", Fastest)
    ->Unit(benchmark::kMillisecond);

// Keeps every timing so the ratios can be printed after the run.
class TRatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        // A single run, or the fastest when repeated.
        for (const Run& run : runs) {
            if (run.error_occurred)
                continue;
            const std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Iteration ? Times.count(name) == 0
                                                  : run.aggregate_name == "min")
                Times[name] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
        }
        ConsoleReporter::ReportRuns(runs);
    }
    struct TTime {
        double Real, Cpu;
    };
    std::map<std::string, TTime> Times;
};

// Wall time and CPU time both: on a shared machine the CPU ratio is the steadier.
void PrintRatio(const TRatioReporter& r, const char* what, const std::string& ours,
                const std::string& peer, const char* peerName, double target) {
    const auto a = r.Times.find(ours), b = r.Times.find(peer);
    if (a == r.Times.end() || b == r.Times.end())
        return;
    const double real = a->second.Real / b->second.Real;
    const double cpu = a->second.Cpu / b->second.Cpu;
    std::printf("| %s | %.1f ms | %s %.1f ms | %.3f | %.3f | <= %.2f |\n", what, a->second.Cpu,
                peerName, b->second.Cpu, cpu, real, target);
}

} // namespace

int main(int argc, char** argv) {
    // Defaults for a fair comparison; the command line may override them.
    std::vector<char*> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=7";
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    std::string aggregates = "--benchmark_report_aggregates_only=true";
    args.insert(args.begin() + 1, {repetitions.data(), interleave.data(), aggregates.data()});
    int count = static_cast<int>(args.size());
    // glibc otherwise moves its mmap threshold as blocks come and go, so a run
    // sometimes gets a whole picture's memory back without page faults and
    // sometimes not. A fixed threshold gives every decoder fresh pages, as the
    // program's one-time load has.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    benchmark::Initialize(&count, args.data());
    TRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::printf(
        "\n| Reading (4096x3072) | Ours (CPU) | Peer (CPU) | Ratio CPU | Ratio wall | Target "
        "|\n|---|---|---|---|---|---|\n");
    PrintRatio(reporter, "JPEG baseline, decode into TRaster", "BM_JpegIntoRaster/0",
               "BM_LibjpegIntoBuffer/0", "libjpeg-turbo", 1.05);
    PrintRatio(reporter, "JPEG baseline, AssignTo a caller's TRaster", "BM_JpegAssignToRaster/0",
               "BM_LibjpegIntoBuffer/0", "libjpeg-turbo", 1.05);
    PrintRatio(reporter, "JPEG progressive, decode into TRaster", "BM_JpegIntoRaster/1",
               "BM_LibjpegIntoBuffer/1", "libjpeg-turbo", 1.05);
    PrintRatio(reporter, "JPEG progressive, AssignTo a caller's TRaster", "BM_JpegAssignToRaster/1",
               "BM_LibjpegIntoBuffer/1", "libjpeg-turbo", 1.05);
    for (const char* bits : {"8", "24", "32"})
        PrintRatio(reporter, (std::string("BMP ") + bits + "-bit").c_str(),
                   std::string("BM_BmpIntoRaster/") + bits, std::string("BM_StbImageBmp/") + bits,
                   "stb_image", 1.00);
    return 0;
}
