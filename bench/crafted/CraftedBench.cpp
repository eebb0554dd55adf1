// Small crafted files that declare large or costly pictures, each loaded as a
// slot loads a picture (DecodePictureFile) in a fresh process of its own. The
// child resets its peak resident size just before the load and reports the
// peak and the CPU time the load took; both are printed against generous
// bounds and against the 24-bit raster the file declares. Exits 1 when a load
// passes a bound or ends otherwise than expected.
#include "decoders/JpegPicture.h"
#include "graphics/Exceptions.h"
#include "imaging/PictureFile.h"
#include "tests/imaging/CraftedPictures.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

using namespace korvalis;
using namespace korvalis::testing;

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

struct TRow {
    const char* Name;
    const char* File; // its name gives the reader
    std::function<std::vector<uint8_t>()> Make;
    const char* Expected; // "loads", "out of resources" or a JPEG error text
    double Raster;        // bytes of the declared picture's 24-bit raster
    double MaxPeakMiB;
    double MaxCpuSeconds;
};

struct TResult {
    double PeakBytes = 0;
    double CpuSeconds = 0;
    char Outcome[64] = {};
};

long StatusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + std::strlen(field));
    return -1;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// In the child: the load alone, from a reset peak.
TResult LoadInChild(const std::string& path) {
    TResult result;
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = StatusKiB("VmRSS:");
    const double cpu = CpuSeconds();
    std::string outcome = "loads";
    try {
        const TRaster working = DecodePictureFile(path);
    } catch (const EOutOfResources&) {
        outcome = "out of resources";
    } catch (const Exception& e) {
        outcome = e.what();
    }
    result.CpuSeconds = CpuSeconds() - cpu;
    result.PeakBytes = double(StatusKiB("VmHWM:") - before) * 1024.0;
    std::snprintf(result.Outcome, sizeof result.Outcome, "%s", outcome.c_str());
    return result;
}

bool Run(const TRow& row, const std::string& dir) {
    const std::string path = dir + "/" + row.File;
    size_t fileBytes = 0;
    {
        const std::vector<uint8_t> bytes = row.Make();
        fileBytes = bytes.size();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    // A fresh process, so the load cannot reuse heap pages the files were made in.
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        if (dup2(fds[1], 3) < 0)
            _exit(1);
        execl("/proc/self/exe", "bench_crafted", "--load", path.c_str(), nullptr);
        _exit(1);
    }
    close(fds[1]);
    TResult result;
    const bool got = read(fds[0], &result, sizeof result) == sizeof result;
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    std::remove(path.c_str());
    if (!got) {
        std::printf("| %s | %zu | child died |\n", row.Name, fileBytes);
        return false;
    }
    const double peakMiB = result.PeakBytes / kMiB;
    const bool ok = std::string(result.Outcome) == row.Expected && peakMiB <= row.MaxPeakMiB &&
                    result.CpuSeconds <= row.MaxCpuSeconds;
    char ratio[32] = "-";
    if (row.Raster >= kMiB)
        std::snprintf(ratio, sizeof ratio, "%.2f", result.PeakBytes / row.Raster);
    std::printf("| %s | %zu | %s | %.1f | %.0f | %s | %.3f | %.0f | %s |\n", row.Name, fileBytes,
                result.Outcome, peakMiB, row.MaxPeakMiB, ratio, result.CpuSeconds,
                row.MaxCpuSeconds, ok ? "ok" : "OVER");
    std::fflush(stdout);
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--load") == 0) {
        const TResult result = LoadInChild(argv[2]);
        return write(3, &result, sizeof result) == sizeof result ? 0 : 1;
    }
    char dirTemplate[] = "/tmp/korvalis-crafted-XXXXXX";
    const char* dir = mkdtemp(dirTemplate);
    if (!dir)
        return 2;
    const double mib = kMiB;
    const double r17000 = 17000.0 * 17000 * 3, r16384 = 16384.0 * 16384 * 3;
    const double r357m = 357913941.0 * 3;
    const TRow rows[] = {
        {"PNG, 200 zTXt chunks of 8 MiB text each", "texts.png",
         [] { return PngWithTexts(200, size_t{8} << 20); }, "loads", 3, 64, 5},
        {"PNG, 100,000 empty chunks", "chunks100k.png", [] { return PngWithEmptyChunks(100000); },
         "loads", 3, 64, 2},
        {"PNG, 500,000 empty chunks", "chunks500k.png", [] { return PngWithEmptyChunks(500000); },
         "loads", 3, 96, 5},
        {"JPEG, progressive 2048 x 2048, 450 scans", "scans450.jpg",
         [] { return JpegRepeatingScan(2048, 2048, 450); }, "loads", 2048.0 * 2048 * 3, 64, 5},
        {"JPEG, progressive 2048 x 2048, 7700 scans", "scans7700.jpg",
         [] { return JpegRepeatingScan(2048, 2048, 7700); }, "JPEG error #19", 2048.0 * 2048 * 3,
         64, 5},
        {"BMP, 32-bit 357,913,941 x 1, no pixels (54 bytes)", "wide.bmp",
         [] { return BmpDeclaring(357913941, 1, 32, 0, 0, 0); }, "loads", r357m, r357m / mib + 64,
         10},
        {"BMP, RLE8 30000 x 30000 (1 KB)", "rle.bmp",
         [] { return BmpDeclaring(30000, 30000, 8, 1, 256, 16); }, "out of resources",
         30000.0 * 30000 * 3, 16, 1},
        {"JPEG, progressive 17000 x 17000, data cut short (under 1 KB)", "big.jpg",
         [] { return JpegDeclaring(17000, 17000); }, "loads", r17000, 2 * r17000 / mib + 64, 60},
        {"PNG, RGBA 16384 x 16384 of zeros (about 1 MB)", "rgba.png",
         [] { return PngOfZeros(16384, 16384, 6); }, "loads", r16384, 7 * r16384 / 3 / mib + 64,
         60},
    };
    std::printf("| crafted file | bytes | outcome | peak MiB | bound MiB | peak / 24-bit raster | "
                "CPU s | bound s | |\n|---|---:|---|---:|---:|---:|---:|---:|---|\n");
    bool ok = true;
    for (const TRow& row : rows)
        ok = Run(row, dir) && ok;
    rmdir(dir);
    return ok ? 0 : 1;
}
