#pragma once

// Turning a picture file into the working raster of a slot load: the decoder
// chosen by the name's ending, PNG transparency composited over black.

#include "graphics/Exceptions.h"
#include "graphics/Raster.h"

#include <string>
#include <string_view>

namespace korvalis {

enum class TPictureKind { pkUnknown, pkPng, pkJpeg, pkBmp };

// The decoder a file name asks for, by its ending and without regard to case:
// ".png", ".jpg" or ".jpeg", ".bmp". Cameras and other systems write endings in
// upper case, and ".jpeg" is as common as ".jpg".
TPictureKind PictureKindOf(std::string_view fileName);

// A file whose ending names none of the readers.
class EUnknownPictureType : public EInvalidImage {
  public:
    EUnknownPictureType()
        : EInvalidImage("The file name does not end in .png, .jpg, .jpeg or .bmp") {}
};

// The picture as a slot load holds it after decoding and compositing, before
// fitting: 24-bit, or 8-bit with a colour table for grey JPEGs and indexed BMPs.
// Raises the reader's exception, or EUnknownPictureType.
TRaster DecodePictureFile(const std::string& fileName);

} // namespace korvalis
