// The HID module of the Windows backend: hid.dll for identity and report
// lengths, overlapped file I/O on the interface for reports.
#include "WindowsPlatform.h"

#include "hid/ModuleLoader.h"

namespace korvalis::winhid {
// The seam's invalid handle, before <windows.h> makes the name a macro.
constexpr korvalis::HANDLE kNoHandle = korvalis::INVALID_HANDLE_VALUE;
} // namespace korvalis::winhid

#include <windows.h>

#include <hidsdi.h>

// Inside our namespace the macro's HANDLE would be the seam's.
static const ::HANDLE kInvalidFile = INVALID_HANDLE_VALUE;

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace korvalis::winhid {

namespace {

static_assert(sizeof(::HIDP_CAPS) == sizeof(korvalis::HIDP_CAPS));

// A write the device does not take in this time fails instead of hanging the
// caller: the time the Linux kernel gives a USB HID output report.
constexpr DWORD kWriteTimeout = 5000;

struct THidDll {
    decltype(&::HidD_GetHidGuid) HidD_GetHidGuid = nullptr;
    decltype(&::HidD_GetAttributes) HidD_GetAttributes = nullptr;
    decltype(&::HidD_GetPreparsedData) HidD_GetPreparsedData = nullptr;
    decltype(&::HidD_FreePreparsedData) HidD_FreePreparsedData = nullptr;
    decltype(&::HidD_FlushQueue) HidD_FlushQueue = nullptr;
    decltype(&::HidD_GetNumInputBuffers) HidD_GetNumInputBuffers = nullptr;
    decltype(&::HidD_SetNumInputBuffers) HidD_SetNumInputBuffers = nullptr;
    decltype(&::HidD_GetInputReport) HidD_GetInputReport = nullptr;
    decltype(&::HidD_SetOutputReport) HidD_SetOutputReport = nullptr;
    decltype(&::HidP_GetCaps) HidP_GetCaps = nullptr;
};

#define KORVALIS_HIDDLL(name) KORVALIS_BINDING_ENTRY(THidDll, name, 0)

TModuleBinding<THidDll>& Binding() {
    static TModuleBinding<THidDll> binding({
        KORVALIS_HIDDLL(HidD_GetHidGuid),
        KORVALIS_HIDDLL(HidD_GetAttributes),
        KORVALIS_HIDDLL(HidD_GetPreparsedData),
        KORVALIS_HIDDLL(HidD_FreePreparsedData),
        KORVALIS_HIDDLL(HidD_FlushQueue),
        KORVALIS_HIDDLL(HidD_GetNumInputBuffers),
        KORVALIS_HIDDLL(HidD_SetNumInputBuffers),
        KORVALIS_HIDDLL(HidD_GetInputReport),
        KORVALIS_HIDDLL(HidD_SetOutputReport),
        KORVALIS_HIDDLL(HidP_GetCaps),
    });
    return binding;
}

const THidDll& Dll() {
    return Binding().Table();
}

thread_local uint32_t tLastError = 0;

bool Fail(uint32_t error) {
    tLastError = error;
    return false;
}

// The system's answer of a call, its error kept for GetLastError.
bool Check(BOOL ok) {
    return ok ? true : Fail(::GetLastError());
}

enum class TRead { Idle, Pending, Done, Failed };

// One open interface. Every handle is opened overlapped, so a write can be
// given up on; a read lands in the handle's own buffer, which lives until the
// read is over, whatever happens to the caller's.
struct THandle {
    ::HANDLE File = kInvalidFile;
    ::HANDLE ReadDone = nullptr; // manual reset: the read's completion
    ::HANDLE Wake = nullptr;     // auto reset: ends a ReadWait early
    ::HANDLE WriteDone = nullptr;
    ::OVERLAPPED Read{};
    std::vector<uint8_t> Buffer;
    TRead State = TRead::Idle;
    DWORD Transferred = 0;
    DWORD Error = 0;
    void* Target = nullptr;
    uint32_t TargetLength = 0;

    // Ends the outstanding read and waits until the system is done with the
    // buffer.
    void CancelRead() {
        if (State != TRead::Pending)
            return;
        ::CancelIoEx(File, &Read);
        DWORD n = 0;
        ::GetOverlappedResult(File, &Read, &n, TRUE);
        State = TRead::Idle;
    }
    ~THandle() {
        CancelRead();
        for (::HANDLE h : {File, ReadDone, Wake, WriteDone})
            if (h && h != kInvalidFile)
                ::CloseHandle(h);
    }
};

THandle* Of(korvalis::HANDLE h) {
    return h == kNoHandle || h == 0 ? nullptr : reinterpret_cast<THandle*>(h);
}

::HANDLE FileOf(korvalis::HANDLE h) {
    THandle* handle = Of(h);
    return handle ? handle->File : kInvalidFile;
}

void GetHidGuid(korvalis::GUID* guid) {
    ::GUID g;
    Dll().HidD_GetHidGuid(&g);
    std::memcpy(static_cast<void*>(guid), &g, sizeof g);
}

korvalis::HANDLE CreateFileA(const char* path, uint32_t access, uint32_t share,
                             uint32_t disposition, uint32_t) {
    auto h = std::make_unique<THandle>();
    h->File = ::CreateFileW(Utf16(path).c_str(), access, share, nullptr, disposition,
                            FILE_FLAG_OVERLAPPED, nullptr);
    if (h->File == kInvalidFile) {
        Fail(::GetLastError());
        return kNoHandle;
    }
    h->ReadDone = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    h->Wake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    h->WriteDone = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!h->ReadDone || !h->Wake || !h->WriteDone) {
        Fail(::GetLastError());
        return kNoHandle;
    }
    return reinterpret_cast<korvalis::HANDLE>(h.release());
}

bool CloseHandle(korvalis::HANDLE handle) {
    THandle* h = Of(handle);
    if (!h)
        return Fail(ERROR_INVALID_HANDLE);
    delete h;
    return true;
}

bool GetAttributes(korvalis::HANDLE handle, korvalis::HIDD_ATTRIBUTES* a) {
    ::HIDD_ATTRIBUTES got{};
    got.Size = sizeof got;
    if (!Check(Dll().HidD_GetAttributes(FileOf(handle), &got)))
        return false;
    a->VendorID = got.VendorID;
    a->ProductID = got.ProductID;
    a->VersionNumber = got.VersionNumber;
    return true;
}

bool GetPreparsedData(korvalis::HANDLE handle, PHIDP_PREPARSED_DATA* data) {
    ::PHIDP_PREPARSED_DATA got = nullptr;
    if (!Check(Dll().HidD_GetPreparsedData(FileOf(handle), &got)))
        return false;
    *data = got;
    return true;
}

bool FreePreparsedData(PHIDP_PREPARSED_DATA data) {
    return Check(Dll().HidD_FreePreparsedData(static_cast<::PHIDP_PREPARSED_DATA>(data)));
}

int32_t GetCaps(PHIDP_PREPARSED_DATA data, korvalis::HIDP_CAPS* caps) {
    ::HIDP_CAPS got{};
    const NTSTATUS status = Dll().HidP_GetCaps(static_cast<::PHIDP_PREPARSED_DATA>(data), &got);
    if (status == HIDP_STATUS_SUCCESS)
        std::memcpy(caps, &got, sizeof got);
    return int32_t(status);
}

bool GetNumInputBuffers(korvalis::HANDLE handle, uint32_t* count) {
    ULONG n = 0;
    if (!Check(Dll().HidD_GetNumInputBuffers(FileOf(handle), &n)))
        return false;
    *count = n;
    return true;
}

bool SetNumInputBuffers(korvalis::HANDLE handle, uint32_t count) {
    return Check(Dll().HidD_SetNumInputBuffers(FileOf(handle), count));
}

bool FlushQueue(korvalis::HANDLE handle) {
    return Check(Dll().HidD_FlushQueue(FileOf(handle)));
}

bool GetInputReport(korvalis::HANDLE handle, void* buffer, uint32_t length) {
    return Check(Dll().HidD_GetInputReport(FileOf(handle), buffer, length));
}

bool SetOutputReport(korvalis::HANDLE handle, const void* buffer, uint32_t length) {
    return Check(Dll().HidD_SetOutputReport(FileOf(handle), const_cast<void*>(buffer), length));
}

bool WriteFile(korvalis::HANDLE handle, const void* buffer, uint32_t length, uint32_t* written) {
    THandle* h = Of(handle);
    if (!h)
        return Fail(ERROR_INVALID_HANDLE);
    ::OVERLAPPED ov{};
    ov.hEvent = h->WriteDone;
    ::ResetEvent(h->WriteDone);
    // The whole report, ID byte first, as the HID driver takes it.
    if (!::WriteFile(h->File, buffer, length, nullptr, &ov) && ::GetLastError() != ERROR_IO_PENDING)
        return Fail(::GetLastError());
    bool timedOut = false;
    if (::WaitForSingleObject(h->WriteDone, kWriteTimeout) != WAIT_OBJECT_0) {
        // A device that takes nothing any more: give the write up.
        ::CancelIoEx(h->File, &ov);
        timedOut = true;
    }
    DWORD n = 0;
    if (!::GetOverlappedResult(h->File, &ov, &n, TRUE))
        return Fail(timedOut ? ERROR_TIMEOUT : ::GetLastError());
    *written = n;
    return n == length ? true : Fail(ERROR_GEN_FAILURE);
}

bool ReadFileEx(korvalis::HANDLE handle, void* buffer, uint32_t length, korvalis::OVERLAPPED*) {
    THandle* h = Of(handle);
    if (!h)
        return Fail(ERROR_INVALID_HANDLE);
    h->Target = buffer;
    h->TargetLength = length;
    // A read still outstanding from a reader that was let go serves this one.
    if (h->State == TRead::Pending)
        return true;
    h->Buffer.assign(length, 0);
    h->Read = ::OVERLAPPED{};
    h->Read.hEvent = h->ReadDone;
    ::ResetEvent(h->ReadDone);
    if (!::ReadFile(h->File, h->Buffer.data(), length, nullptr, &h->Read) &&
        ::GetLastError() != ERROR_IO_PENDING) {
        h->State = TRead::Idle;
        return Fail(::GetLastError());
    }
    h->State = TRead::Pending;
    return true;
}

uint32_t ReadWait(korvalis::HANDLE handle, korvalis::OVERLAPPED*, uint32_t milliseconds) {
    THandle* h = Of(handle);
    // Nothing outstanding: nothing to wait for, and the reader must not spin.
    if (!h || h->State != TRead::Pending)
        return WAIT_IO_COMPLETION;
    const ::HANDLE events[2] = {h->ReadDone, h->Wake};
    if (::WaitForMultipleObjects(2, events, FALSE, milliseconds) != WAIT_OBJECT_0)
        return 0;
    DWORD n = 0;
    if (::GetOverlappedResult(h->File, &h->Read, &n, FALSE)) {
        h->State = TRead::Done;
        h->Transferred = std::min<DWORD>(n, h->TargetLength);
        std::memcpy(h->Target, h->Buffer.data(), h->Transferred);
    } else {
        h->State = TRead::Failed;
        h->Error = ::GetLastError();
    }
    return WAIT_IO_COMPLETION;
}

bool ReadWake(korvalis::HANDLE handle) {
    THandle* h = Of(handle);
    if (!h)
        return Fail(ERROR_INVALID_HANDLE);
    return Check(::SetEvent(h->Wake));
}

bool GetOverlappedResult(korvalis::HANDLE handle, korvalis::OVERLAPPED*, uint32_t* transferred,
                         bool) {
    THandle* h = Of(handle);
    if (!h)
        return Fail(ERROR_INVALID_HANDLE);
    if (h->State == TRead::Failed)
        return Fail(h->Error);
    if (h->State != TRead::Done)
        return Fail(ERROR_IO_INCOMPLETE);
    *transferred = h->Transferred;
    return true;
}

bool CancelIo(korvalis::HANDLE handle) {
    THandle* h = Of(handle);
    if (!h)
        return Fail(ERROR_INVALID_HANDLE);
    h->CancelRead();
    return true;
}

uint32_t GetLastError() {
    return tLastError;
}

bool Bind() {
    return Binding().LoadOrGiveBack("hid.dll");
}

void Unbind() {
    Binding().Unload();
}

} // namespace

} // namespace korvalis::winhid

namespace korvalis {

void RegisterWindowsHidModule() {
    using namespace winhid;
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
    hid.CreateFileA = &winhid::CreateFileA;
    hid.CloseHandle = &winhid::CloseHandle;
    hid.WriteFile = &winhid::WriteFile;
    hid.ReadFileEx = &winhid::ReadFileEx;
    hid.ReadWait = &ReadWait;
    hid.ReadWake = &ReadWake;
    hid.GetOverlappedResult = &winhid::GetOverlappedResult;
    hid.GetLastError = &winhid::GetLastError;
    // hid.dll is bound when the module loads; without it there is no module.
    RegisterHidModule(kWindowsModules.Hid, hid, &winhid::CancelIo, Bind, Unbind);
}

} // namespace korvalis
