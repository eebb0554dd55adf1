#include "PictureFile.h"

#include "PngDrawing.h"
#include "decoders/BmpReader.h"
#include "decoders/JpegPicture.h"
#include "graphics/LoadBudget.h"

#include <algorithm>
#include <cctype>

namespace korvalis {

namespace {

bool EndsWithNoCase(std::string_view name, std::string_view ending) {
    return name.size() >= ending.size() &&
           std::equal(ending.begin(), ending.end(), name.end() - ending.size(), [](char e, char n) {
               return e == std::tolower(static_cast<unsigned char>(n));
           });
}

} // namespace

TPictureKind PictureKindOf(std::string_view fileName) {
    if (EndsWithNoCase(fileName, ".png"))
        return TPictureKind::pkPng;
    if (EndsWithNoCase(fileName, ".jpg") || EndsWithNoCase(fileName, ".jpeg"))
        return TPictureKind::pkJpeg;
    if (EndsWithNoCase(fileName, ".bmp"))
        return TPictureKind::pkBmp;
    return TPictureKind::pkUnknown;
}

TRaster DecodePictureFile(const std::string& fileName) {
    // One budget for the reader, the compositing and the working raster together.
    TLoadScope load;
    TRaster working;
    switch (PictureKindOf(fileName)) {
    case TPictureKind::pkPng:
        working = DecodePngFileComposited(fileName);
        break;
    case TPictureKind::pkJpeg: {
        TJpegPicture jpeg;
        jpeg.LoadFromFile(fileName);
        // Nothing is cached yet, so the decoded raster is handed over, not copied:
        // a camera picture is tens of megabytes.
        jpeg.AssignTo(working);
        break;
    }
    case TPictureKind::pkBmp:
        LoadBitmapFromFile(fileName, working);
        break;
    case TPictureKind::pkUnknown:
        throw EUnknownPictureType();
    }
    return working;
}

} // namespace korvalis
