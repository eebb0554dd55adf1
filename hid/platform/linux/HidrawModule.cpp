// The HID module of the Linux backend: hidraw nodes, their ioctls and sysfs.
#include "LinuxSysfs.h"
#include "ReportDescriptor.h"

#include "LinuxPlatform.h"
#include "hid/Hid.h"
#include "hid/ModuleLoader.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace korvalis::linuxhid {

namespace {

// hidraw keeps a fixed queue of this many reports per open node.
constexpr uint32_t kHidrawQueue = 64;

struct THandle {
    int Fd = -1;   // -1 for a query-only handle
    int Wake = -1; // read handles: ends a wait early
    std::string Node;
    std::string Syspath;
    bool Write = false;
    bool Numbered = false;
    // The node hung up or failed a read: later reads cannot start, so the
    // reader pauses between attempts instead of spinning on the dead node.
    bool Dead = false;
};

enum TReadState : uintptr_t { rsIdle, rsPending, rsDone, rsFailed, rsCancelled };

thread_local uint32_t tLastError = 0;

bool Fail(uint32_t error) {
    tLastError = error;
    return false;
}

THandle* Of(HANDLE h) {
    return h == INVALID_HANDLE_VALUE || h == 0 ? nullptr : reinterpret_cast<THandle*>(h);
}

std::optional<std::vector<uint8_t>> Descriptor(const THandle& h) {
    if (!h.Syspath.empty())
        if (auto bytes =
                ReadBytes(h.Syspath + "/device/report_descriptor", HID_MAX_DESCRIPTOR_SIZE))
            return bytes;
    if (h.Fd < 0)
        return std::nullopt;
    int size = 0;
    if (ioctl(h.Fd, HIDIOCGRDESCSIZE, &size) < 0 || size <= 0 || size > HID_MAX_DESCRIPTOR_SIZE)
        return std::nullopt;
    hidraw_report_descriptor rd{};
    rd.size = uint32_t(size);
    if (ioctl(h.Fd, HIDIOCGRDESC, &rd) < 0)
        return std::nullopt;
    return std::vector<uint8_t>(rd.value, rd.value + size);
}

void GetHidGuid(GUID* guid) {
    *guid = GUID{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
}

HANDLE CreateFileA(const char* path, uint32_t access, uint32_t, uint32_t, uint32_t flags) {
    auto h = std::make_unique<THandle>();
    h->Node = path;
    h->Syspath = SyspathOfNode(path).value_or("");
    if (access == 0) {
        // Identity and descriptor come from sysfs: no permission on the node needed.
        if (h->Syspath.empty() || !ReadSysfsDevice(h->Syspath).Valid) {
            Fail(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
    } else {
        h->Write = access & GENERIC_WRITE;
        // Read handles never block: poll decides when to read, and a read
        // that found nothing after all must not hold up a stop.
        const int mode =
            (h->Write ? O_RDWR : O_RDONLY) | (flags & FILE_FLAG_OVERLAPPED ? O_NONBLOCK : 0);
        h->Fd = open(path, mode | O_CLOEXEC);
        if (h->Fd < 0) {
            Fail(ErrnoToError(errno));
            return INVALID_HANDLE_VALUE;
        }
    }
    if (flags & FILE_FLAG_OVERLAPPED) {
        h->Wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (h->Wake < 0) {
            Fail(ErrnoToError(errno));
            if (h->Fd >= 0)
                close(h->Fd);
            return INVALID_HANDLE_VALUE;
        }
        if (auto d = Descriptor(*h))
            h->Numbered = ParseReportDescriptor(*d).NumberedReports;
    }
    return reinterpret_cast<HANDLE>(h.release());
}

bool CloseHandle(HANDLE handle) {
    THandle* h = Of(handle);
    if (!h)
        return Fail(ERROR_INVALID_HANDLE);
    if (h->Fd >= 0)
        close(h->Fd);
    if (h->Wake >= 0)
        close(h->Wake);
    delete h;
    return true;
}

bool GetAttributes(HANDLE handle, HIDD_ATTRIBUTES* a) {
    THandle* h = Of(handle);
    if (!h)
        return Fail(ERROR_INVALID_HANDLE);
    if (!h->Syspath.empty()) {
        const TSysfsDevice d = ReadSysfsDevice(h->Syspath);
        if (d.Valid) {
            a->VendorID = d.VendorID;
            a->ProductID = d.ProductID;
            a->VersionNumber = d.Version;
            return true;
        }
    }
    hidraw_devinfo info{};
    if (h->Fd < 0 || ioctl(h->Fd, HIDIOCGRAWINFO, &info) < 0)
        return Fail(ERROR_GEN_FAILURE);
    a->VendorID = uint16_t(info.vendor);
    a->ProductID = uint16_t(info.product);
    a->VersionNumber = 0;
    return true;
}

bool GetPreparsedData(HANDLE handle, PHIDP_PREPARSED_DATA* data) {
    THandle* h = Of(handle);
    if (!h)
        return Fail(ERROR_INVALID_HANDLE);
    auto d = Descriptor(*h);
    if (!d)
        return Fail(ERROR_GEN_FAILURE);
    *data = new TReportLayout(ParseReportDescriptor(*d));
    return true;
}

bool FreePreparsedData(PHIDP_PREPARSED_DATA data) {
    delete static_cast<TReportLayout*>(data);
    return true;
}

int32_t GetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps) {
    *caps = static_cast<TReportLayout*>(data)->Caps;
    return HIDP_STATUS_SUCCESS;
}

bool GetNumInputBuffers(HANDLE handle, uint32_t* count) {
    if (!Of(handle))
        return Fail(ERROR_INVALID_HANDLE);
    *count = kHidrawQueue;
    return true;
}

bool SetNumInputBuffers(HANDLE handle, uint32_t) {
    // The queue length is fixed in the kernel; the request is accepted.
    return Of(handle) ? true : Fail(ERROR_INVALID_HANDLE);
}

bool FlushQueue(HANDLE handle) {
    THandle* h = Of(handle);
    if (!h || h->Fd < 0)
        return Fail(ERROR_INVALID_HANDLE);
    uint8_t scratch[HID_MAX_DESCRIPTOR_SIZE];
    pollfd p{h->Fd, POLLIN, 0};
    while (poll(&p, 1, 0) > 0 && (p.revents & POLLIN))
        if (read(h->Fd, scratch, sizeof scratch) <= 0)
            break;
    return true;
}

bool GetInputReport(HANDLE handle, void* buffer, uint32_t length) {
    THandle* h = Of(handle);
    if (!h || h->Fd < 0)
        return Fail(ERROR_INVALID_HANDLE);
    return ioctl(h->Fd, HIDIOCGINPUT(length), buffer) >= 0 ? true : Fail(ErrnoToError(errno));
}

bool SetOutputReport(HANDLE handle, const void* buffer, uint32_t length) {
    THandle* h = Of(handle);
    if (!h || h->Fd < 0)
        return Fail(ERROR_INVALID_HANDLE);
    return ioctl(h->Fd, HIDIOCSOUTPUT(length), buffer) >= 0 ? true : Fail(ErrnoToError(errno));
}

bool WriteFile(HANDLE handle, const void* buffer, uint32_t length, uint32_t* written) {
    THandle* h = Of(handle);
    if (!h)
        return Fail(ERROR_INVALID_HANDLE);
    if (h->Fd < 0 || !h->Write)
        return Fail(ERROR_ACCESS_DENIED);
    // hidraw takes the whole report, ID byte first (0 without numbered reports).
    ssize_t n;
    do {
        n = write(h->Fd, buffer, length);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return Fail(ErrnoToError(errno));
    *written = uint32_t(n);
    return uint32_t(n) == length ? true : Fail(ERROR_GEN_FAILURE);
}

bool ReadFileEx(HANDLE handle, void* buffer, uint32_t length, OVERLAPPED* ov) {
    THandle* h = Of(handle);
    if (!h || h->Fd < 0)
        return Fail(ERROR_INVALID_HANDLE);
    if (h->Dead)
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    // A read of 0 bytes would end as if the node hung up.
    if (length == 0)
        return Fail(ERROR_INVALID_PARAMETER);
    ov->Internal[0] = rsPending;
    ov->Internal[1] = 0;
    ov->Internal[2] = reinterpret_cast<uintptr_t>(buffer);
    ov->Internal[3] = length;
    return true;
}

uint32_t ReadWait(HANDLE handle, OVERLAPPED* ov, uint32_t milliseconds) {
    THandle* h = Of(handle);
    if (!h || h->Fd < 0 || ov->Internal[0] != rsPending)
        return 0;
    pollfd fds[2] = {{h->Fd, POLLIN, 0}, {h->Wake, POLLIN, 0}};
    int r;
    do {
        r = poll(fds, h->Wake >= 0 ? 2 : 1, int(milliseconds));
    } while (r < 0 && errno == EINTR);
    if (r <= 0)
        return 0;
    if (h->Wake >= 0 && (fds[1].revents & POLLIN)) {
        uint64_t value;
        [[maybe_unused]] ssize_t n = read(h->Wake, &value, sizeof value);
        return 0; // a report that arrived meanwhile stays queued in the kernel
    }
    if (fds[0].revents & POLLIN) {
        const ssize_t n = ReadFramedReport(h->Fd, reinterpret_cast<uint8_t*>(ov->Internal[2]),
                                           ov->Internal[3], h->Numbered);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0; // nothing there after all: the read stays outstanding
        if (n > 0) {
            ov->Internal[0] = rsDone;
            ov->Internal[1] = uintptr_t(n);
        } else {
            ov->Internal[0] = rsFailed;
            ov->Internal[4] = n == 0 ? ERROR_DEVICE_NOT_CONNECTED : ErrnoToError(errno);
            h->Dead = true;
        }
        return WAIT_IO_COMPLETION;
    }
    // POLLHUP, POLLERR: the device is gone; the read ends without data.
    h->Dead = true;
    ov->Internal[0] = rsFailed;
    ov->Internal[4] = ERROR_DEVICE_NOT_CONNECTED;
    return WAIT_IO_COMPLETION;
}

bool ReadWake(HANDLE handle) {
    THandle* h = Of(handle);
    if (!h || h->Wake < 0)
        return Fail(ERROR_INVALID_HANDLE);
    const uint64_t one = 1;
    return write(h->Wake, &one, sizeof one) == sizeof one ? true : Fail(ErrnoToError(errno));
}

bool GetOverlappedResult(HANDLE handle, OVERLAPPED* ov, uint32_t* transferred, bool) {
    if (!Of(handle))
        return Fail(ERROR_INVALID_HANDLE);
    if (ov->Internal[0] != rsDone)
        return Fail(ov->Internal[0] == rsFailed ? uint32_t(ov->Internal[4]) : 996);
    *transferred = uint32_t(ov->Internal[1]);
    return true;
}

bool CancelIo(HANDLE handle) {
    // Reads happen inside the wait; a pending one has taken nothing yet.
    return Of(handle) ? true : Fail(ERROR_INVALID_HANDLE);
}

uint32_t GetLastError() {
    return tLastError;
}

} // namespace

} // namespace korvalis::linuxhid

namespace korvalis {

void RegisterLinuxHidrawModule() {
    using namespace linuxhid;
    THidApi hid;
    hid.HidD_GetHidGuid = &GetHidGuid;
    hid.HidD_GetAttributes = &GetAttributes;
    hid.HidD_GetPreparsedData = &GetPreparsedData;
    hid.HidD_FreePreparsedData = &FreePreparsedData;
    hid.HidD_FlushQueue = &FlushQueue;
    hid.HidD_GetNumInputBuffers = &GetNumInputBuffers;
    hid.HidD_SetNumInputBuffers = &SetNumInputBuffers;
    hid.HidD_GetInputReport = &GetInputReport;
    hid.HidD_SetOutputReport = &SetOutputReport;
    hid.HidP_GetCaps = &GetCaps;
    hid.CreateFileA = &linuxhid::CreateFileA;
    hid.CloseHandle = &linuxhid::CloseHandle;
    hid.WriteFile = &linuxhid::WriteFile;
    hid.ReadFileEx = &linuxhid::ReadFileEx;
    hid.ReadWait = &ReadWait;
    hid.ReadWake = &ReadWake;
    hid.GetOverlappedResult = &linuxhid::GetOverlappedResult;
    hid.GetLastError = &linuxhid::GetLastError;
    RegisterHidModule(kLinuxModules.Hid, hid, &linuxhid::CancelIo);
}

} // namespace korvalis
