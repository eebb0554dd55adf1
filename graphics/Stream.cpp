#include "Stream.h"

#include "Exceptions.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace korvalis {

static int64_t Clamp(int64_t base, int64_t offset) {
    if (offset < 0 && base < -offset)
        return 0;
    if (offset > 0 && base > INT64_MAX - offset)
        return INT64_MAX;
    return base + offset;
}

static int64_t SeekTarget(int64_t position, int64_t size, int64_t offset, TSeekOrigin origin) {
    switch (origin) {
    case TSeekOrigin::soBeginning:
        return std::max<int64_t>(offset, 0);
    case TSeekOrigin::soCurrent:
        return Clamp(position, offset);
    case TSeekOrigin::soEnd:
        return Clamp(size, offset);
    }
    return position;
}

int64_t TStream::Remaining() {
    return std::max<int64_t>(Size() - Position(), 0);
}

void TStream::ReadBuffer(void* buffer, size_t count) {
    if (count != 0 && Read(buffer, count) != count)
        throw EReadError();
}

size_t TBytesStream::Read(void* buffer, size_t count) {
    const int64_t size = Size();
    if (FPosition >= size || count == 0)
        return 0;
    const size_t n = static_cast<size_t>(std::min<int64_t>(size - FPosition, int64_t(count)));
    std::memcpy(buffer, FBytes.data() + FPosition, n);
    FPosition += static_cast<int64_t>(n);
    return n;
}

int64_t TBytesStream::Seek(int64_t offset, TSeekOrigin origin) {
    FPosition = SeekTarget(FPosition, Size(), offset, origin);
    return FPosition;
}

TMemoryStream::TMemoryStream(std::vector<uint8_t> bytes) : FData(std::move(bytes)) {
    Reset(FData);
}

void TMemoryStream::LoadFromStream(TStream& source) {
    std::vector<uint8_t> data(static_cast<size_t>(source.Remaining()));
    source.ReadBuffer(data.data(), data.size());
    FData = std::move(data);
    Reset(FData);
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
    TFileStream file(fileName);
    LoadFromStream(file);
}

#ifdef _WIN32

std::wstring Utf16(const std::string& text) {
    if (text.empty())
        return {};
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                      static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0)
        return {};
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        wide.data(), n);
    return wide;
}

std::string Utf8(const wchar_t* text, size_t length) {
    if (length == 0)
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                      nullptr, nullptr);
    if (n <= 0)
        return {};
    std::string narrow(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), narrow.data(), n, nullptr,
                        nullptr);
    return narrow;
}

std::string Utf8(const std::wstring& text) {
    return Utf8(text.data(), text.size());
}

// The system's text for an error, in UTF-8 and without the trailing line break.
static std::string SystemMessage(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = n > 0 && text ? Utf8(text, n) : std::string();
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    return message.empty() ? Format("Error %lu", static_cast<unsigned long>(error)) : message;
}

TFileStream::TFileStream(const std::string& fileName) {
    const std::wstring wide = Utf16(fileName);
    if (wide.empty() && !fileName.empty())
        throw EFOpenError(Format("Cannot open file \"%s\". %s", fileName.c_str(),
                                 SystemMessage(ERROR_NO_UNICODE_TRANSLATION).c_str()));
    // A directory cannot be opened without backup semantics; tell it apart
    // from other refusals as the POSIX branch does.
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        throw EFOpenError(
            Format("Cannot open file \"%s\". %s", fileName.c_str(), std::strerror(EISDIR)));
    // Others may read, write or delete the file meanwhile, as on POSIX systems.
    HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        throw EFOpenError(Format("Cannot open file \"%s\". %s", fileName.c_str(),
                                 SystemMessage(GetLastError()).c_str()));
    // Pictures are read by position from a file of known size: a pipe or a
    // device (NUL, CON, COM1) cannot be read that way.
    LARGE_INTEGER size{};
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &size)) {
        CloseHandle(handle);
        throw EFOpenError(
            Format("Cannot open file \"%s\". %s", fileName.c_str(), "Not a regular file"));
    }
    FHandle = reinterpret_cast<intptr_t>(handle);
    FSize = size.QuadPart;
}

TFileStream::~TFileStream() {
    if (FHandle != -1)
        CloseHandle(reinterpret_cast<HANDLE>(FHandle));
}

size_t TFileStream::ReadAt(uint8_t* out, size_t count, int64_t position) {
    size_t done = 0;
    while (done < count) {
        // The offset travels with each read, so reads by position need no seek.
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(static_cast<uint64_t>(position));
        at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(position) >> 32);
        const DWORD want = static_cast<DWORD>(std::min<size_t>(count - done, 1u << 30));
        DWORD n = 0;
        if (!ReadFile(reinterpret_cast<HANDLE>(FHandle), out + done, want, &n, &at) || n == 0)
            break;
        done += n;
        position += n;
    }
    return done;
}

#else

TFileStream::TFileStream(const std::string& fileName) {
    // Without O_NONBLOCK, opening a FIFO waits for a writer that may never come.
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        throw EFOpenError(
            Format("Cannot open file \"%s\". %s", fileName.c_str(), std::strerror(errno)));
    // Pictures are read by position from a file of known size: a directory, a
    // pipe or a device cannot be read that way.
    struct stat st {};
    const bool known = ::fstat(fd, &st) == 0;
    if (!known || !S_ISREG(st.st_mode)) {
        const int err = errno;
        ::close(fd);
        const char* reason = !known                ? std::strerror(err)
                             : S_ISDIR(st.st_mode) ? std::strerror(EISDIR)
                                                   : "Not a regular file";
        throw EFOpenError(Format("Cannot open file \"%s\". %s", fileName.c_str(), reason));
    }
    FHandle = fd;
    FSize = st.st_size;
}

TFileStream::~TFileStream() {
    if (FHandle >= 0)
        ::close(static_cast<int>(FHandle));
}

size_t TFileStream::ReadAt(uint8_t* out, size_t count, int64_t position) {
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(static_cast<int>(FHandle), out + done, count - done, position);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
        position += n;
    }
    return done;
}

#endif

size_t TFileStream::Read(void* buffer, size_t count) {
    auto* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    // What the buffer already holds from the position on.
    if (FBuffered > 0 && FPosition >= FBufferStart &&
        FPosition < FBufferStart + static_cast<int64_t>(FBuffered)) {
        const size_t offset = static_cast<size_t>(FPosition - FBufferStart);
        done = std::min(count, FBuffered - offset);
        std::memcpy(out, FBuffer.get() + offset, done);
        FPosition += static_cast<int64_t>(done);
    }
    if (done == count)
        return done;
    if (count - done >= kBufferSize) {
        const size_t n = ReadAt(out + done, count - done, FPosition);
        FPosition += static_cast<int64_t>(n);
        return done + n;
    }
    if (!FBuffer)
        FBuffer.reset(new uint8_t[kBufferSize]);
    FBufferStart = FPosition;
    FBuffered = ReadAt(FBuffer.get(), kBufferSize, FPosition);
    const size_t n = std::min(count - done, FBuffered);
    std::memcpy(out + done, FBuffer.get(), n);
    FPosition += static_cast<int64_t>(n);
    return done + n;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    FPosition = SeekTarget(FPosition, FSize, offset, origin);
    return FPosition;
}

} // namespace korvalis
