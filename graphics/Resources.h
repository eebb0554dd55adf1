#pragma once

#include "Exceptions.h"
#include "Stream.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace korvalis {

// Named raw-data resources compiled into the program (see
// korvalis_add_raw_resource in cmake/). Names compare without regard to case.
void RegisterRawResource(std::string_view name, std::span<const uint8_t> data);
std::optional<std::span<const uint8_t>> FindRawResource(std::string_view name);

class EResNotFound : public Exception {
  public:
    using Exception::Exception;
};

// A stream over a named resource; raises EResNotFound when there is none.
class TResourceStream : public TBytesStream {
  public:
    explicit TResourceStream(std::string_view name);
};

} // namespace korvalis
