#include "SimPlatform.h"
#include "hid/platform/PropertyValue.h"

#include "hid/Hid.h"
#include "hid/ModuleLoader.h"
#include "hid/SetupApi.h"
#include "hid/platform/Platforms.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

namespace korvalis::sim {

namespace {

struct TDevice;

struct TPort final : ISimDevicePort {
    TDevice* Device = nullptr;
    void QueueInputReport(std::vector<uint8_t> report) override;
    uint32_t DevInst() const override;
};

struct TDevice {
    TSimInterface Config;
    bool Plugged = true;
    std::deque<std::vector<uint8_t>> Input;
    std::vector<std::vector<uint8_t>> Written;
    uint64_t Dropped = 0;
    TPort Port;
};

enum TReadState : uintptr_t { rsIdle, rsPending, rsDone, rsFailed, rsCancelled };

struct THandle {
    std::shared_ptr<TDevice> Device;
    uint32_t Access = 0;
    bool Wake = false;
};

struct TMonitor {
    THidChangeSink Sink;
    void* Context;
    uint64_t Pending = 0; // broadcasts not taken yet
};

struct TScan {
    std::vector<std::shared_ptr<TDevice>> Devices;
};

struct TState {
    mutable std::recursive_mutex Lock;
    std::condition_variable_any Changed;
    std::map<uint32_t, std::shared_ptr<TDevice>> Devices;  // plugged only
    std::map<std::string, std::shared_ptr<TDevice>> Paths; // the same, by path
    std::map<HANDLE, THandle> Handles;
    std::vector<TMonitor*> Monitors;
    size_t Preparsed = 0;
    HANDLE NextHandle = 0x100;
    uint32_t NextDevInst = 0x1000;
    uint32_t NextPathNumber = 0;
    bool ScanFails = false;
    bool MonitorBroken = false;
    uint64_t Scans = 0;
    std::function<void(uint32_t)> OnReadWake;
};

TState& State() {
    static TState state;
    return state;
}

thread_local uint32_t tLastError = 0;

bool Fail(uint32_t error) {
    tLastError = error;
    return false;
}

void BroadcastLocked(TState& s) {
    // One pending change per broadcast; the sink only wakes the taker.
    for (TMonitor* m : s.Monitors) {
        ++m->Pending;
        m->Sink(m->Context);
    }
}

void UnplugLocked(TState& s, uint32_t devInst) {
    auto it = s.Devices.find(devInst);
    if (it == s.Devices.end())
        return;
    it->second->Plugged = false;
    it->second->Input.clear();
    if (auto p = s.Paths.find(it->second->Config.Path);
        p != s.Paths.end() && p->second == it->second)
        s.Paths.erase(p);
    s.Devices.erase(it);
    s.Changed.notify_all();
    BroadcastLocked(s);
}

void TPort::QueueInputReport(std::vector<uint8_t> report) {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    if (!Device->Plugged || Device->Config.Faults.Silent)
        return;
    if (Device->Input.size() >= kSimInputQueue) {
        ++Device->Dropped;
        return;
    }
    Device->Input.push_back(std::move(report));
    s.Changed.notify_all();
}

uint32_t TPort::DevInst() const {
    return Device->Config.DevInst;
}

THandle* FindHandle(TState& s, HANDLE h) {
    auto it = s.Handles.find(h);
    return it == s.Handles.end() ? nullptr : &it->second;
}

// ---- HID module

void SimGetHidGuid(GUID* guid) {
    *guid = GUID{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
}

HANDLE SimCreateFile(const char* path, uint32_t access, uint32_t, uint32_t, uint32_t) {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    auto found = s.Paths.find(path);
    if (found == s.Paths.end()) {
        Fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const std::shared_ptr<TDevice>& d = found->second;
    TSimFaults& f = d->Config.Faults;
    if (f.OpenFails || f.OpenFailsTimes > 0) {
        if (f.OpenFailsTimes > 0)
            --f.OpenFailsTimes;
        Fail(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (access != 0 && !d->Config.ReadWrite) {
        Fail(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE h = s.NextHandle++;
    s.Handles[h] = THandle{d, access, false};
    return h;
}

bool SimCloseHandle(HANDLE h) {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    if (!s.Handles.erase(h))
        return Fail(ERROR_INVALID_HANDLE);
    s.Changed.notify_all();
    return true;
}

bool SimGetAttributes(HANDLE h, HIDD_ATTRIBUTES* a) {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    THandle* handle = FindHandle(s, h);
    if (!handle || !handle->Device->Plugged)
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    if (handle->Device->Config.Faults.IdentifyFails)
        return Fail(ERROR_GEN_FAILURE);
    a->VendorID = handle->Device->Config.VendorID;
    a->ProductID = handle->Device->Config.ProductID;
    a->VersionNumber = handle->Device->Config.VersionNumber;
    return true;
}

bool SimGetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* data) {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    THandle* handle = FindHandle(s, h);
    if (!handle || !handle->Device->Plugged)
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    auto* caps = new HIDP_CAPS{};
    caps->UsagePage = 0xFF00;
    caps->Usage = 1;
    caps->InputReportByteLength = handle->Device->Config.InputReportByteLength;
    caps->OutputReportByteLength = handle->Device->Config.OutputReportByteLength;
    ++s.Preparsed;
    *data = caps;
    return true;
}

bool SimFreePreparsedData(PHIDP_PREPARSED_DATA data) {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    delete static_cast<HIDP_CAPS*>(data);
    --s.Preparsed;
    return true;
}

int32_t SimGetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps) {
    *caps = *static_cast<HIDP_CAPS*>(data);
    return HIDP_STATUS_SUCCESS;
}

bool SimGetNumInputBuffers(HANDLE h, uint32_t* count) {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    if (!FindHandle(s, h))
        return Fail(ERROR_INVALID_HANDLE);
    *count = kSimInputQueue;
    return true;
}

bool SimSetNumInputBuffers(HANDLE h, uint32_t) {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    return FindHandle(s, h) ? true : Fail(ERROR_INVALID_HANDLE);
}

bool SimFlushQueue(HANDLE h) {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    THandle* handle = FindHandle(s, h);
    if (!handle)
        return Fail(ERROR_INVALID_HANDLE);
    handle->Device->Input.clear();
    return true;
}

bool SimGetInputReport(HANDLE, void*, uint32_t) {
    return Fail(ERROR_GEN_FAILURE);
}
bool SimSetOutputReport(HANDLE, const void*, uint32_t) {
    return Fail(ERROR_GEN_FAILURE);
}

bool SimWriteFile(HANDLE h, const void* buffer, uint32_t length, uint32_t* written) {
    TState& s = State();
    std::unique_lock lock(s.Lock);
    THandle* handle = FindHandle(s, h);
    if (!handle)
        return Fail(ERROR_INVALID_HANDLE);
    std::shared_ptr<TDevice> d = handle->Device;
    if (!(handle->Access & GENERIC_WRITE))
        return Fail(ERROR_ACCESS_DENIED);
    if (!d->Plugged)
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    // As hidraw: a report longer than the device's, or an unnumbered device
    // given an ID, is refused before it reaches the device.
    if (length == 0 || length > d->Config.OutputReportByteLength ||
        (!d->Config.NumberedReports && bytes[0] != 0))
        return Fail(ERROR_INVALID_PARAMETER);
    if (d->Config.Faults.UnplugOnWrite) {
        UnplugLocked(s, d->Config.DevInst);
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    if (d->Config.Faults.WriteFails)
        return Fail(ERROR_GEN_FAILURE);
    d->Written.emplace_back(bytes, bytes + length);
    TSimWriteResult result = TSimWriteResult::Accepted;
    if (std::shared_ptr<ISimDeviceModel> model = d->Config.Model) {
        // The model may take its time or queue answers; the reader goes on.
        lock.unlock();
        result = model->OutputReport(d->Port, {bytes, length});
        lock.lock();
    }
    if (result == TSimWriteResult::Unplugged) {
        UnplugLocked(s, d->Config.DevInst);
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    if (result == TSimWriteResult::Refused)
        return Fail(ERROR_GEN_FAILURE);
    *written = length;
    return true;
}

bool SimReadFileEx(HANDLE h, void* buffer, uint32_t length, OVERLAPPED* ov) {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    THandle* handle = FindHandle(s, h);
    if (!handle)
        return Fail(ERROR_INVALID_HANDLE);
    if (!handle->Device->Plugged)
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    if (handle->Device->Config.Faults.ReadStartFails)
        return Fail(ERROR_GEN_FAILURE);
    if (length == 0) // as hidraw: nothing fits, and 0 bytes read means gone
        return Fail(ERROR_INVALID_PARAMETER);
    ov->Internal[0] = rsPending;
    ov->Internal[1] = 0;
    ov->Internal[2] = reinterpret_cast<uintptr_t>(buffer);
    ov->Internal[3] = length;
    return true;
}

uint32_t SimReadWait(HANDLE h, OVERLAPPED* ov, uint32_t milliseconds) {
    TState& s = State();
    std::unique_lock lock(s.Lock);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        THandle* handle = FindHandle(s, h);
        if (!handle || ov->Internal[0] != rsPending) {
            return 0;
        }
        if (handle->Wake) {
            handle->Wake = false;
            return 0;
        }
        TDevice& d = *handle->Device;
        if (d.Plugged && d.Config.Faults.UnplugOnRead) {
            d.Config.Faults.UnplugOnRead = false;
            UnplugLocked(s, d.Config.DevInst);
        }
        if (!d.Plugged) {
            ov->Internal[0] = rsFailed;
            return WAIT_IO_COMPLETION;
        }
        if (!d.Input.empty()) {
            std::vector<uint8_t> report = std::move(d.Input.front());
            d.Input.pop_front();
            const size_t n = std::min<size_t>(report.size(), ov->Internal[3]);
            if (n > 0) // an empty buffer or report may have no address at all
                std::memcpy(reinterpret_cast<void*>(ov->Internal[2]), report.data(), n);
            ov->Internal[0] = rsDone;
            ov->Internal[1] = n;
            return WAIT_IO_COMPLETION;
        }
        if (s.Changed.wait_until(lock, deadline) == std::cv_status::timeout) {
            handle = FindHandle(s, h);
            if (!handle || handle->Device->Input.empty() || !handle->Device->Plugged)
                return 0;
        }
    }
}

bool SimReadWake(HANDLE h) {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    THandle* handle = FindHandle(s, h);
    if (!handle)
        return Fail(ERROR_INVALID_HANDLE);
    if (s.OnReadWake)
        s.OnReadWake(handle->Device->Config.DevInst);
    handle->Wake = true;
    s.Changed.notify_all();
    return true;
}

bool SimGetOverlappedResult(HANDLE h, OVERLAPPED* ov, uint32_t* transferred, bool) {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    if (!FindHandle(s, h))
        return Fail(ERROR_INVALID_HANDLE);
    if (ov->Internal[0] != rsDone)
        return Fail(ov->Internal[0] == rsFailed ? ERROR_DEVICE_NOT_CONNECTED : 996);
    *transferred = uint32_t(ov->Internal[1]);
    return true;
}

bool SimCancelIo(HANDLE h) {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    return FindHandle(s, h) ? true : Fail(ERROR_INVALID_HANDLE);
}

uint32_t SimGetLastError() {
    return tLastError;
}

// ---- set-up module

HDEVINFO SimGetClassDevs(const GUID*, const char*, void*, uint32_t) {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    ++s.Scans;
    if (s.ScanFails) {
        Fail(ERROR_GEN_FAILURE);
        return INVALID_HDEVINFO;
    }
    auto* scan = new TScan;
    for (auto& [inst, d] : s.Devices)
        scan->Devices.push_back(d);
    return scan;
}

bool SimEnumDeviceInterfaces(HDEVINFO info, SP_DEVINFO_DATA*, const GUID*, uint32_t index,
                             SP_DEVICE_INTERFACE_DATA* data) {
    auto* scan = static_cast<TScan*>(info);
    if (index >= scan->Devices.size())
        return Fail(ERROR_NO_MORE_ITEMS);
    data->Reserved = index;
    return true;
}

bool SimGetDeviceInterfaceDetail(HDEVINFO info, SP_DEVICE_INTERFACE_DATA* data, void* detail,
                                 uint32_t detailSize, uint32_t* required,
                                 SP_DEVINFO_DATA* devInfo) {
    auto* scan = static_cast<TScan*>(info);
    if (data->Reserved >= scan->Devices.size())
        return Fail(ERROR_NO_MORE_ITEMS);
    const TDevice& d = *scan->Devices[data->Reserved];
    const uint32_t size = kDetailDataHeader + uint32_t(d.Config.Path.size()) + 1;
    if (required)
        *required = size;
    if (!detail || detailSize < size)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(static_cast<char*>(detail) + kDetailDataHeader, d.Config.Path.c_str(),
                d.Config.Path.size() + 1);
    devInfo->DevInst = d.Config.DevInst;
    devInfo->Reserved = data->Reserved;
    return true;
}

bool SimGetRegistryProperty(HDEVINFO info, SP_DEVINFO_DATA* devInfo, uint32_t code, uint32_t* type,
                            uint8_t* buffer, uint32_t size, uint32_t* required) {
    auto* scan = static_cast<TScan*>(info);
    if (devInfo->Reserved >= scan->Devices.size())
        return Fail(ERROR_NO_MORE_ITEMS);
    const TSimInterface& c = scan->Devices[devInfo->Reserved]->Config;
    TPropertyValue value;
    const auto text = [&](const std::string& t) { value.Text(t); };
    const auto number = [&](uint32_t v) { value.Number(v); };
    char id[64];
    std::snprintf(id, sizeof id, "HID\\VID_%04X&PID_%04X", c.VendorID, c.ProductID);
    switch (code) {
    case SPDRP_DEVICEDESC:
    case SPDRP_FRIENDLYNAME:
        text(c.Product);
        break;
    case SPDRP_MFG:
        text(c.Manufacturer);
        break;
    case SPDRP_CLASS:
        text("HIDClass");
        break;
    case SPDRP_SERVICE:
        text("hidraw");
        break;
    case SPDRP_ENUMERATOR_NAME:
        text("HID");
        break;
    case SPDRP_HARDWAREID:
        value.List({std::string(id) + "&REV_" + std::to_string(c.VersionNumber), std::string(id)});
        break;
    case SPDRP_LOCATION_INFORMATION:
        text(c.Path);
        break;
    case SPDRP_ADDRESS:
    case SPDRP_UI_NUMBER:
        number(c.DevInst);
        break;
    case SPDRP_CHARACTERISTICS:
        number(0x100);
        break;
    case SPDRP_BUSTYPEGUID: {
        const GUID g{0xEEAF37D0, 0x1963, 0x47C4, {0xAA, 0x48, 0x72, 0x47, 0x6D, 0xB7, 0xCF, 0x49}};
        value.Binary(&g, sizeof g);
        break;
    }
    default:
        return Fail(13); // the property is not set
    }
    if (const uint32_t error = value.Answer(type, buffer, size, required))
        return Fail(error);
    return true;
}

bool SimDestroyInfoList(HDEVINFO info) {
    delete static_cast<TScan*>(info);
    return true;
}

HDEVMONITOR SimMonitorOpen(THidChangeSink sink, void* context) {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    auto* m = new TMonitor{sink, context};
    s.Monitors.push_back(m);
    return m;
}

int SimMonitorReceive(HDEVMONITOR m) {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    auto* monitor = static_cast<TMonitor*>(m);
    if (monitor->Pending == 0)
        return 0;
    --monitor->Pending;
    return s.MonitorBroken ? -1 : 1;
}

void SimMonitorClose(HDEVMONITOR m) {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    auto* monitor = static_cast<TMonitor*>(m);
    s.Monitors.erase(std::remove(s.Monitors.begin(), s.Monitors.end(), monitor), s.Monitors.end());
    delete monitor;
}

} // namespace

TSimPlatform& TSimPlatform::Instance() {
    static TSimPlatform platform;
    return platform;
}

void TSimPlatform::Select() {
    RegisterBuiltinHidModules();
    SelectHidModules(kSimModules);
}

uint32_t TSimPlatform::Plug(TSimInterface config) {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    if (config.DevInst == 0 || s.Devices.count(config.DevInst))
        config.DevInst = s.NextDevInst++;
    if (config.Path.empty())
        config.Path = "/sim/hidraw" + std::to_string(s.NextPathNumber++);
    auto d = std::make_shared<TDevice>();
    d->Config = std::move(config);
    d->Port.Device = d.get();
    const uint32_t inst = d->Config.DevInst;
    s.Devices[inst] = d;
    s.Paths[d->Config.Path] = d;
    if (d->Config.Model)
        d->Config.Model->Plugged(d->Port);
    BroadcastLocked(s);
    return inst;
}

bool TSimPlatform::Unplug(uint32_t devInst) {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    if (!s.Devices.count(devInst))
        return false;
    UnplugLocked(s, devInst);
    return true;
}

uint32_t TSimPlatform::Replug(uint32_t devInst) {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    auto it = s.Devices.find(devInst);
    if (it == s.Devices.end())
        return 0;
    TSimInterface config = it->second->Config;
    UnplugLocked(s, devInst);
    config.DevInst = 0;
    return Plug(std::move(config));
}

void TSimPlatform::Broadcast() {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    BroadcastLocked(s);
}

void TSimPlatform::Reset() {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    for (auto& [inst, d] : s.Devices) {
        d->Plugged = false;
        d->Input.clear();
    }
    s.Devices.clear();
    s.Paths.clear();
    s.ScanFails = false;
    s.MonitorBroken = false;
    s.OnReadWake = nullptr;
    s.Changed.notify_all();
}

void TSimPlatform::SetFaults(uint32_t devInst, const TSimFaults& faults) {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    if (auto it = s.Devices.find(devInst); it != s.Devices.end())
        it->second->Config.Faults = faults;
    s.Changed.notify_all();
}

bool TSimPlatform::QueueInputReport(uint32_t devInst, std::vector<uint8_t> report) {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    auto it = s.Devices.find(devInst);
    if (it == s.Devices.end())
        return false;
    it->second->Port.QueueInputReport(std::move(report));
    return true;
}

std::vector<std::vector<uint8_t>> TSimPlatform::WrittenReports(uint32_t devInst) const {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    auto it = s.Devices.find(devInst);
    return it == s.Devices.end() ? std::vector<std::vector<uint8_t>>{} : it->second->Written;
}

uint64_t TSimPlatform::DroppedInputReports(uint32_t devInst) const {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    auto it = s.Devices.find(devInst);
    return it == s.Devices.end() ? 0 : it->second->Dropped;
}

std::vector<uint32_t> TSimPlatform::PluggedInterfaces() const {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    std::vector<uint32_t> out;
    for (auto& [inst, d] : s.Devices)
        out.push_back(inst);
    return out;
}

void TSimPlatform::SetScanFails(bool fails) {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    s.ScanFails = fails;
}

void TSimPlatform::SetOnReadWake(std::function<void(uint32_t)> hook) {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    s.OnReadWake = std::move(hook);
}

void TSimPlatform::BreakMonitor() {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    s.MonitorBroken = true;
}

size_t TSimPlatform::OpenHandles() const {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    return s.Handles.size();
}

size_t TSimPlatform::LivePreparsed() const {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    return s.Preparsed;
}

uint64_t TSimPlatform::ScanCount() const {
    TState& s = State();
    std::lock_guard lock(s.Lock);
    return s.Scans;
}

} // namespace korvalis::sim

namespace korvalis {

void RegisterSimHidModules() {
    using namespace sim;
    THidApi hid;
    hid.HidD_GetHidGuid = &SimGetHidGuid;
    hid.HidD_GetAttributes = &SimGetAttributes;
    hid.HidD_GetPreparsedData = &SimGetPreparsedData;
    hid.HidD_FreePreparsedData = &SimFreePreparsedData;
    hid.HidD_FlushQueue = &SimFlushQueue;
    hid.HidD_GetNumInputBuffers = &SimGetNumInputBuffers;
    hid.HidD_SetNumInputBuffers = &SimSetNumInputBuffers;
    hid.HidD_GetInputReport = &SimGetInputReport;
    hid.HidD_SetOutputReport = &SimSetOutputReport;
    hid.HidP_GetCaps = &SimGetCaps;
    hid.CreateFileA = &SimCreateFile;
    hid.CloseHandle = &SimCloseHandle;
    hid.WriteFile = &SimWriteFile;
    hid.ReadFileEx = &SimReadFileEx;
    hid.ReadWait = &SimReadWait;
    hid.ReadWake = &SimReadWake;
    hid.GetOverlappedResult = &SimGetOverlappedResult;
    hid.GetLastError = &SimGetLastError;
    RegisterHidModule(kSimModules.Hid, hid, &SimCancelIo);
    TSetupApi setup;
    setup.SetupDiGetClassDevsA = &SimGetClassDevs;
    setup.SetupDiEnumDeviceInterfaces = &SimEnumDeviceInterfaces;
    setup.SetupDiGetDeviceInterfaceDetailA = &SimGetDeviceInterfaceDetail;
    setup.SetupDiGetDeviceRegistryPropertyA = &SimGetRegistryProperty;
    setup.SetupDiDestroyDeviceInfoList = &SimDestroyInfoList;
    setup.SetupGetLastError = &SimGetLastError;
    setup.SetupMonitorOpen = &SimMonitorOpen;
    setup.SetupMonitorReceive = &SimMonitorReceive;
    setup.SetupMonitorClose = &SimMonitorClose;
    RegisterSetupModule(kSimModules.Setup, setup);
}

} // namespace korvalis
