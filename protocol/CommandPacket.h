#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace korvalis {

// The 18-byte command record carried in one output report, little-endian:
// code, length 14, two arguments, "HIDC", and the byte sum of the first 14 bytes.
struct HidCommandPacket {
    static constexpr size_t kSize = 18;
    static constexpr uint8_t kLength = 14;

    uint8_t Code = 0;
    uint32_t Argument1 = 0;
    uint32_t Argument2 = 0;

    std::array<uint8_t, kSize> Bytes() const;
};

inline constexpr uint8_t kCmdReadDataflash = 0x35;  // '5': answer is the 576-byte block
inline constexpr uint8_t kCmdWriteResources = 0x5A; // 'Z': the bundle follows

} // namespace korvalis
