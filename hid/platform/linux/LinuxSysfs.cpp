#include "LinuxSysfs.h"

#include "hid/HidPlatform.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace korvalis::linuxhid {

std::optional<std::vector<uint8_t>> ReadBytes(const std::string& path, size_t limit) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::vector<uint8_t> data;
    uint8_t chunk[4096];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        data.insert(data.end(), chunk, chunk + n);
        if (data.size() > limit) {
            data.resize(limit);
            break;
        }
    }
    close(fd);
    return data;
}

std::optional<std::string> ReadText(const std::string& path, size_t limit) {
    auto bytes = ReadBytes(path, limit);
    if (!bytes)
        return std::nullopt;
    std::string text(bytes->begin(), bytes->end());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0'))
        text.pop_back();
    return text;
}

std::map<std::string, std::string> ParseUevent(const std::string& text) {
    std::map<std::string, std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        if (const size_t eq = line.find('='); eq != std::string::npos)
            out[line.substr(0, eq)] = line.substr(eq + 1);
        start = end + 1;
    }
    return out;
}

uint32_t SequenceOfHidName(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 >= name.size() || name.size() - dot - 1 > 8)
        return 0;
    char* end = nullptr;
    const unsigned long v = std::strtoul(name.c_str() + dot + 1, &end, 16);
    return *end == '\0' ? uint32_t(v) : 0;
}

namespace {

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

std::string Parent(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

uint32_t Hex(const std::string& text) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 16);
    return end == text.c_str() ? 0 : uint32_t(v);
}

} // namespace

TSysfsDevice ReadSysfsDevice(const std::string& syspath) {
    TSysfsDevice d;
    d.Syspath = syspath;
    d.HidDir = RealPath(syspath + "/device");
    if (d.HidDir.empty())
        return d;
    const auto uevent = ReadText(d.HidDir + "/uevent");
    if (!uevent)
        return d;
    auto keys = ParseUevent(*uevent);
    unsigned bus = 0, vendor = 0, product = 0;
    if (std::sscanf(keys["HID_ID"].c_str(), "%x:%x:%x", &bus, &vendor, &product) != 3)
        return d;
    d.Bus = uint16_t(bus);
    d.VendorID = uint16_t(vendor);
    d.ProductID = uint16_t(product);
    d.Name = keys["HID_NAME"];
    d.Phys = keys["HID_PHYS"];
    d.Uniq = keys["HID_UNIQ"];
    d.Modalias = keys["MODALIAS"];
    d.Driver = keys["DRIVER"];
    d.Sequence = SequenceOfHidName(d.HidDir.substr(d.HidDir.rfind('/') + 1));
    if (auto own = ReadText(syspath + "/uevent"))
        d.Minor = uint32_t(std::strtoul(ParseUevent(*own)["MINOR"].c_str(), nullptr, 10));
    // The USB device sits a few levels up (interface, then device).
    std::string dir = Parent(d.HidDir);
    for (int level = 0; level < 4 && !dir.empty(); ++level, dir = Parent(dir)) {
        if (auto bcd = ReadText(dir + "/bcdDevice")) {
            d.Version = uint16_t(Hex(*bcd));
            d.Manufacturer = ReadText(dir + "/manufacturer").value_or("");
            d.BusNumber = uint32_t(
                std::strtoul(ReadText(dir + "/busnum").value_or("0").c_str(), nullptr, 10));
            break;
        }
    }
    d.Valid = true;
    return d;
}

namespace {
std::mutex gNodesLock;
std::map<std::string, std::string> gNodes;
} // namespace

void RememberNode(const std::string& node, const std::string& syspath) {
    std::lock_guard lock(gNodesLock);
    gNodes[node] = syspath;
}

std::optional<std::string> SyspathOfNode(const std::string& node) {
    {
        std::lock_guard lock(gNodesLock);
        if (auto it = gNodes.find(node); it != gNodes.end())
            return it->second;
    }
    struct stat st {};
    if (stat(node.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return std::nullopt;
    const std::string link = "/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                             std::to_string(minor(st.st_rdev));
    const std::string path = RealPath(link);
    return path.empty() ? std::nullopt : std::optional<std::string>(path);
}

uint32_t ErrnoToError(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENXIO:
        return ERROR_FILE_NOT_FOUND;
    case ENODEV:
    case EIO:
    case EPIPE:
    case ESHUTDOWN:
        return ERROR_DEVICE_NOT_CONNECTED;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EINVAL:
    case EMSGSIZE:
        return ERROR_INVALID_PARAMETER;
    default:
        return ERROR_GEN_FAILURE;
    }
}

ssize_t ReadFramedReport(int fd, uint8_t* buffer, size_t length, bool numbered) {
    if (length == 0)
        return 0;
    ssize_t n;
    do {
        n = numbered ? read(fd, buffer, length) : read(fd, buffer + 1, length - 1);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return -1;
    if (numbered || n == 0) // 0: the node is gone
        return n;
    buffer[0] = 0;
    return n + 1;
}

} // namespace korvalis::linuxhid
