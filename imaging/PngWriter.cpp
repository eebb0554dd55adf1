#include "PngWriter.h"

#include "graphics/Exceptions.h"

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace korvalis {

namespace {

void PutBigEndian32(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(uint8_t(v >> 24));
    out.push_back(uint8_t(v >> 16));
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

int SamplesPerPixel(uint8_t colourType) {
    switch (colourType) {
    case 2:
        return 3;
    case 4:
        return 2;
    case 6:
        return 4;
    default:
        return 1;
    }
}

std::vector<uint8_t> Deflate(std::span<const uint8_t> raw) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::vector<uint8_t> out(size);
    if (compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 6) != Z_OK)
        throw EOutOfResources();
    out.resize(size);
    return out;
}

} // namespace

size_t PngRowBytes(uint32_t width, uint8_t bitDepth, uint8_t colourType) {
    const uint64_t bits = uint64_t(width) * bitDepth * SamplesPerPixel(colourType);
    return static_cast<size_t>((bits + 7) / 8);
}

void AppendPngChunk(std::vector<uint8_t>& out, std::string_view type,
                    std::span<const uint8_t> payload) {
    if (type.size() != 4)
        throw std::invalid_argument("A chunk type has four letters");
    PutBigEndian32(out, static_cast<uint32_t>(payload.size()));
    const size_t start = out.size();
    out.insert(out.end(), type.begin(), type.end());
    out.insert(out.end(), payload.begin(), payload.end());
    PutBigEndian32(out, static_cast<uint32_t>(
                            crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
}

std::vector<uint8_t> EncodePng(const TPngPixels& image) {
    const size_t rowBytes = PngRowBytes(image.Width, image.BitDepth, image.ColourType);
    if (image.Rows.size() != rowBytes * image.Height)
        throw std::invalid_argument("The rows do not hold the whole image");
    std::vector<uint8_t> raw;
    raw.reserve((rowBytes + 1) * image.Height);
    for (uint32_t y = 0; y < image.Height; ++y) {
        raw.push_back(0); // filter: none
        const uint8_t* row = image.Rows.data() + rowBytes * y;
        raw.insert(raw.end(), row, row + rowBytes);
    }
    const std::vector<uint8_t> compressed = Deflate(raw);

    std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<uint8_t> ihdr;
    PutBigEndian32(ihdr, image.Width);
    PutBigEndian32(ihdr, image.Height);
    ihdr.insert(ihdr.end(), {image.BitDepth, image.ColourType, 0, 0, 0});
    AppendPngChunk(out, "IHDR", ihdr);
    for (const TPngChunkData& chunk : image.Chunks)
        AppendPngChunk(out, chunk.Type, chunk.Payload);
    const size_t pieces = size_t(std::max(image.IdatPieces, 1));
    const size_t piece = (compressed.size() + pieces - 1) / pieces;
    for (size_t at = 0; at < compressed.size(); at += piece)
        AppendPngChunk(out, "IDAT",
                       std::span(compressed).subspan(at, std::min(piece, compressed.size() - at)));
    AppendPngChunk(out, "IEND", {});
    return out;
}

std::vector<uint8_t> EncodePngRgb(const TRaster& raster) {
    TPngPixels image;
    image.Width = static_cast<uint32_t>(raster.Width());
    image.Height = static_cast<uint32_t>(raster.Height());
    image.Rows.resize(size_t(image.Width) * 3 * image.Height);
    uint8_t* out = image.Rows.data();
    for (int y = 0; y < raster.Height(); ++y)
        for (int x = 0; x < raster.Width(); ++x) {
            const TColor c = raster.Pixel(x, y);
            *out++ = c.r;
            *out++ = c.g;
            *out++ = c.b;
        }
    return EncodePng(image);
}

void SavePngRgb(const TRaster& raster, const std::string& fileName) {
    const std::vector<uint8_t> bytes = EncodePngRgb(raster);
    std::FILE* f = std::fopen(fileName.c_str(), "wb");
    if (!f)
        throw EFOpenError(
            Format("Cannot create file \"%s\". %s", fileName.c_str(), std::strerror(errno)));
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !written) {
        // A half-written picture is worse than none.
        std::remove(fileName.c_str());
        throw EFOpenError(Format("Cannot write file \"%s\"", fileName.c_str()));
    }
}

} // namespace korvalis
