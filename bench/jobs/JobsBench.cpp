// Whole jobs as a user runs them: `korvalis decode FILE -o OUT.ppm` and
// `korvalis bundle --logo FILE -o OUT.bin` against a small program on libpng,
// libjpeg-turbo and stb_image (jobs_peer) writing the same PPM. The pictures are
// made here; every run is a fresh process, ours and the peer's alternately, and
// the kernel's accounting of each child gives its CPU time and peak memory.
//
//   bench_jobs [--runs N] [--only SUBSTRING] [--dir DIR (kept, reused)]
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// jpeglib.h needs stdio.h and size_t before it.
#include <jpeglib.h>
#include <png.h>

namespace {

struct TKind {
    const char* Name;
    const char* File;
    int Width, Height;
};

const TKind kKinds[] = {
    {"PNG RGB 8-bit", "rgb.png", 4000, 3000},
    {"PNG RGBA 8-bit", "rgba.png", 4000, 3000},
    {"PNG palette", "palette.png", 4000, 3000},
    {"PNG grey 8-bit", "grey.png", 4000, 3000},
    {"PNG RGB 16-bit", "rgb16.png", 4000, 3000},
    {"PNG RGB Adam7", "adam7.png", 4000, 3000},
    {"JPEG baseline", "baseline.jpg", 6000, 4000},
    {"JPEG progressive", "progressive.jpg", 6000, 4000},
    {"JPEG greyscale", "grey.jpg", 6000, 4000},
    {"BMP 24-bit", "rgb24.bmp", 4000, 3000},
    {"BMP RLE8", "rle8.bmp", 4000, 3000},
};

// A photo-like picture: smooth gradients with a little noise, so the
// compressors and entropy coders have real work.
struct TPhoto {
    int Width, Height;
    uint32_t Noise = 12345;
    void Pixel(int x, int y, uint8_t* rgb) {
        Noise = Noise * 1664525u + 1013904223u;
        const int n = int(Noise >> 28) - 8;
        const double fx = x / double(Width), fy = y / double(Height);
        rgb[0] = uint8_t(std::clamp(int(200 * fx + 30 * std::sin(fy * 40)) + n, 0, 255));
        rgb[1] = uint8_t(std::clamp(int(180 * fy + 40 * std::cos(fx * 25)) + n, 0, 255));
        rgb[2] = uint8_t(std::clamp(int(120 + 100 * std::sin((fx + fy) * 9)) + n, 0, 255));
    }
};

void Die(const std::string& what) {
    std::fprintf(stderr, "bench_jobs: %s\n", what.c_str());
    std::exit(1);
}

void MakePng(const std::string& path, const std::string& kind, int w, int h) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        Die("cannot write " + path);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)))
        Die("libpng failed on " + path);
    png_init_io(png, f);
    int type = PNG_COLOR_TYPE_RGB, depth = 8, channels = 3;
    if (kind == "rgba")
        type = PNG_COLOR_TYPE_RGB_ALPHA, channels = 4;
    else if (kind == "palette")
        type = PNG_COLOR_TYPE_PALETTE, channels = 1;
    else if (kind == "grey")
        type = PNG_COLOR_TYPE_GRAY, channels = 1;
    else if (kind == "rgb16")
        depth = 16;
    png_set_IHDR(png, info, uint32_t(w), uint32_t(h), depth, type,
                 kind == "adam7" ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> palette(256);
    for (int i = 0; i < 256; ++i)
        palette[size_t(i)] = {uint8_t(i), uint8_t((i * 7) & 255), uint8_t(255 - i)};
    if (type == PNG_COLOR_TYPE_PALETTE)
        png_set_PLTE(png, info, palette.data(), 256);
    png_write_info(png, info);
    const size_t bytes = size_t(w) * channels * (depth / 8);
    std::vector<uint8_t> image(bytes * size_t(h));
    TPhoto photo{w, h};
    for (int y = 0; y < h; ++y) {
        uint8_t* row = image.data() + bytes * size_t(y);
        for (int x = 0; x < w; ++x) {
            uint8_t rgb[3];
            photo.Pixel(x, y, rgb);
            if (channels == 1) {
                row[x] = uint8_t((rgb[0] * 3 + rgb[1] * 4 + rgb[2]) / 8);
            } else if (depth == 16) {
                for (int c = 0; c < 3; ++c) {
                    row[6 * x + 2 * c] = rgb[c];
                    row[6 * x + 2 * c + 1] = uint8_t(rgb[c] ^ (x & 0x3F));
                }
            } else {
                std::memcpy(row + size_t(channels) * x, rgb, 3);
                if (channels == 4)
                    row[4 * x + 3] = uint8_t(std::clamp(x * 255 / w + (rgb[2] >> 3), 0, 255));
            }
        }
    }
    std::vector<png_bytep> rows(static_cast<size_t>(h));
    for (int y = 0; y < h; ++y)
        rows[size_t(y)] = image.data() + bytes * size_t(y);
    png_write_image(png, rows.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
}

void MakeJpeg(const std::string& path, const std::string& kind, int w, int h) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        Die("cannot write " + path);
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = JDIMENSION(w);
    c.image_height = JDIMENSION(h);
    const bool grey = kind == "grey";
    c.input_components = grey ? 1 : 3;
    c.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 90, TRUE);
    if (kind == "progressive")
        jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(size_t(w) * 3);
    TPhoto photo{w, h};
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t rgb[3];
            photo.Pixel(x, y, rgb);
            if (grey)
                row[size_t(x)] = uint8_t((rgb[0] * 3 + rgb[1] * 4 + rgb[2]) / 8);
            else
                std::memcpy(row.data() + 3 * size_t(x), rgb, 3);
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&c, rows, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::fclose(f);
}

