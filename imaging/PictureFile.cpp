#include "PictureFile.h"

#include "PngDrawing.h"
#include "decoders/BmpReader.h"
#include "decoders/JpegPicture.h"
#include "graphics/LoadBudget.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <vector>

namespace korvalis {

namespace {

bool EndsWithNoCase(std::string_view name, std::string_view ending) {
    return name.size() >= ending.size() &&
           std::equal(ending.begin(), ending.end(), name.end() - ending.size(), [](char e, char n) {
               return e == std::tolower(static_cast<unsigned char>(n));
           });
}

// Neither BMP (32-bit pixels keep only their colour masks) nor JPEG has
// transparency.
TDecodedPicture DecodeBmpFile(const std::string& fileName) {
    TDecodedPicture decoded;
    LoadBitmapFromFile(fileName, decoded.Colours);
    return decoded;
}

TDecodedPicture DecodeJpegFile(const std::string& fileName) {
    TJpegPicture jpeg;
    jpeg.LoadFromFile(fileName);
    TDecodedPicture decoded;
    // Nothing is cached yet, so the decoded raster is handed over, not copied:
    // a camera picture is tens of megabytes.
    jpeg.AssignTo(decoded.Colours);
    return decoded;
}

constexpr std::string_view kBmpEndings[] = {".bmp"};
constexpr std::string_view kJpegEndings[] = {".jpg", ".jpeg"};
constexpr std::string_view kPngEndings[] = {".png"};

constexpr TPictureFormat kFormats[] = {
    {TPictureKind::pkBmp, "BMP", kBmpEndings, DecodeBmpFile},
    {TPictureKind::pkJpeg, "JPEG", kJpegEndings, DecodeJpegFile},
    {TPictureKind::pkPng, "PNG", kPngEndings, DecodePngFile},
};

const TPictureFormat* FormatOf(std::string_view fileName) {
    for (const TPictureFormat& format : kFormats)
        for (std::string_view ending : format.Endings)
            if (EndsWithNoCase(fileName, ending))
                return &format;
    return nullptr;
}

// "a, b or c", or with ", " throughout.
template <typename TItems> std::string Listed(const TItems& items, std::string_view last) {
    std::string text;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            text += i + 1 == items.size() ? last : ", ";
        text += items[i];
    }
    return text;
}

std::vector<std::string_view> AllEndings() {
    std::vector<std::string_view> endings;
    for (const TPictureFormat& format : kFormats)
        endings.insert(endings.end(), format.Endings.begin(), format.Endings.end());
    return endings;
}

} // namespace

std::span<const TPictureFormat> PictureFormats() {
    return kFormats;
}

TPictureKind PictureKindOf(std::string_view fileName) {
    const TPictureFormat* format = FormatOf(fileName);
    return format ? format->Kind : TPictureKind::pkUnknown;
}

std::string PictureDialogFilter() {
    std::string patterns;
    for (std::string_view ending : AllEndings())
        patterns += (patterns.empty() ? "*" : ";*") + std::string(ending);
    return "Images (" + patterns + ")";
}

std::string PictureFormatNames() {
    std::vector<std::string_view> names;
    for (const TPictureFormat& format : kFormats)
        names.push_back(format.Name);
    return Listed(names, " or ");
}

std::string PictureEndings() {
    return Listed(AllEndings(), ", ");
}

namespace {

// The message has always named the newest reader's ending first.
std::string UnknownTypeMessage() {
    std::vector<std::string_view> endings;
    for (auto format = std::rbegin(kFormats); format != std::rend(kFormats); ++format)
        endings.insert(endings.end(), format->Endings.begin(), format->Endings.end());
    return "The file name does not end in " + Listed(endings, " or ");
}

} // namespace

EUnknownPictureType::EUnknownPictureType() : EInvalidImage(UnknownTypeMessage()) {}

TDecodedPicture DecodePicture(const std::string& fileName) {
    const TPictureFormat* format = FormatOf(fileName);
    if (!format)
        throw EUnknownPictureType();
    return format->Decode(fileName);
}

TRaster DecodePictureFile(const std::string& fileName) {
    // One budget for the reader, the compositing and the working raster together.
    TLoadScope load;
    return ComposeOverBlack(DecodePicture(fileName));
}

} // namespace korvalis
