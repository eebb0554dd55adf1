// A platform is a folder of routines behind the two typed tables. This one is
// the smallest that works: one fixed interface that sends nothing, and a
// device-change monitor told from a thread of its own. It compiles against
// the seam alone and drives the real controller on the plain loop.
#include "HidTestSupport.h"
#include "hid/Hid.h"
#include "hid/SetupApi.h"
#include "hid/platform/Platforms.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace korvalis {
namespace {

using namespace korvalis::testing;

constexpr const char* kPath = "trivial0";
THidChangeSink gSink = nullptr;
void* gSinkContext = nullptr;
int gPending = 0; // GUI thread only, after the sink's post

// HID services.
void GetGuid(GUID* guid) {
    *guid = GUID{1, 2, 3, {4}};
}
HANDLE Open(const char* path, uint32_t, uint32_t, uint32_t, uint32_t) {
    return std::strcmp(path, kPath) == 0 ? 7 : INVALID_HANDLE_VALUE;
}
bool Close(HANDLE) {
    return true;
}
bool Attributes(HANDLE, HIDD_ATTRIBUTES* a) {
    a->VendorID = 0x1234;
    a->ProductID = 0x0042;
    return true;
}
bool Preparsed(HANDLE, PHIDP_PREPARSED_DATA* data) {
    *data = nullptr;
    return false;
}
bool Free(PHIDP_PREPARSED_DATA) {
    return true;
}
int32_t Caps(PHIDP_PREPARSED_DATA, HIDP_CAPS*) {
    return 0;
}
bool Count(HANDLE, uint32_t*) {
    return false;
}
bool SetCount(HANDLE, uint32_t) {
    return false;
}
bool Flush(HANDLE) {
    return false;
}
bool Write(HANDLE, const void*, uint32_t, uint32_t*) {
    return false;
}
bool ReadStart(HANDLE, void*, uint32_t, OVERLAPPED*) {
    return false;
}
uint32_t ReadWait(HANDLE, OVERLAPPED*, uint32_t) {
    return 0;
}
bool Wake(HANDLE) {
    return true;
}
bool Result(HANDLE, OVERLAPPED*, uint32_t*, bool) {
    return false;
}
uint32_t LastError() {
    return ERROR_GEN_FAILURE;
}

// Set-up services: one interface, DevInst 1.
HDEVINFO Scan(const GUID*, const char*, void*, uint32_t) {
    return reinterpret_cast<HDEVINFO>(intptr_t(1));
}
bool Enum(HDEVINFO, SP_DEVINFO_DATA*, const GUID*, uint32_t index, SP_DEVICE_INTERFACE_DATA*) {
    return index == 0;
}
bool Detail(HDEVINFO, SP_DEVICE_INTERFACE_DATA*, void* detail, uint32_t size, uint32_t* required,
            SP_DEVINFO_DATA* info) {
    const uint32_t need = kDetailDataHeader + uint32_t(std::strlen(kPath)) + 1;
    *required = need;
    if (!detail || size < need)
        return false; // LastError: ERROR_INSUFFICIENT_BUFFER below
    std::memcpy(static_cast<char*>(detail) + kDetailDataHeader, kPath, need - kDetailDataHeader);
    info->DevInst = 1;
    return true;
}
bool Property(HDEVINFO, SP_DEVINFO_DATA*, uint32_t, uint32_t*, uint8_t*, uint32_t, uint32_t*) {
    return false;
}
bool Destroy(HDEVINFO) {
    return true;
}
uint32_t SetupError() {
    return ERROR_INSUFFICIENT_BUFFER;
}
HDEVMONITOR MonitorOpen(THidChangeSink sink, void* context) {
    gSink = sink;
    gSinkContext = context;
    return &gSink;
}
int MonitorReceive(HDEVMONITOR) {
    return gPending > 0 ? (--gPending, 1) : 0;
}
void MonitorClose(HDEVMONITOR) {
    gSink = nullptr;
}

TEST(TTrivialPlatform, ControllerRunsOnATrivialBackend) {
    THidApi hid;
    hid.HidD_GetHidGuid = &GetGuid;
    hid.HidD_GetAttributes = &Attributes;
    hid.HidD_GetPreparsedData = &Preparsed;
    hid.HidD_FreePreparsedData = &Free;
    hid.HidD_FlushQueue = &Flush;
    hid.HidD_GetNumInputBuffers = &Count;
    hid.HidD_SetNumInputBuffers = &SetCount;
    hid.HidP_GetCaps = &Caps;
    hid.CreateFileA = &Open;
    hid.CloseHandle = &Close;
    hid.WriteFile = &Write;
    hid.ReadFileEx = &ReadStart;
    hid.ReadWait = &ReadWait;
    hid.ReadWake = &Wake;
    hid.GetOverlappedResult = &Result;
    hid.GetLastError = &LastError;
    RegisterHidModule("trivial-hid", hid);
    TSetupApi setup;
    setup.SetupDiGetClassDevsA = &Scan;
    setup.SetupDiEnumDeviceInterfaces = &Enum;
    setup.SetupDiGetDeviceInterfaceDetailA = &Detail;
    setup.SetupDiGetDeviceRegistryPropertyA = &Property;
    setup.SetupDiDestroyDeviceInfoList = &Destroy;
    setup.SetupGetLastError = &SetupError;
    setup.SetupMonitorOpen = &MonitorOpen;
    setup.SetupMonitorReceive = &MonitorReceive;
    setup.SetupMonitorClose = &MonitorClose;
    RegisterSetupModule("trivial-setup", setup);
    // Kernel-gated names are not required of a platform that lacks them.
    SetPlatformVersionForTesting(MakePlatformVersion(5, 10));
    SelectHidModules({"trivial-hid", "trivial-setup"});
    {
        TRecorder rec;
        THidDeviceController con;
        ASSERT_TRUE(con.Active());
        rec.Attach(con);
        ASSERT_TRUE(RunUntil([&] { return rec.Log.size() >= 2; }));
        EXPECT_EQ(rec.Take(), (std::vector<std::string>{"arrival 1", "change"}));
        ASSERT_EQ(con.DeviceList().size(), 1u);
        EXPECT_EQ(con.DeviceList()[0]->Identity().ProductID, 0x0042);
        EXPECT_EQ(con.LastChangeParam(), THidDeviceController::kStartupChangeParam);
        // A change told from the platform's own thread is taken on the GUI
        // thread: a pass runs, and nothing changed.
        gPending = 1;
        std::thread([] { gSink(gSinkContext); }).join();
        ASSERT_TRUE(RunUntil([&] { return con.LastChangeParam() == 0; }));
        EXPECT_EQ(gPending, 0);
        EXPECT_TRUE(rec.Log.empty());
    }
    EXPECT_EQ(gSink, nullptr);
    SelectHidModules(PlatformHidModules());
    SetPlatformVersionForTesting(0);
    UnregisterModule("trivial-hid");
    UnregisterModule("trivial-setup");
}

} // namespace
} // namespace korvalis
