#pragma once

// Helpers shared by the PNG reader's sources; not part of its interface.

#include <cstddef>
#include <cstdint>

namespace korvalis::png {

// PNG allows chunk lengths up to 2^31 - 1.
inline constexpr uint32_t kMaxChunkLength = 0x7FFFFFFF;

inline uint32_t BigEndian32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

inline uint16_t BigEndian16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// CRC-32 as PNG uses it, continued from crc (start with 0).
uint32_t Crc32(uint32_t crc, const void* data, size_t size);

} // namespace korvalis::png
