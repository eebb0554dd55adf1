#pragma once

// Turning a picture file into the working raster of a slot load: the decoder
// chosen by the name's ending, transparency composited over black. The formats
// are one table; the loader, the open dialog, the command-line help and the
// manuals all take them from it.

#include "graphics/Exceptions.h"
#include "graphics/Raster.h"
#include "imaging/Compositing.h"

#include <span>
#include <string>
#include <string_view>

namespace korvalis {

enum class TPictureKind { pkUnknown, pkPng, pkJpeg, pkBmp };

struct TPictureFormat {
    TPictureKind Kind;
    std::string_view Name; // as the manuals name it: "JPEG"
    // Lower case, with the dot; a name matches them in any case.
    std::span<const std::string_view> Endings;
    TDecodedPicture (*Decode)(const std::string& fileName);
};

// Every format a slot loads, in the order the user reads them: BMP, JPEG, PNG.
std::span<const TPictureFormat> PictureFormats();

// The decoder a file name asks for, by its ending and without regard to case:
// ".png", ".jpg" or ".jpeg", ".bmp". Cameras and other systems write endings in
// upper case, and ".jpeg" is as common as ".jpg".
TPictureKind PictureKindOf(std::string_view fileName);

// The open dialog's filter: "Images (*.bmp;*.jpg;*.jpeg;*.png)".
std::string PictureDialogFilter();

// The formats and endings for help texts: "BMP, JPEG or PNG",
// ".bmp, .jpg, .jpeg, .png".
std::string PictureFormatNames();
std::string PictureEndings();

// A file whose ending names none of the readers.
class EUnknownPictureType : public EInvalidImage {
  public:
    EUnknownPictureType();
};

// The decoder's picture, its colours and transparency apart, by the name's
// ending. Raises the reader's exception, or EUnknownPictureType.
TDecodedPicture DecodePicture(const std::string& fileName);

// The picture as a slot load holds it after decoding and compositing, before
// fitting: 24-bit, or 8-bit with a colour table for grey JPEGs and indexed BMPs.
// Raises the reader's exception, or EUnknownPictureType.
TRaster DecodePictureFile(const std::string& fileName);

} // namespace korvalis
