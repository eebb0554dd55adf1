#pragma once

#include "graphics/Exceptions.h"

#include <string>

namespace korvalis {

// Base of every failure of the PNG reader; also raised on its own for misuse
// (resizing, assigning incompatible chunks, a palette entry out of range).
class EPngError : public EInvalidImage {
  public:
    using EInvalidImage::EInvalidImage;
};

#define KORVALIS_PNG_EXCEPTION(name)                                                               \
    class name : public EPngError {                                                                \
      public:                                                                                      \
        name();                                                                                    \
    }

KORVALIS_PNG_EXCEPTION(EPNGInvalidFileHeader);
KORVALIS_PNG_EXCEPTION(EPngUnexpectedEnd);
KORVALIS_PNG_EXCEPTION(EPNGIHDRNotFirst);
KORVALIS_PNG_EXCEPTION(EPNGUnknownCriticalChunk);
KORVALIS_PNG_EXCEPTION(EPngInvalidCRC);
KORVALIS_PNG_EXCEPTION(EPngInvalidIHDR);
KORVALIS_PNG_EXCEPTION(EPNGSizeExceeds);
KORVALIS_PNG_EXCEPTION(EPNGUnknownCompression);
KORVALIS_PNG_EXCEPTION(EPNGUnknownInterlace);
KORVALIS_PNG_EXCEPTION(EPNGInvalidPalette);
KORVALIS_PNG_EXCEPTION(EPNGMissingMultipleIDAT);
KORVALIS_PNG_EXCEPTION(EPNGNoImageData);
KORVALIS_PNG_EXCEPTION(EPNGCouldNotLoadResource);
KORVALIS_PNG_EXCEPTION(EPNGHeaderNotPresent);
// A colour type and bit depth pair the reader has no sample conversion for.
KORVALIS_PNG_EXCEPTION(EPNGUnsupportedFormat);
// A chunk length of 2^31 or more, which PNG does not allow.
KORVALIS_PNG_EXCEPTION(EPNGInvalidChunkLength);

#undef KORVALIS_PNG_EXCEPTION

// inflate answered a negative code; the message names it.
class EPNGZLIBError : public EPngError {
  public:
    explicit EPNGZLIBError(int code);
    int Code() const { return FCode; }

  private:
    int FCode;
};

} // namespace korvalis
