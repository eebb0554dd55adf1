#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace korvalis {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// A readable byte source with a position, as the picture readers consume it.
class TStream {
  public:
    virtual ~TStream() = default;

    // Reads up to count bytes; fewer only at the end of the stream.
    virtual size_t Read(void* buffer, size_t count) = 0;
    // Moves the position; it never goes below 0 and may lie past the end, where
    // reads answer nothing. Answers the new position.
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
    virtual int64_t Size() const = 0;

    int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(int64_t position) { Seek(position, TSeekOrigin::soBeginning); }
    // Bytes between the position and the end (0 past the end).
    int64_t Remaining();
    // Reads exactly count bytes or raises EReadError ("Stream read error").
    void ReadBuffer(void* buffer, size_t count);
};

// A stream over bytes it does not own (a compiled-in resource, a caller's buffer).
class TBytesStream : public TStream {
  public:
    TBytesStream() = default;
    explicit TBytesStream(std::span<const uint8_t> bytes) : FBytes(bytes) {}

    size_t Read(void* buffer, size_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() const override { return static_cast<int64_t>(FBytes.size()); }

    std::span<const uint8_t> Bytes() const { return FBytes; }

  protected:
    void Reset(std::span<const uint8_t> bytes) {
        FBytes = bytes;
        FPosition = 0;
    }

  private:
    std::span<const uint8_t> FBytes;
    int64_t FPosition = 0;
};

// A stream that owns its bytes in memory.
class TMemoryStream : public TBytesStream {
  public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::vector<uint8_t> bytes);

    // Replaces the contents with the rest of source (from its position) or the
    // whole file, and rewinds.
    void LoadFromStream(TStream& source);
    void LoadFromFile(const std::string& fileName);

    const std::vector<uint8_t>& Data() const { return FData; }

  private:
    std::vector<uint8_t> FData;
};

#ifdef _WIN32
// Names and texts are UTF-8 inside the program and UTF-16 at every Windows
// call. Text that is not UTF-8 gives an empty name, never the name of some
// other file; unpaired surrogates coming back become U+FFFD.
std::wstring Utf16(const std::string& text);
std::string Utf8(const wchar_t* text, size_t length);
std::string Utf8(const std::wstring& text);
#endif

// A file opened for reading. Raises EFOpenError when it cannot be opened.
// The name is UTF-8 on every system (UTF-16 at the Windows call).
// Small reads (chunk heads, checksums, header fields) are served from a 64 KiB
// buffer; large ones go straight to the caller's memory.
class TFileStream : public TStream {
  public:
    explicit TFileStream(const std::string& fileName);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    size_t Read(void* buffer, size_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() const override { return FSize; }

  private:
    static constexpr size_t kBufferSize = size_t{64} << 10;
    size_t ReadAt(uint8_t* out, size_t count, int64_t position);

    // A descriptor on POSIX systems, a HANDLE on Windows; -1 when closed.
    intptr_t FHandle = -1;
    int64_t FSize = 0;
    int64_t FPosition = 0;
    std::unique_ptr<uint8_t[]> FBuffer;
    int64_t FBufferStart = 0; // file offset of FBuffer[0]
    size_t FBuffered = 0;     // valid bytes in FBuffer
};

} // namespace korvalis
