// The set-up module of the Windows backend: the scan through setupapi.dll and
// the device-change broadcast through a message-only window.
#include "WindowsPlatform.h"

#include "hid/ModuleLoader.h"
#include "hid/SetupApi.h"
#include "hid/platform/PropertyValue.h"

#include <windows.h>

#include <dbt.h>
#include <setupapi.h>

// Inside our namespace the macro's HANDLE would be the seam's.
static const ::HANDLE kInvalidFile = INVALID_HANDLE_VALUE;

#include <cstring>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace korvalis::winsetup {

namespace {

static_assert(sizeof(::GUID) == sizeof(korvalis::GUID));

// The HID interface class; the broadcast is registered for it before any
// scan has asked hid.dll.
const ::GUID kHidInterfaceClass{
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

struct TSetupDll {
    decltype(&::SetupDiGetClassDevsW) SetupDiGetClassDevsW = nullptr;
    decltype(&::SetupDiEnumDeviceInterfaces) SetupDiEnumDeviceInterfaces = nullptr;
    decltype(&::SetupDiGetDeviceInterfaceDetailW) SetupDiGetDeviceInterfaceDetailW = nullptr;
    decltype(&::SetupDiGetDeviceRegistryPropertyW) SetupDiGetDeviceRegistryPropertyW = nullptr;
    decltype(&::SetupDiDestroyDeviceInfoList) SetupDiDestroyDeviceInfoList = nullptr;
};

#define KORVALIS_SETUPDLL(name) KORVALIS_BINDING_ENTRY(TSetupDll, name, 0)

TModuleBinding<TSetupDll>& Binding() {
    static TModuleBinding<TSetupDll> binding({
        KORVALIS_SETUPDLL(SetupDiGetClassDevsW),
        KORVALIS_SETUPDLL(SetupDiEnumDeviceInterfaces),
        KORVALIS_SETUPDLL(SetupDiGetDeviceInterfaceDetailW),
        KORVALIS_SETUPDLL(SetupDiGetDeviceRegistryPropertyW),
        KORVALIS_SETUPDLL(SetupDiDestroyDeviceInfoList),
    });
    return binding;
}

const TSetupDll& Dll() {
    return Binding().Table();
}

thread_local uint32_t tLastError = 0;

bool Fail(uint32_t error) {
    tLastError = error;
    return false;
}

// The identity the layer tells devices apart by across passes, one per
// interface path, until the path is reported removed: a re-plugged device is
// a new one. The system's own DevInst is not enough: Wine hands out the slots
// of a table again in every scan, so a removal shifts the devices behind it.
std::mutex gIdentityLock;
std::map<std::wstring, uint32_t> gIdentity;
uint32_t gNextIdentity = 1;

std::wstring PathKey(const wchar_t* path) {
    std::wstring key(path);
    // Notifications and scans spell the same path in different cases.
    for (wchar_t& c : key)
        c = wchar_t(towlower(c));
    return key;
}

uint32_t IdentityOf(const wchar_t* path) {
    std::lock_guard lock(gIdentityLock);
    auto [at, added] = gIdentity.try_emplace(PathKey(path), gNextIdentity);
    if (added)
        ++gNextIdentity;
    return at->second;
}

void ForgetIdentity(const wchar_t* path) {
    std::lock_guard lock(gIdentityLock);
    gIdentity.erase(PathKey(path));
}

// One scan: the system's information set and the records it gave, by the
// index the layer knows them by.
struct TScan {
    ::HDEVINFO Set = nullptr;
    std::map<uintptr_t, ::SP_DEVICE_INTERFACE_DATA> Interfaces;
    std::map<uintptr_t, ::SP_DEVINFO_DATA> Elements;
};

korvalis::HDEVINFO GetClassDevs(const korvalis::GUID* classGuid, const char*, void*,
                                uint32_t flags) {
    ::GUID g;
    std::memcpy(&g, classGuid, sizeof g);
    const ::HDEVINFO set = Dll().SetupDiGetClassDevsW(&g, nullptr, nullptr, flags);
    if (set == kInvalidFile) {
        Fail(::GetLastError());
        return INVALID_HDEVINFO;
    }
    auto scan = std::make_unique<TScan>();
    scan->Set = set;
    return scan.release();
}

bool EnumDeviceInterfaces(korvalis::HDEVINFO info, korvalis::SP_DEVINFO_DATA*,
                          const korvalis::GUID* classGuid, uint32_t index,
                          korvalis::SP_DEVICE_INTERFACE_DATA* data) {
    auto* scan = static_cast<TScan*>(info);
    ::GUID g;
    std::memcpy(&g, classGuid, sizeof g);
    ::SP_DEVICE_INTERFACE_DATA found{};
    found.cbSize = sizeof found;
    if (!Dll().SetupDiEnumDeviceInterfaces(scan->Set, nullptr, &g, index, &found))
        return Fail(::GetLastError());
    scan->Interfaces[index] = found;
    std::memcpy(static_cast<void*>(&data->InterfaceClassGuid), &found.InterfaceClassGuid, sizeof g);
    data->Flags = found.Flags;
    data->Reserved = index;
    return true;
}

bool GetDeviceInterfaceDetail(korvalis::HDEVINFO info, korvalis::SP_DEVICE_INTERFACE_DATA* data,
                              void* detail, uint32_t detailSize, uint32_t* required,
                              korvalis::SP_DEVINFO_DATA* devInfo) {
    auto* scan = static_cast<TScan*>(info);
    auto found = scan->Interfaces.find(data->Reserved);
    if (found == scan->Interfaces.end())
        return Fail(ERROR_NO_MORE_ITEMS);
    DWORD size = 0;
    Dll().SetupDiGetDeviceInterfaceDetailW(scan->Set, &found->second, nullptr, 0, &size, nullptr);
    if (size < sizeof(::SP_DEVICE_INTERFACE_DETAIL_DATA_W) || size > kPropertyLimit)
        return Fail(::GetLastError());
    // Aligned as the record needs.
    std::vector<uint64_t> storage((size + 7) / 8 + 1, 0);
    auto* record = reinterpret_cast<::SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    record->cbSize = sizeof(::SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    ::SP_DEVINFO_DATA element{};
    element.cbSize = sizeof element;
    if (!Dll().SetupDiGetDeviceInterfaceDetailW(scan->Set, &found->second, record, size, nullptr,
                                                &element))
        return Fail(::GetLastError());
    scan->Elements[data->Reserved] = element;
    if (devInfo) {
        std::memcpy(static_cast<void*>(&devInfo->ClassGuid), &element.ClassGuid,
                    sizeof element.ClassGuid);
        devInfo->DevInst = IdentityOf(record->DevicePath);
        devInfo->Reserved = data->Reserved;
    }
    const std::string path = Utf8(record->DevicePath);
    const uint32_t needed = kDetailDataHeader + uint32_t(path.size()) + 1;
    if (required)
        *required = needed;
    if (!detail || detailSize < needed)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(static_cast<char*>(detail) + kDetailDataHeader, path.c_str(), path.size() + 1);
    return true;
}

// The wide texts the system keeps become UTF-8; numbers and bytes stay.
void Convert(DWORD type, const std::vector<BYTE>& raw, TPropertyValue& value) {
    const auto* wide = reinterpret_cast<const wchar_t*>(raw.data());
    const size_t chars = raw.size() / sizeof(wchar_t);
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        size_t n = 0;
        while (n < chars && wide[n])
            ++n;
        value.Text(Utf8(wide, n));
        return;
    }
    case REG_MULTI_SZ: {
        std::vector<std::string> items;
        for (size_t at = 0; at < chars && wide[at];) {
            size_t n = 0;
            while (at + n < chars && wide[at + n])
                ++n;
            items.push_back(Utf8(wide + at, n));
            at += n + 1;
        }
        value.List(items);
        return;
    }
    case REG_DWORD:
        if (raw.size() >= 4) {
            uint32_t v;
            std::memcpy(&v, raw.data(), 4);
            value.Number(v);
            return;
        }
        break;
    default:
        break;
    }
    value.Binary(raw.data(), raw.size());
}

bool GetRegistryProperty(korvalis::HDEVINFO info, korvalis::SP_DEVINFO_DATA* devInfo, uint32_t code,
                         uint32_t* type, uint8_t* buffer, uint32_t size, uint32_t* required) {
    auto* scan = static_cast<TScan*>(info);
    auto element = scan->Elements.find(devInfo->Reserved);
    if (element == scan->Elements.end())
        return Fail(ERROR_NO_MORE_ITEMS);
    DWORD kind = 0, need = 0;
    Dll().SetupDiGetDeviceRegistryPropertyW(scan->Set, &element->second, code, &kind, nullptr, 0,
                                            &need);
    if (need == 0 || need > kPropertyLimit)
        return Fail(::GetLastError());
    std::vector<BYTE> raw(need, 0);
    if (!Dll().SetupDiGetDeviceRegistryPropertyW(scan->Set, &element->second, code, &kind,
                                                 raw.data(), need, &need))
        return Fail(::GetLastError());
    raw.resize(std::min<size_t>(raw.size(), need));
    TPropertyValue value;
    Convert(kind, raw, value);
    if (const uint32_t error = value.Answer(type, buffer, size, required))
        return Fail(error);
    return true;
}

bool DestroyInfoList(korvalis::HDEVINFO info) {
    auto* scan = static_cast<TScan*>(info);
    const bool ok = Dll().SetupDiDestroyDeviceInfoList(scan->Set);
    delete scan;
    return ok;
}

uint32_t GetLastError() {
    return tLastError;
}

// The broadcast: a message-only window of the thread that opens the monitor
// (the GUI thread) registered for the HID interface class. Each arrival,
// removal or change of the device tree is one pending change; the sink is
// woken when the first one is pending, and the layer takes them all.
constexpr wchar_t kMonitorClass[] = L"KorvalisHidDeviceChange";

struct TMonitor {
    HWND Window = nullptr;
    HDEVNOTIFY Notification = nullptr;
    THidChangeSink Sink = nullptr;
    void* Context = nullptr;
    uint32_t Pending = 0;
};

LRESULT CALLBACK MonitorProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, LONG_PTR(create->lpCreateParams));
    }
    auto* monitor = reinterpret_cast<TMonitor*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (monitor && message == WM_DEVICECHANGE) {
        if (wParam == DBT_DEVICEREMOVECOMPLETE && lParam) {
            const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
            if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE)
                ForgetIdentity(
                    reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam)->dbcc_name);
        }
        if (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE ||
            wParam == DBT_DEVNODES_CHANGED) {
            if (monitor->Pending++ == 0)
                monitor->Sink(monitor->Context);
        }
        return TRUE;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void MonitorClose(HDEVMONITOR handle) {
    auto* monitor = static_cast<TMonitor*>(handle);
    if (monitor->Notification)
        UnregisterDeviceNotification(monitor->Notification);
    if (monitor->Window) {
        SetWindowLongPtrW(monitor->Window, GWLP_USERDATA, 0);
        DestroyWindow(monitor->Window);
    }
    delete monitor;
}