void Put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out[at + size_t(i)] = uint8_t(v >> (8 * i));
}

// A 24-bit bitmap, or an RLE8 one of bands a few pixels wide with noisy stretches
// written as absolute runs.
void MakeBmp(const std::string& path, const std::string& kind, int w, int h) {
    const bool rle = kind == "rle8";
    const uint32_t tableBytes = rle ? 1024 : 0;
    std::vector<uint8_t> out(54 + tableBytes, 0);
    out[0] = 'B';
    out[1] = 'M';
    Put32(out, 10, 54 + tableBytes);
    Put32(out, 14, 40);
    Put32(out, 18, uint32_t(w));
    Put32(out, 22, uint32_t(h));
    out[26] = 1;
    out[28] = rle ? 8 : 24;
    Put32(out, 30, rle ? 1 : 0);
    if (rle) {
        Put32(out, 46, 256);
        for (int i = 0; i < 256; ++i) {
            out[54 + 4 * size_t(i)] = uint8_t(255 - i);
            out[55 + 4 * size_t(i)] = uint8_t((i * 5) & 255);
            out[56 + 4 * size_t(i)] = uint8_t(i);
        }
    }
    TPhoto photo{w, h};
    const size_t stride = (size_t(w) * 3 + 3) / 4 * 4;
    std::vector<uint8_t> indices(static_cast<size_t>(w));
    for (int y = h - 1; y >= 0; --y) {
        if (!rle) {
            const size_t start = out.size();
            out.resize(start + stride, 0);
            for (int x = 0; x < w; ++x) {
                uint8_t rgb[3];
                photo.Pixel(x, y, rgb);
                out[start + 3 * size_t(x)] = rgb[2];
                out[start + 3 * size_t(x) + 1] = rgb[1];
                out[start + 3 * size_t(x) + 2] = rgb[0];
            }
            continue;
        }
        for (int x = 0; x < w; ++x) {
            uint8_t rgb[3];
            photo.Pixel(x, y, rgb);
            const bool noisy = ((x / 64 + y / 48) % 5) == 0;
            indices[size_t(x)] = noisy ? rgb[0] : uint8_t((x / 12 + y / 9) & 255);
        }
        for (int x = 0; x < w;) {
            int run = 1;
            while (x + run < w && run < 255 && indices[size_t(x + run)] == indices[size_t(x)])
                ++run;
            if (run >= 3 || w - x < 3) {
                out.push_back(uint8_t(run));
                out.push_back(indices[size_t(x)]);
                x += run;
                continue;
            }
            int n = 0; // absolute run up to the next stretch of three equal pixels
            while (x + n < w && n < 255 &&
                   !(x + n + 2 < w && indices[size_t(x + n)] == indices[size_t(x + n + 1)] &&
                     indices[size_t(x + n)] == indices[size_t(x + n + 2)]))
                ++n;
            if (n < 3)
                n = std::min(3, w - x);
            out.push_back(0);
            out.push_back(uint8_t(n));
            out.insert(out.end(), indices.begin() + x, indices.begin() + x + n);
            if (n & 1)
                out.push_back(0);
            x += n;
        }
        out.push_back(0);
        out.push_back(y == 0 ? 1 : 0);
    }
    Put32(out, 2, uint32_t(out.size()));
    Put32(out, 34, uint32_t(out.size() - 54 - tableBytes));
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(out.data()), std::streamsize(out.size()));
}

