#pragma once

// A device property as the set-up module answers it: the value's type and
// bytes, copied into the caller's buffer. Every backend answers the same way.

#include "hid/HidPlatform.h"

#include <cstring>
#include <string>
#include <vector>

namespace korvalis {

class TPropertyValue {
  public:
    void Text(const std::string& text) {
        FKind = REG_SZ;
        FBytes.assign(text.begin(), text.end());
        FBytes.push_back(0);
    }
    // Zero-terminated texts ending with an empty one.
    void List(const std::vector<std::string>& items) {
        FKind = REG_MULTI_SZ;
        FBytes.clear();
        for (const std::string& t : items) {
            FBytes.insert(FBytes.end(), t.begin(), t.end());
            FBytes.push_back(0);
        }
        FBytes.push_back(0);
    }
    void Number(uint32_t v) {
        FKind = REG_DWORD;
        FBytes.resize(4);
        std::memcpy(FBytes.data(), &v, 4);
    }
    void Binary(const void* data, size_t size) {
        FKind = REG_BINARY;
        FBytes.resize(size);
        std::memcpy(FBytes.data(), data, size);
    }

    // Reports the type and the size needed, then copies the value. Answers 0,
    // or ERROR_INSUFFICIENT_BUFFER when there is no room for it.
    uint32_t Answer(uint32_t* type, uint8_t* buffer, uint32_t size, uint32_t* required) const {
        if (type)
            *type = FKind;
        if (required)
            *required = uint32_t(FBytes.size());
        if (!buffer || size < FBytes.size())
            return ERROR_INSUFFICIENT_BUFFER;
        std::memcpy(buffer, FBytes.data(), FBytes.size());
        return 0;
    }

  private:
    uint32_t FKind = REG_SZ;
    std::vector<uint8_t> FBytes;
};

} // namespace korvalis
