#pragma once

// How a decoded PNG becomes the working raster of a slot load: drawn at its own
// size over black, with its colour key or alpha applied.

#include "graphics/Raster.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace korvalis {

class TPngPicture;

// The picture drawn over a black raster of its own size:
// - no transparency: the decoded colours as they are;
// - a colour key: pixels of the key colour stay black. Grey and RGB images of 8
//   bits compare the decoded colour with the low bytes of the tRNS samples;
//   grey images of 1, 2, 4 and 16 bits and RGB images of 16 bits compare the
//   file's own samples with the whole tRNS value (see PngKeyMask); palette
//   images key the colour of the first entry whose tRNS alpha is 0, or none;
// - alpha: every channel becomes (s * a + 255) div 256.
// `file` holds the bytes png was read from; only keyed grey and RGB images of
// other depths than 8 look at it. Raises EPngError when a palette image with
// per-entry alpha uses an index beyond its palette.
TRaster ComposePng(const TPngPicture& png, std::span<const uint8_t> file);

// Reads fileName as PNG and composes it.
TRaster DecodePngFileComposited(const std::string& fileName);

// The colour raster of a compiled-in PNG, with no transparency applied.
TRaster DecodePngResourceColours(std::string_view name);

} // namespace korvalis