HDEVMONITOR MonitorOpen(THidChangeSink sink, void* context) {
    static const ATOM windowClass [[maybe_unused]] = [] {
        WNDCLASSEXW c{};
        c.cbSize = sizeof c;
        c.lpfnWndProc = &MonitorProc;
        c.hInstance = GetModuleHandleW(nullptr);
        c.lpszClassName = kMonitorClass;
        return RegisterClassExW(&c);
    }();
    auto* monitor = new TMonitor;
    monitor->Sink = sink;
    monitor->Context = context;
    monitor->Window = CreateWindowExW(0, kMonitorClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      GetModuleHandleW(nullptr), monitor);
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kHidInterfaceClass;
    if (monitor->Window)
        monitor->Notification =
            RegisterDeviceNotificationW(monitor->Window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (!monitor->Notification) {
        MonitorClose(monitor);
        return nullptr;
    }
    return monitor;
}

int MonitorReceive(HDEVMONITOR handle) {
    auto* monitor = static_cast<TMonitor*>(handle);
    if (monitor->Pending == 0)
        return 0;
    --monitor->Pending;
    return 1;
}

bool Bind() {
    return Binding().LoadOrGiveBack("setupapi.dll");
}

void Unbind() {
    Binding().Unload();
}

} // namespace

} // namespace korvalis::winsetup

namespace korvalis {

void RegisterWindowsSetupModule() {
    using namespace winsetup;
    TSetupApi setup;
    setup.SetupDiGetClassDevsA = &GetClassDevs;
    setup.SetupDiEnumDeviceInterfaces = &EnumDeviceInterfaces;
    setup.SetupDiGetDeviceInterfaceDetailA = &GetDeviceInterfaceDetail;
    setup.SetupDiGetDeviceRegistryPropertyA = &GetRegistryProperty;
    setup.SetupDiDestroyDeviceInfoList = &DestroyInfoList;
    setup.SetupGetLastError = &winsetup::GetLastError;
    setup.SetupMonitorOpen = &MonitorOpen;
    setup.SetupMonitorReceive = &MonitorReceive;
    setup.SetupMonitorClose = &MonitorClose;
    // setupapi.dll is bound when the module loads; without it there is no module.
    RegisterSetupModule(kWindowsModules.Setup, setup, Bind, Unbind);
}

} // namespace korvalis
