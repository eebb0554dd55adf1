#include "CommandPacket.h"

namespace korvalis {

namespace {
void PutLittleEndian32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}
} // namespace

std::array<uint8_t, HidCommandPacket::kSize> HidCommandPacket::Bytes() const {
    std::array<uint8_t, kSize> b{};
    b[0] = Code;
    b[1] = kLength;
    PutLittleEndian32(&b[2], Argument1);
    PutLittleEndian32(&b[6], Argument2);
    b[10] = 'H';
    b[11] = 'I';
    b[12] = 'D';
    b[13] = 'C';
    uint32_t sum = 0;
    for (size_t i = 0; i < kLength; ++i)
        sum += b[i];
    PutLittleEndian32(&b[14], sum);
    return b;
}

} // namespace korvalis
