#include "TestPictures.h"

#include "tests/decoders/JpegTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace korvalis::testing {

namespace {

// Removed with everything in it when the test process ends.
struct TScratch {
    TScratch() {
#ifdef _WIN32
        // No mkdtemp: a new name until one is not taken yet.
        std::random_device seed;
        for (int attempt = 0; attempt < 100 && Path.empty(); ++attempt) {
            const std::string name =
                ::testing::TempDir() + "korvalis-imaging-" + std::to_string(seed());
            if (std::filesystem::create_directory(name))
                Path = name;
        }
        if (Path.empty())
            throw std::runtime_error("cannot make a scratch directory");
#else
        std::string pattern = ::testing::TempDir() + "korvalis-imaging-XXXXXX";
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("cannot make a scratch directory");
        Path = pattern;
#endif
    }
    ~TScratch() {
        std::error_code ignored;
        std::filesystem::remove_all(Path, ignored);
    }
    std::string Path;
};

} // namespace

const std::string& ScratchDir() {
    static const TScratch scratch;
    return scratch.Path;
}

std::string WriteScratchFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = ScratchDir() + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
    return path;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TColor PatternColour(int x, int y) {
    return {uint8_t(x), uint8_t(y), uint8_t(((x >> 8) & 0x0F) | ((y >> 8) & 0x0F) << 4)};
}

TRaster PatternRaster(int width, int height) {
    TRaster r(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            r.SetPixel(x, y, PatternColour(x, y));
    return r;
}

std::vector<uint8_t> MakeBmp24(const TRaster& raster) {
    const uint32_t stride = (uint32_t(raster.Width()) * 3 + 3) & ~3u;
    const uint32_t pixels = stride * uint32_t(raster.Height());
    std::vector<uint8_t> out;
    auto put16 = [&out](uint32_t v) {
        out.push_back(uint8_t(v));
        out.push_back(uint8_t(v >> 8));
    };
    auto put32 = [&](uint32_t v) {
        put16(v & 0xFFFF);
        put16(v >> 16);
    };
    out.push_back('B');
    out.push_back('M');
    put32(54 + pixels);
    put32(0);
    put32(54);
    put32(40);
    put32(uint32_t(raster.Width()));
    put32(uint32_t(raster.Height()));
    put16(1);
    put16(24);
    for (int i = 0; i < 6; ++i)
        put32(0);
    for (int y = raster.Height() - 1; y >= 0; --y) {
        const size_t start = out.size();
        for (int x = 0; x < raster.Width(); ++x) {
            const TColor c = raster.Pixel(x, y);
            out.insert(out.end(), {c.b, c.g, c.r});
        }
        out.resize(start + stride, 0);
    }
    return out;
}

std::vector<uint8_t> MakeJpegOf(const TRaster& raster) {
    return MakeJpeg(
        raster.Width(), raster.Height(), TMakeSpace::Rgb,
        [&raster](int x, int y, uint8_t* out) {
            const TColor c = raster.Pixel(x, y);
            out[0] = c.r;
            out[1] = c.g;
            out[2] = c.b;
        },
        95);
}

TRaster ReadPpm(const std::string& path) {
    const std::vector<uint8_t> bytes = ReadWholeFile(path);
    size_t at = 0;
    auto token = [&]() {
        while (at < bytes.size() && (std::isspace(bytes[at]) || bytes[at] == '#')) {
            if (bytes[at] == '#')
                while (at < bytes.size() && bytes[at] != '\n')
                    ++at;
            else
                ++at;
        }
        std::string t;
        while (at < bytes.size() && !std::isspace(bytes[at]))
            t += char(bytes[at++]);
        return t;
    };
    if (token() != "P6")
        throw std::runtime_error("not a binary PPM");
    const int width = std::stoi(token());
    const int height = std::stoi(token());
    if (token() != "255")
        throw std::runtime_error("not an 8-bit PPM");
    ++at; // the single white-space byte before the samples
    if (width < 0 || height < 0 || bytes.size() - at != size_t(width) * height * 3)
        throw std::runtime_error("PPM samples do not match its size");
    TRaster r(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x, at += 3)
            r.SetPixel(x, y, {bytes[at], bytes[at + 1], bytes[at + 2]});
    return r;
}

bool AllBlack(const TRaster& raster) {
    for (int y = 0; y < raster.Height(); ++y)
        for (int x = 0; x < raster.Width(); ++x)
            if (raster.Pixel(x, y) != clBlack)
                return false;
    return true;
}

} // namespace korvalis::testing
