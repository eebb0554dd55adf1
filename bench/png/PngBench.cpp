// Decoding large PNG pictures: this reader against libpng and libspng, all on
// the same system zlib, each decoding the same bytes to 8-bit rows. The
// pictures are written here with libpng; nothing is read from disk.
#include "decoders/PngPicture.h"

#include <benchmark/benchmark.h>
#include <png.h>
#include <spng.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::atomic<long> gAllocations{0};

} // namespace

void* operator new(size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) {
    return operator new(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}

namespace {

using namespace korvalis;

constexpr int kSize = 2048;

struct TKind {
    const char* Name;
    int ColorType;
    bool Interlaced;
    int Channels;
};

const TKind kKinds[] = {
    {"rgb", PNG_COLOR_TYPE_RGB, false, 3},
    {"rgb_interlaced", PNG_COLOR_TYPE_RGB, true, 3},
    {"rgba", PNG_COLOR_TYPE_RGBA, false, 4},
    {"rgba_interlaced", PNG_COLOR_TYPE_RGBA, true, 4},
    {"palette", PNG_COLOR_TYPE_PALETTE, false, 1},
    {"palette_interlaced", PNG_COLOR_TYPE_PALETTE, true, 1},
    {"grey", PNG_COLOR_TYPE_GRAY, false, 1},
    {"grey_interlaced", PNG_COLOR_TYPE_GRAY, true, 1},
};

void Fail(png_structp, png_const_charp message) {
    throw std::runtime_error(message);
}

void AppendBytes(png_structp png, png_bytep data, png_size_t count) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + count);
}

// A photograph-like picture: smooth shading with texture and a little noise,
// so that the file compresses about as well as real pictures and every
// filter type gets chosen somewhere.
std::vector<uint8_t> MakeFile(const TKind& kind) {
    std::vector<uint8_t> pixels(static_cast<size_t>(kSize) * kSize * kind.Channels);
    uint32_t seed = 12345;
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x)
            for (int c = 0; c < kind.Channels; ++c) {
                seed = seed * 1664525u + 1013904223u;
                const double wave = 60 * std::sin(x * 0.013 * (c + 1)) * std::cos(y * 0.021);
                const int noise = static_cast<int>(seed >> 29);
                int value = static_cast<int>(128 + wave + (x ^ y) % 17 + noise);
                if (kind.ColorType == PNG_COLOR_TYPE_PALETTE)
                    value = (value + (x / 64) * 13) % 256;
                pixels[(static_cast<size_t>(y) * kSize + x) * kind.Channels + c] =
                    static_cast<uint8_t>(std::clamp(value, 0, 255));
            }
    std::vector<uint8_t> file;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, Fail, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &file, AppendBytes, nullptr);
    png_set_IHDR(png, info, kSize, kSize, 8, kind.ColorType,
                 kind.Interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> palette(256);
    for (int i = 0; i < 256; ++i)
        palette[i] = {static_cast<png_byte>(i), static_cast<png_byte>(255 - i),
                      static_cast<png_byte>(i * 7)};
    if (kind.ColorType == PNG_COLOR_TYPE_PALETTE)
        png_set_PLTE(png, info, palette.data(), 256);
    png_set_filter(png, 0, PNG_ALL_FILTERS);
    png_write_info(png, info);
    std::vector<png_bytep> rows(kSize);
    for (int y = 0; y < kSize; ++y)
        rows[y] = pixels.data() + static_cast<size_t>(y) * kSize * kind.Channels;
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return file;
}

const std::vector<uint8_t>& File(int index) {
    static std::map<int, std::vector<uint8_t>> files;
    auto found = files.find(index);
    if (found == files.end())
        found = files.emplace(index, MakeFile(kKinds[index])).first;
    return found->second;
}

void KorvalisDecode(benchmark::State& state) {
    const auto& file = File(static_cast<int>(state.range(0)));
    long allocations = 0;
    for (auto _ : state) {
        const long before = gAllocations.load();
        TBytesStream stream{std::span<const uint8_t>(file)};
        TPngPicture picture;
        picture.ReadFromStream(stream);
        benchmark::DoNotOptimize(picture.Scanline(0));
        allocations = gAllocations.load() - before;
    }
    state.counters["allocs"] = static_cast<double>(allocations);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kSize * kSize);
}

struct TMemoryReader {
    const std::vector<uint8_t>* File;
    size_t Position;
};

void ReadBytes(png_structp png, png_bytep out, png_size_t count) {
    auto* reader = static_cast<TMemoryReader*>(png_get_io_ptr(png));
    if (reader->Position + count > reader->File->size())
        png_error(png, "read past the end");
    std::memcpy(out, reader->File->data() + reader->Position, count);
    reader->Position += count;
}

