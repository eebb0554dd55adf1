#include "PngKeyMask.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace korvalis {

namespace {

uint32_t BigEndian32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

struct TKeyHeader {
    uint32_t Width = 0;
    uint32_t Height = 0;
    int BitDepth = 0;
    int ColourType = 0;
    int Interlace = 0;
    std::array<uint16_t, 3> Key{};
    bool HasKey = false;
};

// Inflates the joined IDAT data one row at a time.
class TRowSource {
  public:
    explicit TRowSource(std::span<const uint8_t> data) {
        FStream.next_in = const_cast<Bytef*>(data.data());
        FStream.avail_in = static_cast<uInt>(data.size());
        FInitialised = inflateInit(&FStream) == Z_OK;
        FOk = FInitialised;
    }
    ~TRowSource() {
        // Also after a data error: the inflater's state is released either way.
        if (FInitialised)
            inflateEnd(&FStream);
    }
    TRowSource(const TRowSource&) = delete;
    TRowSource& operator=(const TRowSource&) = delete;

    // Fills row completely or answers false.
    bool Next(std::vector<uint8_t>& row) {
        if (!FOk || FEnded)
            return false;
        FStream.next_out = row.data();
        FStream.avail_out = static_cast<uInt>(row.size());
        while (FStream.avail_out > 0) {
            const int rc = inflate(&FStream, Z_NO_FLUSH);
            if (rc == Z_STREAM_END) {
                FEnded = true;
                break;
            }
            if (rc != Z_OK)
                return FOk = false;
        }
        return FStream.avail_out == 0;
    }

  private:
    z_stream FStream{};
    bool FInitialised = false;
    bool FOk = false;
    bool FEnded = false;
};

uint8_t Paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc)
        return uint8_t(a);
    return uint8_t(pb <= pc ? b : c);
}

// Filter types above 4 leave the row as it is, as the reader does.
void Unfilter(std::vector<uint8_t>& row, const std::vector<uint8_t>& previous, size_t distance) {
    uint8_t* r = row.data() + 1;
    const uint8_t* p = previous.data() + 1;
    const size_t n = row.size() - 1;
    switch (row[0]) {
    case 1:
        for (size_t i = distance; i < n; ++i)
            r[i] = uint8_t(r[i] + r[i - distance]);
        break;
    case 2:
        for (size_t i = 0; i < n; ++i)
            r[i] = uint8_t(r[i] + p[i]);
        break;
    case 3:
        for (size_t i = 0; i < n; ++i)
            r[i] = uint8_t(r[i] + ((i >= distance ? r[i - distance] : 0) + p[i]) / 2);
        break;
    case 4:
        for (size_t i = 0; i < n; ++i) {
            const int a = i >= distance ? r[i - distance] : 0;
            const int c = i >= distance ? p[i - distance] : 0;
            r[i] = uint8_t(r[i] + Paeth(a, p[i], c));
        }
        break;
    default:
        break;
    }
}

uint16_t Sample(const uint8_t* row, uint64_t index, int bitDepth) {
    if (bitDepth == 16)
        return uint16_t(row[2 * index] << 8 | row[2 * index + 1]);
    if (bitDepth == 8)
        return row[index];
    const uint64_t bit = index * bitDepth;
    const int shift = 8 - bitDepth - int(bit % 8);
    return uint16_t((row[bit / 8] >> shift) & ((1 << bitDepth) - 1));
}

bool ReadHeader(std::span<const uint8_t> file, TKeyHeader& header, std::vector<uint8_t>& idat) {
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (file.size() < 8 || std::memcmp(file.data(), kSignature, 8) != 0)
        return false;
    size_t at = 8;
    bool inIdat = false, idatDone = false, haveHeader = false;
    while (file.size() - at >= 12) {
        const uint32_t length = BigEndian32(file.data() + at);
        const std::string_view type(reinterpret_cast<const char*>(file.data() + at + 4), 4);
        if (length > file.size() - at - 12)
            break;
        const uint8_t* payload = file.data() + at + 8;
        if (type == "IHDR" && !haveHeader && length >= 13) {
            haveHeader = true;
            header.Width = BigEndian32(payload);
            header.Height = BigEndian32(payload + 4);
            header.BitDepth = payload[8];
            header.ColourType = payload[9];
            header.Interlace = payload[12];
        } else if (type == "tRNS" && !header.HasKey) {
            // As the reader keeps it: the payload over a table of 255s.
            std::array<uint8_t, 256> table;
            table.fill(255);
            std::memcpy(table.data(), payload, std::min<size_t>(length, table.size()));
            header.HasKey = true;
            for (size_t i = 0; i < header.Key.size(); ++i)
                header.Key[i] = uint16_t(table[2 * i] << 8 | table[2 * i + 1]);
        } else if (type == "IDAT" && !idatDone) {
            inIdat = true;
            idat.insert(idat.end(), payload, payload + length);
        } else if (inIdat) {
            idatDone = true; // the image data is the first run of IDAT chunks
        }
        if (type == "IEND")
            break;
        at += size_t(length) + 12;
    }
    return haveHeader && header.HasKey && (header.ColourType == 0 || header.ColourType == 2) &&
           (header.BitDepth == 1 || header.BitDepth == 2 || header.BitDepth == 4 ||
            header.BitDepth == 8 || header.BitDepth == 16) &&
           (header.ColourType == 0 || header.BitDepth >= 8) && header.Interlace <= 1;
}

} // namespace

std::vector<uint8_t> PngKeyMask(std::span<const uint8_t> file) {
    TKeyHeader header;
    std::vector<uint8_t> idat;
    if (!ReadHeader(file, header, idat))
        return {};
    const int samples = header.ColourType == 2 ? 3 : 1;
    const uint64_t pixels = uint64_t(header.Width) * header.Height;
    if (pixels == 0 || pixels > (uint64_t{1} << 31))
        return {};
    std::vector<uint8_t> mask(static_cast<size_t>(pixels), 0);
    const size_t distance = std::max<size_t>(1, size_t(samples) * header.BitDepth / 8);

    struct TPass {
        uint32_t x0, y0, dx, dy;
    };
    static const TPass kSequential[] = {{0, 0, 1, 1}};
    static const TPass kAdam7[] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                   {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    const std::span<const TPass> passes =
        header.Interlace ? std::span<const TPass>(kAdam7) : std::span<const TPass>(kSequential);

    TRowSource source(idat);
    std::vector<uint8_t> row, previous;
    for (const TPass& pass : passes) {
        if (header.Width <= pass.x0 || header.Height <= pass.y0)
            continue;
        const uint64_t count = (uint64_t(header.Width) - pass.x0 + pass.dx - 1) / pass.dx;
        const uint64_t rowBytes = (count * samples * header.BitDepth + 7) / 8;
        row.assign(static_cast<size_t>(rowBytes) + 1, 0);
        previous.assign(row.size(), 0);
        for (uint64_t y = pass.y0; y < header.Height; y += pass.dy) {
            if (!source.Next(row))
                return mask;
            Unfilter(row, previous, distance);
            for (uint64_t i = 0; i < count; ++i) {
                bool keyed = true;
                for (int s = 0; s < samples && keyed; ++s)
                    keyed =
                        Sample(row.data() + 1, i * samples + s, header.BitDepth) == header.Key[s];
                mask[y * header.Width + pass.x0 + i * pass.dx] = keyed ? 1 : 0;
            }
            row.swap(previous);
        }
    }
    return mask;
}

} // namespace korvalis
