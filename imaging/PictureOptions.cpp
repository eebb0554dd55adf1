#include "PictureOptions.h"

#include <cstdio>

namespace korvalis {

namespace {

constexpr TFitMode kFitModes[] = {TFitMode::Device, TFitMode::Contain, TFitMode::Cover,
                                  TFitMode::Stretch};
constexpr std::string_view kFitNames[] = {"device", "contain", "cover", "stretch"};
constexpr TScaleFilter kFilters[] = {TScaleFilter::Nearest, TScaleFilter::Smooth};
constexpr std::string_view kFilterNames[] = {"nearest", "smooth"};

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::span<const TFitMode> FitModes() {
    return kFitModes;
}

std::span<const TScaleFilter> ScaleFilters() {
    return kFilters;
}

std::string_view FitModeName(TFitMode mode) {
    return kFitNames[static_cast<size_t>(mode)];
}

std::string_view ScaleFilterName(TScaleFilter filter) {
    return kFilterNames[static_cast<size_t>(filter)];
}

std::optional<TFitMode> ParseFitMode(std::string_view word) {
    for (TFitMode mode : kFitModes)
        if (FitModeName(mode) == word)
            return mode;
    return std::nullopt;
}

std::optional<TScaleFilter> ParseScaleFilter(std::string_view word) {
    for (TScaleFilter filter : kFilters)
        if (ScaleFilterName(filter) == word)
            return filter;
    return std::nullopt;
}

std::optional<int> ParseRotation(std::string_view word) {
    for (int degrees : kRotations)
        if (std::to_string(degrees) == word)
            return degrees;
    return std::nullopt;
}

std::optional<TColor> ParseColour(std::string_view text) {
    if (text.size() != 7 || text[0] != '#')
        return std::nullopt;
    int v[6];
    for (size_t i = 0; i < 6; ++i)
        if ((v[i] = HexDigit(text[i + 1])) < 0)
            return std::nullopt;
    return TColor{uint8_t(v[0] * 16 + v[1]), uint8_t(v[2] * 16 + v[3]), uint8_t(v[4] * 16 + v[5])};
}

std::string ColourName(TColor colour) {
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", colour.r, colour.g, colour.b);
    return text;
}

} // namespace korvalis
