#pragma once

#include <cstdarg>
#include <stdexcept>
#include <string>

namespace korvalis {

// Base of every exception the program raises itself; the message is what a
// caller may show or print.
class Exception : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class EInvalidImage : public Exception {
  public:
    using Exception::Exception;
};

// A short read from a stream: the defined text is "Stream read error".
class EReadError : public Exception {
  public:
    EReadError() : Exception("Stream read error") {}
    using Exception::Exception;
};

class EFOpenError : public Exception {
  public:
    using Exception::Exception;
};

// A raster or buffer whose size cannot be had.
class EOutOfResources : public Exception {
  public:
    EOutOfResources() : Exception("Not enough memory for the image") {}
    using Exception::Exception;
};

// printf-style formatting into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

} // namespace korvalis
