#include "OutputFile.h"

#include "Command.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>

namespace korvalis::cli {

static constexpr size_t kSinkBuffer = 64 * 1024;

void TOutputSink::Write(const void* data, size_t size) {
    if (FError != 0)
        return;
    if (FBuffer.size() + size > kSinkBuffer) {
        Flush();
        if (size >= kSinkBuffer) {
            WriteThrough(static_cast<const uint8_t*>(data), size);
            return;
        }
    }
    FBuffer.append(static_cast<const char*>(data), size);
}

bool TOutputSink::Flush() {
    WriteThrough(reinterpret_cast<const uint8_t*>(FBuffer.data()), FBuffer.size());
    FBuffer.clear();
    return FError == 0;
}

bool WriteOutputFile(const std::string& fileName, std::span<const uint8_t> bytes) {
    return WriteOutputFile(fileName, [bytes](TOutputSink& out) { out.Write(bytes); });
}

} // namespace korvalis::cli

#ifndef _WIN32

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace korvalis::cli {

namespace {

// Where the bytes for one name go.
struct TTarget {
    enum TKind { tkDescriptor, tkInPlace, tkReplace, tkFailed } Kind = tkFailed;
    int Fd = -1;      // tkDescriptor
    std::string Path; // tkInPlace, tkReplace: the name with every symlink followed
    bool Exists = false;
    struct stat Stat {};
    int Error = 0; // tkFailed
};

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The descriptor a name such as /dev/fd/3 or /proc/self/fd/3 stands for.
std::optional<int> DescriptorOf(const std::string& path) {
    if (path == "/dev/stdout")
        return 1;
    if (path == "/dev/stderr")
        return 2;
    for (const std::string& prefix : {std::string("/dev/fd/"), std::string("/proc/self/fd/"),
                                      "/proc/" + std::to_string(::getpid()) + "/fd/"}) {
        if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0)
            continue;
        int fd = -1;
        const char* end = path.data() + path.size();
        const auto [next, ec] = std::from_chars(path.data() + prefix.size(), end, fd);
        if (ec == std::errc() && next == end)
            return fd;
    }
    return std::nullopt;
}

// Follows the name as the shell's redirection would, one link at a time, so a
// symlink is written through and a descriptor's name reaches the descriptor.
TTarget Resolve(const std::string& name) {
    TTarget t;
    if (name == "-") {
        t.Kind = TTarget::tkDescriptor;
        t.Fd = STDOUT_FILENO;
        return t;
    }
    std::string path = name;
    for (int hop = 0; hop < 40; ++hop) {
        if (const auto fd = DescriptorOf(path)) {
            t.Kind = TTarget::tkDescriptor;
            t.Fd = *fd;
            return t;
        }
        t.Path = path;
        if (::lstat(path.c_str(), &t.Stat) != 0) {
            // Missing: created here. Any other reason shows when the folder is used.
            t.Kind = TTarget::tkReplace;
            return t;
        }
        t.Exists = true;
        if (S_ISREG(t.Stat.st_mode)) {
            t.Kind = TTarget::tkReplace;
            return t;
        }
        // The kernel's own links (/proc/PID/fd/N of another process) name no path.
        if (!S_ISLNK(t.Stat.st_mode) || path.rfind("/proc/", 0) == 0) {
            t.Kind = TTarget::tkInPlace;
            return t;
        }
        std::string target(size_t(t.Stat.st_size > 0 ? t.Stat.st_size : 255) + 1, '\0');
        const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n < 0 || size_t(n) >= target.size()) {
            t.Error = n < 0 ? errno : ENAMETOOLONG;
            return t;
        }
        target.resize(size_t(n));
        path = target.front() == '/' || path.find('/') == std::string::npos
                   ? target
                   : FolderOf(path) + "/" + target;
        t.Exists = false;
    }
    t.Error = ELOOP;
    return t;
}

// open() refuses sockets; connecting writes into them as into a pipe.
int ConnectSocket(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    for (const int type : {SOCK_STREAM, SOCK_SEQPACKET, SOCK_DGRAM}) {
        const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            return fd;
        const int error = errno;
        ::close(fd);
        errno = error;
        if (error != EPROTOTYPE)
            return -1;
    }
    return -1;
}

