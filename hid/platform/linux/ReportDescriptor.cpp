#include "ReportDescriptor.h"

#include <algorithm>
#include <array>
#include <map>
#include <vector>

namespace korvalis::linuxhid {

namespace {

struct TGlobals {
    uint32_t UsagePage = 0;
    uint32_t ReportSize = 0;
    uint32_t ReportCount = 0;
    uint32_t ReportID = 0;
};

enum TKind { kInput, kOutput, kFeature };

// Bit counts saturate far above any real report, so no sum of fields wraps.
constexpr uint64_t kBitCap = uint64_t(1) << 40;

void AddBits(uint64_t& total, uint64_t bits) {
    total = std::min(total + std::min(bits, kBitCap), kBitCap);
}

uint16_t ReportBytes(uint64_t bits) {
    // One byte for the ID; anything beyond a 16-bit length is not a real device.
    return uint16_t(std::min<uint64_t>((bits + 7) / 8 + 1, 0xFFFF));
}

} // namespace

TReportLayout ParseReportDescriptor(std::span<const uint8_t> d) {
    TReportLayout layout;
    std::array<std::map<uint32_t, uint64_t>, 3> bits; // per kind, per report ID
    std::vector<TGlobals> stack;
    TGlobals g;
    uint32_t usage = 0;
    bool usageSeen = false;
    bool topSeen = false;
    int depth = 0;
    size_t i = 0;
    while (i < d.size()) {
        const uint8_t prefix = d[i];
        if (prefix == 0xFE) { // long item: size, tag, data
            if (i + 2 >= d.size())
                break;
            i += 3 + size_t(d[i + 1]);
            continue;
        }
        const size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if (i + 1 + size > d.size())
            break;
        uint32_t value = 0;
        for (size_t k = 0; k < size; ++k)
            value |= uint32_t(d[i + 1 + k]) << (8 * k);
        i += 1 + size;
        const uint8_t type = (prefix >> 2) & 3;
        const uint8_t tag = prefix >> 4;
        if (type == 1) { // global
            switch (tag) {
            case 0x0:
                g.UsagePage = value;
                break;
            case 0x7:
                g.ReportSize = value;
                break;
            case 0x8:
                g.ReportID = value;
                layout.NumberedReports = true;
                break;
            case 0x9:
                g.ReportCount = value;
                break;
            case 0xA:
                stack.push_back(g);
                break;
            case 0xB:
                if (!stack.empty()) {
                    g = stack.back();
                    stack.pop_back();
                }
                break;
            default:
                break;
            }
        } else if (type == 2) { // local
            if (tag == 0x0 && !usageSeen) {
                // A four-byte usage carries its own page.
                usage = size == 4 ? value : (g.UsagePage << 16 | value);
                usageSeen = true;
            }
        } else if (type == 0) { // main
            const uint64_t fieldBits = uint64_t(g.ReportSize) * g.ReportCount;
            switch (tag) {
            case 0x8:
                AddBits(bits[kInput][g.ReportID], fieldBits);
                break;
            case 0x9:
                AddBits(bits[kOutput][g.ReportID], fieldBits);
                break;
            case 0xB:
                AddBits(bits[kFeature][g.ReportID], fieldBits);
                break;
            case 0xA:
                if (depth == 0 && !topSeen) {
                    layout.Caps.UsagePage = uint16_t(usage >> 16);
                    layout.Caps.Usage = uint16_t(usage);
                    topSeen = true;
                }
                ++depth;
                break;
            case 0xC:
                depth = std::max(depth - 1, 0);
                break;
            default:
                break;
            }
            usageSeen = false; // locals end with each main item
        }
    }
    auto longest = [&](TKind kind) -> uint16_t {
        uint64_t most = 0;
        bool any = false;
        for (auto& [id, n] : bits[kind]) {
            if (n == 0)
                continue;
            any = true;
            most = std::max(most, n);
        }
        return any ? ReportBytes(most) : 0;
    };
    layout.Caps.InputReportByteLength = longest(kInput);
    layout.Caps.OutputReportByteLength = longest(kOutput);
    layout.Caps.FeatureReportByteLength = longest(kFeature);
    return layout;
}

} // namespace korvalis::linuxhid