void LibpngDecodeOnce(const std::vector<uint8_t>& file) {
    TMemoryReader reader{&file, 0};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, Fail, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_read_fn(png, &reader, ReadBytes);
    png_read_info(png, info);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const size_t rowBytes = png_get_rowbytes(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    std::unique_ptr<uint8_t, decltype(&std::free)> pixels(
        static_cast<uint8_t*>(std::malloc(rowBytes * height)), &std::free);
    std::vector<png_bytep> rows(height);
    for (png_uint_32 y = 0; y < height; ++y)
        rows[y] = pixels.get() + rowBytes * y;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    benchmark::DoNotOptimize(pixels.get()[0]);
    png_destroy_read_struct(&png, &info, nullptr);
}

void LibpngDecode(benchmark::State& state) {
    const auto& file = File(static_cast<int>(state.range(0)));
    for (auto _ : state)
        LibpngDecodeOnce(file);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kSize * kSize);
}

void SpngDecode(benchmark::State& state) {
    const auto& file = File(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        spng_ctx* ctx = spng_ctx_new(0);
        spng_set_png_buffer(ctx, file.data(), file.size());
        size_t size = 0;
        spng_decoded_image_size(ctx, SPNG_FMT_PNG, &size);
        std::unique_ptr<uint8_t, decltype(&std::free)> pixels(
            static_cast<uint8_t*>(std::malloc(size)), &std::free);
        if (spng_decode_image(ctx, pixels.get(), size, SPNG_FMT_PNG, 0) != 0)
            state.SkipWithError("libspng failed");
        benchmark::DoNotOptimize(pixels.get()[0]);
        spng_ctx_free(ctx);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kSize * kSize);
}

// Keeps each benchmark's best CPU time over its repetitions: on a shared
// machine the least disturbed run is the one that says most.
class TRatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (!run.error_occurred && run.run_type == Run::RT_Iteration) {
                const double time = run.GetAdjustedCPUTime();
                auto [entry, added] = FTimes.emplace(run.benchmark_name(), time);
                if (!added)
                    entry->second = std::min(entry->second, time);
                const auto allocs = run.counters.find("allocs");
                if (allocs != run.counters.end())
                    FAllocs[run.benchmark_name()] = allocs->second.value;
            }
    }

    void PrintTable() const {
        std::printf(
            "\n| picture (%dx%d, 8-bit) | file KiB | korvalis ms (CPU) | libpng ms | libspng ms "
            "| korvalis / libpng | korvalis / libspng | allocations per decode |\n",
            kSize, kSize);
        std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
        for (int i = 0; i < static_cast<int>(std::size(kKinds)); ++i) {
            const auto ours = FTimes.find(Format("KorvalisDecode/%d", i));
            const auto png = FTimes.find(Format("LibpngDecode/%d", i));
            const auto spng = FTimes.find(Format("SpngDecode/%d", i));
            if (ours == FTimes.end() || png == FTimes.end() || spng == FTimes.end())
                continue;
            const auto allocs = FAllocs.find(Format("KorvalisDecode/%d", i));
            std::printf("| %s | %zu | %.2f | %.2f | %.2f | %.2f | %.2f | %.0f |\n", kKinds[i].Name,
                        File(i).size() / 1024, ours->second, png->second, spng->second,
                        ours->second / png->second, ours->second / spng->second,
                        allocs == FAllocs.end() ? -1.0 : allocs->second);
        }
    }

  private:
    std::map<std::string, double> FTimes;
    std::map<std::string, double> FAllocs;
};

void Register() {
    for (int i = 0; i < static_cast<int>(std::size(kKinds)); ++i) {
        benchmark::RegisterBenchmark("KorvalisDecode", KorvalisDecode)
            ->Arg(i)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("LibpngDecode", LibpngDecode)
            ->Arg(i)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("SpngDecode", SpngDecode)
            ->Arg(i)
            ->Unit(benchmark::kMillisecond);
    }
}

} // namespace

int main(int argc, char** argv) {
    Register();
    // Five repetitions unless asked otherwise; the table takes the best of them.
    std::vector<char*> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=5";
    if (std::none_of(args.begin(), args.end(), [](const char* arg) {
            return std::string_view(arg).starts_with("--benchmark_repetitions");
        }))
        args.insert(args.begin() + 1, repetitions.data());
    argc = static_cast<int>(args.size());
    argv = args.data();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    TRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintTable();
    benchmark::Shutdown();
    return 0;
}
