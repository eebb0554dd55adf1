#include "Resources.h"

#include "Exceptions.h"

#include <cctype>
#include <string>
#include <vector>

namespace korvalis {

namespace {

struct TEntry {
    std::string Name;
    std::span<const uint8_t> Data;
};

// Filled by static initialisers of the generated resource sources, so it must
// exist before the first of them runs.
std::vector<TEntry>& Registry() {
    static std::vector<TEntry> entries;
    return entries;
}

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

} // namespace

void RegisterRawResource(std::string_view name, std::span<const uint8_t> data) {
    Registry().push_back({std::string(name), data});
}

std::optional<std::span<const uint8_t>> FindRawResource(std::string_view name) {
    for (const TEntry& entry : Registry())
        if (SameText(entry.Name, name))
            return entry.Data;
    return std::nullopt;
}

TResourceStream::TResourceStream(std::string_view name) {
    const auto data = FindRawResource(name);
    if (!data)
        throw EResNotFound(Format("Resource %.*s not found", int(name.size()), name.data()));
    Reset(*data);
}

} // namespace korvalis
