#pragma once

// How a slot's picture is made from the loaded file, chosen per slot. The
// defaults give exactly the picture a slot has always shown; the command-line
// tool and the window's menu name the choices with the same words.

#include "graphics/Raster.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace korvalis {

// device: the slot's own rule (FitSize, centred, nearest neighbour);
// contain: the whole picture inside the slot, never cropped, enlarged only when
// asked; cover: the slot filled, the overflow cropped equally at both sides;
// stretch: exactly the slot's size, proportions ignored.
enum class TFitMode { Device, Contain, Cover, Stretch };
// How the non-device modes scale: the source pixel under each target pixel's
// centre, or the area-weighted mean of the source pixels it covers.
enum class TScaleFilter { Nearest, Smooth };

struct TPictureOptions {
    // Turn a JPEG upright as its EXIF orientation says.
    bool AutoOrient = true;
    // Clockwise, after auto-orientation: 0, 90, 180 or 270.
    int Rotation = 0;
    TFitMode Fit = TFitMode::Device;
    // device always scales by nearest neighbour.
    TScaleFilter Filter = TScaleFilter::Nearest;
    // Behind transparency and around a picture that does not fill the slot.
    TColor Background = clBlack;
    // Floyd-Steinberg error diffusion into the device's RGB565 colours.
    bool Dither = false;
    // contain only: a picture smaller than the slot grows to touch its edges.
    bool Enlarge = false;

    friend bool operator==(const TPictureOptions&, const TPictureOptions&) = default;
};

// The modes and filters in the order menus and help texts list them.
std::span<const TFitMode> FitModes();
std::span<const TScaleFilter> ScaleFilters();
inline constexpr int kRotations[] = {0, 90, 180, 270};

// "device", "contain", "cover", "stretch"; "nearest", "smooth".
std::string_view FitModeName(TFitMode mode);
std::string_view ScaleFilterName(TScaleFilter filter);
// Exact lower-case words only; nothing for anything else.
std::optional<TFitMode> ParseFitMode(std::string_view word);
std::optional<TScaleFilter> ParseScaleFilter(std::string_view word);
// "0", "90", "180", "270".
std::optional<int> ParseRotation(std::string_view word);
// "#RRGGBB" in either case, and "#rrggbb" back.
std::optional<TColor> ParseColour(std::string_view text);
std::string ColourName(TColor colour);

} // namespace korvalis
