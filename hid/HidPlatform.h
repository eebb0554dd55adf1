#pragma once

// The records and entry-point types the HID layer exchanges with a platform
// backend. Each backend (platform/linux, platform/sim) is a module of named
// entry points with these types; the bindings in Hid.h and SetupApi.h resolve
// them by name, so the device and the controller never see a backend.

#include <cstddef>
#include <cstdint>

namespace korvalis {

using HANDLE = intptr_t;
inline constexpr HANDLE INVALID_HANDLE_VALUE = -1;

struct GUID {
    uint32_t Data1 = 0;
    uint16_t Data2 = 0;
    uint16_t Data3 = 0;
    uint8_t Data4[8] = {};
    friend bool operator==(const GUID&, const GUID&) = default;
};

struct HIDD_ATTRIBUTES {
    uint32_t Size = 0; // 12 before a query
    uint16_t VendorID = 0;
    uint16_t ProductID = 0;
    uint16_t VersionNumber = 0;
};

// 64 bytes; both report lengths count the report-ID byte.
struct HIDP_CAPS {
    uint16_t Usage;
    uint16_t UsagePage;
    uint16_t InputReportByteLength;
    uint16_t OutputReportByteLength;
    uint16_t FeatureReportByteLength;
    uint16_t Reserved[17];
    uint16_t NumberLinkCollectionNodes;
    uint16_t NumberInputButtonCaps;
    uint16_t NumberInputValueCaps;
    uint16_t NumberInputDataIndices;
    uint16_t NumberOutputButtonCaps;
    uint16_t NumberOutputValueCaps;
    uint16_t NumberOutputDataIndices;
    uint16_t NumberFeatureButtonCaps;
    uint16_t NumberFeatureValueCaps;
    uint16_t NumberFeatureDataIndices;
};
static_assert(sizeof(HIDP_CAPS) == 64);

using PHIDP_PREPARSED_DATA = void*;
inline constexpr int32_t HIDP_STATUS_SUCCESS = 0x00110000;

// The record of one outstanding read. A backend keeps its own state in the
// Internal words; hEvent carries the device and is never waited on.
struct OVERLAPPED {
    uintptr_t Internal[6] = {};
    void* hEvent = nullptr;
};

// Access and flags of CreateFile.
inline constexpr uint32_t GENERIC_READ = 0x80000000u;
inline constexpr uint32_t GENERIC_WRITE = 0x40000000u;
inline constexpr uint32_t FILE_SHARE_READ = 1;
inline constexpr uint32_t FILE_SHARE_WRITE = 2;
inline constexpr uint32_t OPEN_EXISTING = 3;
inline constexpr uint32_t FILE_FLAG_OVERLAPPED = 0x40000000u;

inline constexpr uint32_t WAIT_IO_COMPLETION = 0xC0;
inline constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_DEVICE_NOT_CONNECTED = 1167;
inline constexpr uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr uint32_t ERROR_GEN_FAILURE = 31;
inline constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr uint32_t ERROR_NO_MORE_ITEMS = 259;

// Set-up services.
using HDEVINFO = void*;
inline const HDEVINFO INVALID_HDEVINFO = reinterpret_cast<HDEVINFO>(intptr_t(-1));
inline constexpr uint32_t DIGCF_PRESENT = 0x02;
inline constexpr uint32_t DIGCF_DEVICEINTERFACE = 0x10;

struct SP_DEVICE_INTERFACE_DATA {
    uint32_t cbSize = 0; // 28
    GUID InterfaceClassGuid;
    uint32_t Flags = 0;
    uintptr_t Reserved = 0;
};

struct SP_DEVINFO_DATA {
    uint32_t cbSize = 0; // 28
    GUID ClassGuid;
    uint32_t DevInst = 0;
    uintptr_t Reserved = 0;
};

// The detail record: a 32-bit size, then the zero-terminated path.
inline constexpr uint32_t kDetailDataHeader = 4;
inline constexpr uint32_t kDetailDataFixedSize = 5;

// Sizes a platform reports (detail records, properties) are checked against
// this before they become buffers.
inline constexpr uint32_t kPropertyLimit = 1u << 20;

// Registry property codes of the property snapshot.
enum : uint32_t {
    SPDRP_DEVICEDESC = 0x00,
    SPDRP_HARDWAREID = 0x01,
    SPDRP_COMPATIBLEIDS = 0x02,
    SPDRP_SERVICE = 0x04,
    SPDRP_CLASS = 0x07,
    SPDRP_CLASSGUID = 0x08,
    SPDRP_DRIVER = 0x09,
    SPDRP_CONFIGFLAGS = 0x0A,
    SPDRP_MFG = 0x0B,
    SPDRP_FRIENDLYNAME = 0x0C,
    SPDRP_LOCATION_INFORMATION = 0x0D,
    SPDRP_PHYSICAL_DEVICE_OBJECT_NAME = 0x0E,
    SPDRP_CAPABILITIES = 0x0F,
    SPDRP_UI_NUMBER = 0x10,
    SPDRP_UPPERFILTERS = 0x11,
    SPDRP_LOWERFILTERS = 0x12,
    SPDRP_BUSTYPEGUID = 0x13,
    SPDRP_LEGACYBUSTYPE = 0x14,
    SPDRP_BUSNUMBER = 0x15,
    SPDRP_ENUMERATOR_NAME = 0x16,
    SPDRP_SECURITY_SDS = 0x18,
    SPDRP_DEVTYPE = 0x19,
    SPDRP_EXCLUSIVE = 0x1A,
    SPDRP_CHARACTERISTICS = 0x1B,
    SPDRP_ADDRESS = 0x1C,
    SPDRP_PROPERTY_1E = 0x1E,
};
// Registry value types a property read reports.
enum : uint32_t { REG_SZ = 1, REG_BINARY = 3, REG_DWORD = 4, REG_MULTI_SZ = 7 };

// Entry points of the HID module.
using HidD_GetHidGuid_t = void (*)(GUID* guid);
using HidD_GetAttributes_t = bool (*)(HANDLE device, HIDD_ATTRIBUTES* attributes);
using HidD_GetPreparsedData_t = bool (*)(HANDLE device, PHIDP_PREPARSED_DATA* data);
using HidD_FreePreparsedData_t = bool (*)(PHIDP_PREPARSED_DATA data);
using HidD_GetNumInputBuffers_t = bool (*)(HANDLE device, uint32_t* count);
using HidD_SetNumInputBuffers_t = bool (*)(HANDLE device, uint32_t count);
using HidD_FlushQueue_t = bool (*)(HANDLE device);
using HidD_GetInputReport_t = bool (*)(HANDLE device, void* buffer, uint32_t length);
using HidD_SetOutputReport_t = bool (*)(HANDLE device, const void* buffer, uint32_t length);
using HidP_GetCaps_t = int32_t (*)(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps);
// File and thread services the device needs, kept in the same module because
// on every platform but one they come with the HID access itself.
using CreateFileA_t = HANDLE (*)(const char* path, uint32_t access, uint32_t share,
                                 uint32_t disposition, uint32_t flags);
using CloseHandle_t = bool (*)(HANDLE handle);
using WriteFile_t = bool (*)(HANDLE handle, const void* buffer, uint32_t length, uint32_t* written);
// Starts one read into buffer; it completes during a later ReadWait.
using ReadFileEx_t = bool (*)(HANDLE handle, void* buffer, uint32_t length, OVERLAPPED* overlapped);
// Waits at most milliseconds for the outstanding read of handle: 0 after the
// time or a wake, WAIT_IO_COMPLETION when the read completed in the wait.
using ReadWait_t = uint32_t (*)(HANDLE handle, OVERLAPPED* overlapped, uint32_t milliseconds);
// Ends a ReadWait of handle early from any thread.
using ReadWake_t = bool (*)(HANDLE handle);
using GetOverlappedResult_t = bool (*)(HANDLE handle, OVERLAPPED* overlapped, uint32_t* transferred,
                                       bool wait);
using CancelIo_t = bool (*)(HANDLE handle);
// The calling thread's error code after a failed call.
using GetLastError_t = uint32_t (*)();

// Entry points of the set-up module.
using SetupDiGetClassDevsA_t = HDEVINFO (*)(const GUID* classGuid, const char* enumerator,
                                            void* parent, uint32_t flags);
using SetupDiEnumDeviceInterfaces_t = bool (*)(HDEVINFO info, SP_DEVINFO_DATA* element,
                                               const GUID* classGuid, uint32_t index,
                                               SP_DEVICE_INTERFACE_DATA* data);
using SetupDiGetDeviceInterfaceDetailA_t = bool (*)(HDEVINFO info, SP_DEVICE_INTERFACE_DATA* data,
                                                    void* detail, uint32_t detailSize,
                                                    uint32_t* requiredSize,
                                                    SP_DEVINFO_DATA* devInfo);
using SetupDiGetDeviceRegistryPropertyA_t = bool (*)(HDEVINFO info, SP_DEVINFO_DATA* devInfo,
                                                     uint32_t property, uint32_t* type,
                                                     uint8_t* buffer, uint32_t size,
                                                     uint32_t* requiredSize);
using SetupDiDestroyDeviceInfoList_t = bool (*)(HDEVINFO info);
using SetupGetLastError_t = uint32_t (*)();
// The device-change broadcast: a monitor calls its sink, from any thread,
// whenever changes may be pending; the layer then takes them on the GUI thread
// with SetupMonitorReceive. How the platform learns of changes (a socket, a
// window message, a simulated plug) stays inside the platform.
using HDEVMONITOR = void*;
using THidChangeSink = void (*)(void* context);
using SetupMonitorOpen_t = HDEVMONITOR (*)(THidChangeSink sink, void* context);
// 1 for one change taken, 0 for nothing pending, -1 when the monitor broke.
using SetupMonitorReceive_t = int (*)(HDEVMONITOR monitor);
// Once it returns, the sink is not called any more.
using SetupMonitorClose_t = void (*)(HDEVMONITOR monitor);

} // namespace korvalis
