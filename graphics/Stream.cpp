#include "Stream.h"

#include "Exceptions.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

TFileStream::TFileStream(const std::string& fileName) {
    // Without O_NONBLOCK, opening a FIFO waits for a writer that may never come.
    FHandle = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (FHandle < 0)
        throw EFOpenError(
            Format("Cannot open file \"%s\". %s", fileName.c_str(), std::strerror(errno)));
    // Pictures are read by position from a file of known size: a directory, a
    // pipe or a device cannot be read that way.
    struct stat st {};
    const bool known = ::fstat(FHandle, &st) == 0;
    if (!known || !S_ISREG(st.st_mode)) {
        const int err = errno;
        ::close(FHandle);
        FHandle = -1;
        const char* reason = !known                ? std::strerror(err)
                             : S_ISDIR(st.st_mode) ? std::strerror(EISDIR)
                                                   : "Not a regular file";
        throw EFOpenError(Format("Cannot open file \"%s\". %s", fileName.c_str(), reason));
    }
    FSize = st.st_size;
}

TFileStream::~TFileStream() {
    if (FHandle >= 0)
        ::close(FHandle);
}

size_t TFileStream::ReadAt(uint8_t* out, size_t count, int64_t position) {
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(FHandle, out + done, count - done, position);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
        position += n;
    }
    return done;
}

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
