#pragma once

// A small PNG encoder: our PNG reader has no writer, and the preview and the
// tests need files. Rows are stored unfiltered and deflated with zlib.

#include "graphics/Raster.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvalis {

struct TPngChunkData {
    std::string Type; // four letters
    std::vector<uint8_t> Payload;
};

struct TPngPixels {
    uint32_t Width = 0;
    uint32_t Height = 0;
    uint8_t BitDepth = 8;
    uint8_t ColourType = 2;
    // Width x Height pixels as PNG rows without their filter bytes, packed as the
    // bit depth and colour type ask (16-bit samples big-endian).
    std::vector<uint8_t> Rows;
    // Chunks between IHDR and IDAT (PLTE, tRNS, gAMA, ...), in order.
    std::vector<TPngChunkData> Chunks;
    // Further IDAT chunks: the compressed data is cut into this many pieces.
    int IdatPieces = 1;
};

// Bytes per PNG row (without the filter byte).
size_t PngRowBytes(uint32_t width, uint8_t bitDepth, uint8_t colourType);

// One chunk: length, type, payload, CRC.
void AppendPngChunk(std::vector<uint8_t>& out, std::string_view type,
                    std::span<const uint8_t> payload);

// A whole non-interlaced PNG file. Raises std::invalid_argument when Rows does not
// hold exactly the image.
std::vector<uint8_t> EncodePng(const TPngPixels& image);

// A raster as an RGB PNG of 8 bits per sample.
std::vector<uint8_t> EncodePngRgb(const TRaster& raster);
// Writes EncodePngRgb(raster) to fileName; raises EFOpenError when it cannot.
void SavePngRgb(const TRaster& raster, const std::string& fileName);

} // namespace korvalis
