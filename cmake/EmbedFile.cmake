# Writes OUTPUT: a C++ source that registers the bytes of INPUT as resource NAME.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hexlen)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
string(MAKE_C_IDENTIFIER "${NAME}" id)
file(WRITE "${OUTPUT}" "// Generated from ${INPUT}; do not edit.
#include \"graphics/Resources.h\"

namespace {
alignas(8) const unsigned char kData[] = {
${bytes}0};
[[maybe_unused]] const bool kRegistered = (korvalis::RegisterRawResource(
    \"${NAME}\", std::span<const uint8_t>(kData, sizeof(kData) - 1)), true);
} // namespace
")
