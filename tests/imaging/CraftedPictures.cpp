#include "CraftedPictures.h"

#include "tests/decoders/JpegTestSupport.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>
#include <string_view>

namespace korvalis::testing {

namespace {

void Put32Be(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(v >> shift));
}

void Put16Le(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32Le(std::vector<uint8_t>& out, uint32_t v) {
    Put16Le(out, v & 0xFFFF);
    Put16Le(out, v >> 16);
}

void PutChunk(std::vector<uint8_t>& out, std::string_view type, const std::vector<uint8_t>& data) {
    Put32Be(out, static_cast<uint32_t>(data.size()));
    const size_t start = out.size();
    out.insert(out.end(), type.begin(), type.end());
    out.insert(out.end(), data.begin(), data.end());
    Put32Be(out, static_cast<uint32_t>(
                     crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
}

std::vector<uint8_t> Header(uint32_t width, uint32_t height, uint8_t colourType) {
    std::vector<uint8_t> ihdr;
    Put32Be(ihdr, width);
    Put32Be(ihdr, height);
    ihdr.insert(ihdr.end(), {8, colourType, 0, 0, 0});
    std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    PutChunk(out, "IHDR", ihdr);
    return out;
}

// zlib data of `rows` rows of `rowBytes` zero bytes each (filter byte included),
// made a row at a time so a huge picture needs no buffer of its size.
std::vector<uint8_t> DeflateZeros(uint64_t rows, size_t rowBytes) {
    z_stream z{};
    if (deflateInit(&z, 9) != Z_OK)
        throw std::runtime_error("deflateInit");
    const std::vector<uint8_t> row(rowBytes, 0);
    std::vector<uint8_t> out;
    uint8_t buffer[1 << 16];
    for (uint64_t y = 0; y <= rows; ++y) {
        const bool last = y == rows;
        z.next_in = const_cast<Bytef*>(row.data());
        z.avail_in = last ? 0 : static_cast<uInt>(row.size());
        int result;
        do {
            z.next_out = buffer;
            z.avail_out = sizeof buffer;
            result = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
            out.insert(out.end(), buffer, buffer + (sizeof buffer - z.avail_out));
        } while (z.avail_out == 0 || (last && result != Z_STREAM_END));
    }
    deflateEnd(&z);
    return out;
}

std::vector<uint8_t> OnePixelWith(const std::vector<uint8_t>& middle) {
    std::vector<uint8_t> out = Header(1, 1, 0);
    out.insert(out.end(), middle.begin(), middle.end());
    PutChunk(out, "IDAT", DeflateZeros(1, 2));
    PutChunk(out, "IEND", {});
    return out;
}

} // namespace

std::vector<uint8_t> PngWithTexts(int chunks, size_t textBytes) {
    std::vector<uint8_t> payload = {'K', 0, 0};
    const std::vector<uint8_t> text = DeflateZeros(1, textBytes);
    payload.insert(payload.end(), text.begin(), text.end());
    std::vector<uint8_t> one;
    PutChunk(one, "zTXt", payload);
    std::vector<uint8_t> middle;
    for (int i = 0; i < chunks; ++i)
        middle.insert(middle.end(), one.begin(), one.end());
    return OnePixelWith(middle);
}

std::vector<uint8_t> PngWithEmptyChunks(int chunks) {
    std::vector<uint8_t> one;
    PutChunk(one, "kvLx", {});
    std::vector<uint8_t> middle;
    for (int i = 0; i < chunks; ++i)
        middle.insert(middle.end(), one.begin(), one.end());
    return OnePixelWith(middle);
}

std::vector<uint8_t> PngOfZeros(uint32_t width, uint32_t height, uint8_t colourType,
                                uint32_t rows) {
    static const int kSamples[] = {1, 0, 3, 1, 2, 0, 4};
    std::vector<uint8_t> out = Header(width, height, colourType);
    const std::vector<uint8_t> data =
        DeflateZeros(std::min(rows, height), 1 + size_t{width} * kSamples[colourType]);
    for (size_t at = 0; at < data.size(); at += size_t{1} << 20)
        PutChunk(out, "IDAT",
                 std::vector<uint8_t>(data.begin() + static_cast<std::ptrdiff_t>(at),
                                      data.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                         data.size(), at + (size_t{1} << 20)))));
    PutChunk(out, "IEND", {});
    return out;
}

std::vector<uint8_t> BmpDeclaring(int32_t width, int32_t height, uint16_t bits,
                                  uint32_t compression, uint32_t colours, size_t pixelBytes) {
    const uint32_t offset = 14 + 40 + 4 * colours;
    std::vector<uint8_t> out = {'B', 'M'};
    Put32Le(out, static_cast<uint32_t>(offset + pixelBytes));
    Put32Le(out, 0);
    Put32Le(out, offset);
    Put32Le(out, 40);
    Put32Le(out, static_cast<uint32_t>(width));
    Put32Le(out, static_cast<uint32_t>(height));
    Put16Le(out, 1);
    Put16Le(out, bits);
    Put32Le(out, compression);
    Put32Le(out, static_cast<uint32_t>(pixelBytes));
    Put32Le(out, 0);
    Put32Le(out, 0);
    Put32Le(out, colours);
    Put32Le(out, 0);
    for (uint32_t i = 0; i < colours; ++i) {
        const auto level = static_cast<uint8_t>(std::min<uint32_t>(i + 1, 255));
        out.insert(out.end(), {level, level, level, 0});
    }
    out.resize(out.size() + pixelBytes, 0);
    return out;
}

std::vector<uint8_t> JpegRepeatingScan(int width, int height, int scans) {
    const std::vector<uint8_t> jpeg = MakeJpeg(
        width, height, TMakeSpace::Gray, [](int, int, uint8_t* p) { *p = 128; }, 90, true);
    // Walks the markers to find where each scan's entropy-coded data ends.
    size_t at = 2, scanStart = 2, lastStart = 2, lastEnd = 2;
    int count = 0;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
        const uint8_t marker = jpeg[at + 1];
        if (marker == 0xD9)
            break;
        const size_t length = size_t{jpeg[at + 2]} << 8 | jpeg[at + 3];
        at += 2 + length;
        if (marker != 0xDA)
            continue;
        while (at + 1 < jpeg.size() &&
               !(jpeg[at] == 0xFF && jpeg[at + 1] != 0 && (jpeg[at + 1] & 0xF8) != 0xD0))
            ++at;
        ++count;
        lastStart = scanStart;
        lastEnd = at;
        scanStart = at;
    }
    if (count == 0 || count > scans)
        throw std::runtime_error("the progressive picture has an unexpected number of scans");
    std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(lastEnd));
    for (; count < scans; ++count)
        out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(lastStart),
                   jpeg.begin() + static_cast<std::ptrdiff_t>(lastEnd));
    out.insert(out.end(), {0xFF, 0xD9});
    return out;
}