void MakePicture(const std::string& dir, const TKind& kind) {
    const std::string path = dir + "/" + kind.File;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && st.st_size > 0)
        return;
    const std::string file = kind.File;
    const std::string stem = file.substr(0, file.find('.'));
    const std::string ending = file.substr(file.find('.') + 1);
    std::fprintf(stderr, "making %s\n", path.c_str());
    const std::string partial = path + ".partial.";
    if (ending == "png")
        MakePng(partial + ending, stem, kind.Width, kind.Height);
    else if (ending == "jpg")
        MakeJpeg(partial + ending, stem, kind.Width, kind.Height);
    else
        MakeBmp(partial + ending, stem, kind.Width, kind.Height);
    std::rename((partial + ending).c_str(), path.c_str());
}

struct TRun {
    double Wall = 0; // ms
    double Cpu = 0;  // ms, user + system
    double PeakMiB = 0;
};

TRun Run(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const std::string& a : command)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    timespec start{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t pid = fork();
    if (pid == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid)
        Die("cannot run " + command[0]);
    clock_gettime(CLOCK_MONOTONIC, &end);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        Die(command[0] + " " + command[1] + " " + command[2] + " failed");
    TRun r;
    r.Wall = (end.tv_sec - start.tv_sec) * 1e3 + (end.tv_nsec - start.tv_nsec) / 1e6;
    r.Cpu = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
            (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    r.PeakMiB = usage.ru_maxrss / 1024.0;
    return r;
}

double Least(const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct TSeries {
    std::vector<double> Wall, Cpu, Peak;
    void Add(const TRun& r) {
        Wall.push_back(r.Wall);
        Cpu.push_back(r.Cpu);
        Peak.push_back(r.PeakMiB);
    }
};

bool SameFile(const std::string& a, const std::string& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    return fa && fb &&
           std::equal(std::istreambuf_iterator<char>(fa), std::istreambuf_iterator<char>(),
                      std::istreambuf_iterator<char>(fb), std::istreambuf_iterator<char>());
}

const char* Mark(bool ok) {
    return ok ? "yes" : "**no**";
}

} // namespace

int main(int argc, char** argv) {
    int runs = 5;
    std::string only, dir;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--runs")
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (a == "--only")
            only = argv[i + 1];
        else if (a == "--dir")
            dir = argv[i + 1];
    }
    const bool keep = !dir.empty();
    if (!keep) {
        char name[] = "/tmp/korvalis-jobs-XXXXXX";
        if (!mkdtemp(name))
            Die("cannot make a directory");
        dir = name;
    }
    mkdir(dir.c_str(), 0755);
    const std::string ours = KORVALIS_EXE, peer = JOBS_PEER_EXE;
    std::printf("korvalis: %s\npeer:     %s\npictures: %s, %d runs of each, alternating\n\n",
                ours.c_str(), peer.c_str(), dir.c_str(), runs);
    std::printf("| picture | MP | decode ms ours / peer (wall) | wall ratio | CPU ratio | least "
                "CPU ratio | "
                "peak MiB ours / peer | bundle ms (wall) | bundle / peer wall | CPU | "
                "bundle peak MiB (limit) | same PPM |\n"
                "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|\n");
    bool allOk = true;
    for (const TKind& kind : kKinds) {
        if (!only.empty() && std::string(kind.Name).find(only) == std::string::npos &&
            std::string(kind.File).find(only) == std::string::npos)
            continue;
        MakePicture(dir, kind);
        const std::string picture = dir + "/" + kind.File;
        const std::string oursOut = dir + "/ours.ppm", peerOut = dir + "/peer.ppm",
                          bundleOut = dir + "/bundle.bin";
        TSeries o, p, b;
        bool same = true;
        for (int r = 0; r < runs; ++r) {
            for (int step = 0; step < 3; ++step) {
                // Each round starts with a different one of the three.
                switch ((step + r) % 3) {
                case 0:
                    std::remove(oursOut.c_str());
                    o.Add(Run({ours, "decode", picture, "-o", oursOut}));
                    break;
                case 1:
                    std::remove(peerOut.c_str());
                    p.Add(Run({peer, picture, peerOut}));
                    break;
                case 2:
                    std::remove(bundleOut.c_str());
                    b.Add(Run({ours, "bundle", "--logo", picture, "-o", bundleOut}));
                    break;
                }
            }
            if (r == 0)
                same = SameFile(oursOut, peerOut);
        }
        std::remove(oursOut.c_str());
        std::remove(peerOut.c_str());
        std::remove(bundleOut.c_str());
        const double decodedMiB = double(kind.Width) * kind.Height * 3 / (1024.0 * 1024.0);
        const double limit = 1.5 * decodedMiB + 16;
        const double wallRatio = Median(o.Wall) / Median(p.Wall);
        const double cpuRatio = Median(o.Cpu) / Median(p.Cpu);
        const double bundleWall = Median(b.Wall) / Median(p.Wall);
        const double bundleCpu = Median(b.Cpu) / Median(p.Cpu);
        const double bundlePeak = Median(b.Peak);
        std::printf("| %s | %.0f | %.0f / %.0f | %.2f | %.2f | %.2f | %.0f / %.0f | %.0f | %.2f | "
                    "%.2f | %.0f (%.0f) | %s |\n",
                    kind.Name, kind.Width * double(kind.Height) / 1e6, Median(o.Wall),
                    Median(p.Wall), wallRatio, cpuRatio, Least(o.Cpu) / Least(p.Cpu),
                    Median(o.Peak), Median(p.Peak), Median(b.Wall), bundleWall, bundleCpu,
                    bundlePeak, limit, Mark(same));
        std::fflush(stdout);
        allOk = allOk && wallRatio <= 1.05 && bundleWall <= 1.10 && bundlePeak <= limit && same;
        if (!keep)
            std::remove(picture.c_str());
    }
    if (!keep)
        rmdir(dir.c_str());
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    std::printf("\ntargets: decode <= 1.05 x peer, bundle <= 1.10 x peer's decode, bundle peak <= "
                "1.5 x decoded 24-bit picture + 16 MiB: %s\nload average at the end: %.1f %.1f "
                "%.1f on %ld cores\n",
                allOk ? "all met" : "NOT all met", load[0], load[1], load[2],
                sysconf(_SC_NPROCESSORS_ONLN));
    return 0;
}