bool Fail(const std::string& name, int error) {
    PrintError((name == "-" ? std::string("standard output") : name) + ": " + std::strerror(error));
    return false;
}

bool WriteInPlace(const std::string& name, const TTarget& t,
                  const std::function<void(TOutputSink&)>& writer) {
    int fd = t.Fd;
    if (t.Kind == TTarget::tkInPlace) {
        fd = ::open(t.Path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0 && errno == ENXIO && S_ISSOCK(t.Stat.st_mode))
            fd = ConnectSocket(t.Path);
        if (fd < 0)
            return Fail(name, errno);
    }
    TOutputSink sink(fd);
    try {
        writer(sink);
    } catch (...) {
        if (t.Kind == TTarget::tkInPlace)
            ::close(fd);
        throw;
    }
    sink.Flush();
    int error = sink.Error();
    if (t.Kind == TTarget::tkInPlace && ::close(fd) != 0 && error == 0)
        error = errno;
    return error == 0 || Fail(name, error);
}

mode_t DefaultMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

bool Replace(const std::string& name, const TTarget& t,
             const std::function<void(TOutputSink&)>& writer) {
    // A read-only file is not replaced behind its owner's back.
    if (t.Exists && ::faccessat(AT_FDCWD, t.Path.c_str(), W_OK, AT_EACCESS) != 0)
        return Fail(name, errno);
    const std::string folder = FolderOf(t.Path);
    std::string temporary = folder + "/." + BaseOf(t.Path).substr(0, 200) + ".korvalis-XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        PrintError(name + ": cannot create a file in the folder " + folder + ": " +
                   std::strerror(error));
        return false;
    }
    int error = 0;
    try {
        if (t.Exists) {
            // Only root may give the file away; others keep their own.
            if ((t.Stat.st_uid != ::geteuid() || t.Stat.st_gid != ::getegid()) &&
                ::fchown(fd, t.Stat.st_uid, t.Stat.st_gid) != 0 && errno != EPERM)
                error = errno;
        }
        if (error == 0 && ::fchmod(fd, t.Exists ? t.Stat.st_mode & 07777 : DefaultMode()) != 0)
            error = errno;
        if (error == 0) {
            TOutputSink sink(fd);
            sink.StartWritingToDisk();
            sink.DiscardOnFailure();
            writer(sink);
            sink.Flush();
            error = sink.Error();
        }
        if (error == 0 && ::fsync(fd) != 0)
            error = errno;
    } catch (...) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw;
    }
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporary.c_str(), t.Path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        return Fail(name, error);
    }
    // The new name itself lasts only once the folder is on disk too.
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

} // namespace

void TOutputSink::WriteThrough(const uint8_t* data, size_t size) {
    const uint64_t start = FWritten;
    while (size > 0 && FError == 0) {
        const ssize_t n = ::write(FHandle, data, size);
        if (n < 0) {
            if (errno != EINTR)
                FError = errno;
            continue;
        }
        if (n == 0) {
            FError = EIO;
            continue;
        }
        data += n;
        size -= size_t(n);
        FWritten += uint64_t(n);
    }
#ifdef SYNC_FILE_RANGE_WRITE
    // Only a hint: where the system refuses it, the final sync does it all.
    if (FStartWriteback && FWritten > start)
        ::sync_file_range(FHandle, off64_t(start), off64_t(FWritten - start),
                          SYNC_FILE_RANGE_WRITE);
#endif
}

bool WriteOutputFile(const std::string& fileName, const std::function<void(TOutputSink&)>& writer) {
    const TTarget target = Resolve(fileName);
    switch (target.Kind) {
    case TTarget::tkDescriptor:
    case TTarget::tkInPlace:
        return WriteInPlace(fileName, target, writer);
    case TTarget::tkReplace:
        return Replace(fileName, target, writer);
    case TTarget::tkFailed:
        break;
    }
    return Fail(fileName, target.Error);
}

} // namespace korvalis::cli

#endif
