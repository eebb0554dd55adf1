#pragma once

#include "graphics/Exceptions.h"
#include "graphics/Raster.h"
#include "graphics/Stream.h"

#include <string>

namespace korvalis {

// Reads a BMP file from the stream's position into raster: 8-bit with the file's
// colour table for 1, 4 and 8 bits per pixel (RLE4 and RLE8 included), 24-bit for
// deeper pixels. A stream with nothing left gives an empty raster.
// Raises EInvalidImage ("Bitmap image is not valid", or a message naming an
// unsupported compression) and EReadError ("Stream read error") for headers,
// masks or colour tables cut short. Pixel data cut short is not an error: the
// rows that were not in the file are black.
void ReadBitmap(TStream& stream, TRaster& raster);
void LoadBitmapFromFile(const std::string& fileName, TRaster& raster);

} // namespace korvalis
