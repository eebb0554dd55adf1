// "Open..." to the slot painted, exactly as the window does it once its dialog
// has answered the file (the slot's picture control and its kept source, the
// options a slot starts with), for camera JPEGs within and beyond a slot's
// source budget and 12-megapixel RGB and RGBA PNGs, against libjpeg-turbo and
// libpng decoding the same files alone; and each load's peak memory against
// the decoded 24-bit picture. The pictures are made here.
#include "imaging/ImageSlots.h"

#include <benchmark/benchmark.h>
#include <cstdio>
// jpeglib.h needs stdio.h before it.
#include <jpeglib.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace korvalis;

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;
constexpr int kPngWidth = 4000;
constexpr int kPngHeight = 3000;

// A photo-like picture: smooth gradients with a little fine detail, so the
// entropy coder has real work.
void MakeJpeg(const std::string& path, int width, int height) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::perror(path.c_str());
        std::exit(1);
    }
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = width;
    c.image_height = height;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 90, TRUE);
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(size_t(width) * 3);
    uint32_t noise = 12345;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const int n = int(noise >> 28) - 8;
            const double fx = x / double(width), fy = y / double(height);
            row[3 * x] = uint8_t(std::clamp(int(200 * fx + 30 * std::sin(fy * 40)) + n, 0, 255));
            row[3 * x + 1] =
                uint8_t(std::clamp(int(180 * fy + 40 * std::cos(fx * 25)) + n, 0, 255));
            row[3 * x + 2] =
                uint8_t(std::clamp(int(120 + 100 * std::sin((fx + fy) * 9)) + n, 0, 255));
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&c, rows, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::fclose(f);
}

// An RGB PNG of the same kind of picture, written by libpng at its defaults;
// with alpha, its transparency grows from left to right, so a load composes
// every pixel.
void MakePng(const std::string& path, bool alpha) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::perror(path.c_str());
        std::exit(1);
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_set_IHDR(png, info, kPngWidth, kPngHeight, 8,
                 alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const int channels = alpha ? 4 : 3;
    std::vector<uint8_t> row(size_t(kPngWidth) * channels);
    uint32_t noise = 12345;
    for (int y = 0; y < kPngHeight; ++y) {
        for (int x = 0; x < kPngWidth; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const int n = int(noise >> 28) - 8;
            const double fx = x / double(kPngWidth), fy = y / double(kPngHeight);
            uint8_t* p = row.data() + size_t(channels) * x;
            p[0] = uint8_t(std::clamp(int(200 * fx + 30 * std::sin(fy * 40)) + n, 0, 255));
            p[1] = uint8_t(std::clamp(int(180 * fy + 40 * std::cos(fx * 25)) + n, 0, 255));
            p[2] = uint8_t(std::clamp(int(120 + 100 * std::sin((fx + fy) * 9)) + n, 0, 255));
            if (alpha)
                p[3] = uint8_t(std::clamp(int(255 * fx) + n, 0, 255));
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
}

// The window's status panel, which would say "Error loading image".
class TStatus : public IStatusPanel {
  public:
    void SetText(const std::string& text) override { FText = text; }
    std::string Text() const override { return FText; }

  private:
    std::string FText;
};

// As the window opens a file (its Open... and a file dropped on a slot): the
// slot's own source keeps what it may of the picture for a later change of
// options, with the options a slot starts with.
void OpenToSlot(const std::string& path) {
    TRasterPictureControl slot;
    TSlotSource source;
    TStatus status;
    LoadSlotFile(slot, path, status, source, TPictureOptions{});
    if (!status.Text().empty() || slot.Changes() == 0) {
        std::fprintf(stderr, "the load failed\n");
        std::exit(1);
    }
    benchmark::DoNotOptimize(slot.Picture().Bits());
}

// The peer: libpng alone, same file, every row into a freshly allocated
// full-size buffer.
void LibpngDecode(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_read_info(png, info);
    const size_t stride = png_get_rowbytes(png, info);
    const uint32_t height = png_get_image_height(png, info);
    std::unique_ptr<uint8_t[]> pixels(new uint8_t[stride * height]);
    std::vector<png_bytep> rows(height);
    for (uint32_t y = 0; y < height; ++y)
        rows[y] = pixels.get() + stride * y;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    benchmark::DoNotOptimize(pixels.get());
}

// The peer: libjpeg-turbo alone, same file, same output layout (BGR), every row
// into a freshly allocated full-size buffer.
void LibjpegDecode(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    jpeg_decompress_struct d{};
    jpeg_error_mgr err{};
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_stdio_src(&d, f);
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&d);
    const size_t stride = size_t(d.output_width) * 3;
    std::unique_ptr<uint8_t[]> pixels(new uint8_t[stride * d.output_height]);
    while (d.output_scanline < d.output_height) {
        JSAMPROW rows[1] = {pixels.get() + stride * d.output_scanline};
        jpeg_read_scanlines(&d, rows, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    std::fclose(f);
    benchmark::DoNotOptimize(pixels.get());
}

struct TPicture {
    const char* Label;
    const char* File;
    int Width, Height;
    void (*Make)(const std::string& path);
    void (*Peer)(const std::string& path);
    const char* PeerName;
    std::string Path = {};
    std::string OursName() const { return std::string("Open ") + Label; }
    std::string PeerRun() const { return std::string(PeerName) + " decoding " + Label; }
    double DecodedMiB() const { return double(Width) * Height * 3 / 1048576.0; }
};

TPicture gPictures[] = {
    // Within a slot's budget: decoded whole and kept for a change of options.
    {"JPEG 3264 x 2448 (kept)", "camera-8mp.jpg", 3264, 2448,
     [](const std::string& path) { MakeJpeg(path, 3264, 2448); }, LibjpegDecode, "libjpeg-turbo"},
    // Beyond it: fitted row by row as it decodes.
    {"JPEG 6000 x 4000", "camera-24mp.jpg", kWidth, kHeight,
     [](const std::string& path) { MakeJpeg(path, kWidth, kHeight); }, LibjpegDecode,
     "libjpeg-turbo"},
    {"PNG 4000 x 3000 RGB", "rgb-12mp.png", kPngWidth, kPngHeight,
     [](const std::string& path) { MakePng(path, false); }, LibpngDecode, "libpng"},
    {"PNG 4000 x 3000 RGBA", "rgba-12mp.png", kPngWidth, kPngHeight,
     [](const std::string& path) { MakePng(path, true); }, LibpngDecode, "libpng"},
};

long StatusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + std::strlen(field));
    return -1;
}

// Peak resident memory added by one load, measured by the kernel: the peak
// counter is reset just before the load (Linux clear_refs 5).
double PeakLoadMiB(const std::string& path) {
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = StatusKiB("VmRSS:");
    OpenToSlot(path);
    const long peak = StatusKiB("VmHWM:");
    return (peak - before) / 1024.0;
}

class TRatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration) {
                Wall[run.run_name.function_name].push_back(run.GetAdjustedRealTime());
                Cpu[run.run_name.function_name].push_back(run.GetAdjustedCPUTime());
            }
        ConsoleReporter::ReportRuns(runs);
    }
    // The median, or with lowest the least disturbed repetition.
    static double Pick(const std::map<std::string, std::vector<double>>& times,
                       const std::string& name, bool lowest) {
        auto it = times.find(name);
        if (it == times.end() || it->second.empty())
            return 0;
        std::vector<double> v = it->second;
        std::sort(v.begin(), v.end());
        return lowest ? v.front() : v[v.size() / 2];
    }
    std::map<std::string, std::vector<double>> Wall, Cpu;
};

} // namespace

