// Converting the three slots into the bundle, against a plain copy of the same
// number of bytes (three 24-bit slots in, three RGB565 pictures out).
#include "bundle/ResourceBundle.h"
#include "graphics/Raster.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

using namespace korvalis;

namespace {

constexpr int kPixels = 3 * 240 * 320;

TRaster NoiseSlot(unsigned seed) {
    TRaster r(240, 320);
    std::mt19937 rng(seed);
    for (int y = 0; y < 320; ++y) {
        uint8_t* row = r.ScanLine(y);
        for (size_t i = 0; i < r.Stride(); ++i)
            row[i] = uint8_t(rng());
    }
    return r;
}

void BM_Image2BinThreeSlots(benchmark::State& state) {
    TResourceBundle bundle;
    bundle.Initialise();
    TRaster slots[3] = {NoiseSlot(1), NoiseSlot(2), NoiseSlot(3)};
    for (auto _ : state) {
        bundle.Image2Bin(slots[0], kSlots[0].Offset);
        bundle.Image2Bin(slots[1], kSlots[1].Offset);
        bundle.Image2Bin(slots[2], kSlots[2].Offset);
        benchmark::DoNotOptimize(bundle.Data().data());
    }
}

// Reads the same 24-bit input and writes the same 2-byte output, with no arithmetic.
void BM_PlainCopySameBytes(benchmark::State& state) {
    TRaster slots[3] = {NoiseSlot(1), NoiseSlot(2), NoiseSlot(3)};
    std::vector<uint8_t> out(kPixels * 2);
    std::vector<uint8_t> in(kPixels * 3);
    for (int s = 0; s < 3; ++s)
        std::memcpy(in.data() + s * 240 * 320 * 3, slots[s].Bits(), 240 * 320 * 3);
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), out.size());
        std::memcpy(out.data(), in.data() + out.size() / 2, out.size() / 2);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}

} // namespace

BENCHMARK(BM_Image2BinThreeSlots);
BENCHMARK(BM_PlainCopySameBytes);

// Prints nanoseconds per pixel of both and their ratio after the table.
class TRatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const double ns = run.GetAdjustedCPUTime() / kPixels; // CPU time in ns
            if (run.benchmark_name().find("Image2Bin") != std::string::npos)
                FConvert = ns;
            else
                FCopy = ns;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        if (FConvert > 0 && FCopy > 0)
            std::printf("Image2Bin: %.3f ns/pixel, plain copy of the same bytes: %.3f ns/pixel, "
                        "ratio %.1f\n",
                        FConvert, FCopy, FConvert / FCopy);
    }

  private:
    double FConvert = 0, FCopy = 0;
};

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    TRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