std::vector<uint8_t> JpegDeclaring(int width, int height) {
    std::vector<uint8_t> jpeg = MakeJpeg(
        16, 16, TMakeSpace::Rgb, [](int, int, uint8_t* p) { p[0] = p[1] = p[2] = 128; }, 90, true);
    for (size_t at = 2; at + 9 < jpeg.size() && jpeg[at] == 0xFF;) {
        const uint8_t marker = jpeg[at + 1];
        if (marker == 0xC2) {
            jpeg[at + 5] = static_cast<uint8_t>(height >> 8);
            jpeg[at + 6] = static_cast<uint8_t>(height);
            jpeg[at + 7] = static_cast<uint8_t>(width >> 8);
            jpeg[at + 8] = static_cast<uint8_t>(width);
            // Keep the frame and the first scan's header; the data runs out.
            size_t end = at + 2 + (size_t{jpeg[at + 2]} << 8 | jpeg[at + 3]);
            while (end + 4 <= jpeg.size() && jpeg[end] == 0xFF && jpeg[end + 1] != 0xDA)
                end += 2 + (size_t{jpeg[end + 2]} << 8 | jpeg[end + 3]);
            end += 2 + (size_t{jpeg[end + 2]} << 8 | jpeg[end + 3]);
            jpeg.resize(std::min(end, jpeg.size()));
            return jpeg;
        }
        at += 2 + (size_t{jpeg[at + 2]} << 8 | jpeg[at + 3]);
    }
    throw std::runtime_error("no progressive frame header");
}

} // namespace korvalis::testing