int main(int argc, char** argv) {
    char dir[] = "/tmp/korvalis-bench-XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    for (TPicture& picture : gPictures) {
        picture.Path = std::string(dir) + "/" + picture.File;
        picture.Make(picture.Path);
    }

    // Memory first, in a process that has not yet cached large blocks.
    std::vector<double> peakMiB;
    for (const TPicture& picture : gPictures)
        peakMiB.push_back(PeakLoadMiB(picture.Path));

    // Several short repetitions of each side, interleaved at random, so a busy
    // machine weighs on both alike; the table takes the medians.
    for (const TPicture& picture : gPictures) {
        const double megapixels = double(picture.Width) * picture.Height / 1e6;
        const auto run = [megapixels](void (*load)(const std::string&), const std::string& path) {
            return [megapixels, load, path](benchmark::State& state) {
                for (auto _ : state)
                    load(path);
                state.counters["MP/s"] =
                    benchmark::Counter(megapixels, benchmark::Counter::kIsIterationInvariantRate);
            };
        };
        using TLoad = void (*)(const std::string&);
        for (auto [name, load] : {std::pair<std::string, TLoad>{picture.OursName(), OpenToSlot},
                                  std::pair<std::string, TLoad>{picture.PeerRun(), picture.Peer}})
            benchmark::RegisterBenchmark(name.c_str(), run(load, picture.Path))
                ->Unit(benchmark::kMillisecond)
                ->MinTime(1.0)
                ->Repetitions(7);
    }

    // Interleave the benchmarks unless the caller chose otherwise.
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());
    TRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    // Wall time is the user's; CPU time of the one decoding thread is steadier on
    // a busy machine. Both are shown.
    std::printf("\n| measure | korvalis | peer | ratio | target |\n|---|---|---|---|---|\n");
    const struct {
        const std::map<std::string, std::vector<double>>* Times;
        bool Lowest;
        const char* Label;
    } rows[] = {{&reporter.Wall, false, "median wall time"},
                {&reporter.Wall, true, "fastest wall time"},
                {&reporter.Cpu, false, "median CPU time"}};
    for (const TPicture& picture : gPictures)
        for (const auto& row : rows) {
            const double load = TRatioReporter::Pick(*row.Times, picture.OursName(), row.Lowest);
            const double peer = TRatioReporter::Pick(*row.Times, picture.PeerRun(), row.Lowest);
            if (load > 0 && peer > 0)
                std::printf("| Open... to the slot painted, %s vs %s decoding alone, %s | %.1f ms "
                            "| %.1f ms | %.3f | <= 1.10 |\n",
                            picture.Label, picture.PeerName, row.Label, load, peer, load / peer);
        }
    for (size_t i = 0; i < std::size(gPictures); ++i) {
        const double limit = 1.5 * gPictures[i].DecodedMiB() + 16;
        std::printf("| peak memory of the %s load vs 1.5 x decoded 24-bit picture + 16 MiB | "
                    "%.1f MiB | %.1f MiB | %.3f | <= 1.00 |\n",
                    gPictures[i].Label, peakMiB[i], limit, peakMiB[i] / limit);
    }
    for (const TPicture& picture : gPictures)
        std::remove(picture.Path.c_str());
    rmdir(dir);
    return 0;
}
