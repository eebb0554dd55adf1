// The Windows backend against the system's own hid.dll and setupapi.dll,
// driven by the controller on the Windows GUI loop. Under Wine those present
// Wine's virtual devices (845E:0001 mouse, 845E:0002 keyboard) when no real
// device is there; they have input reports but no output report, and send
// nothing without a desktop.
#include "graphics/Stream.h"
#include "hid/Hid.h"
#include "hid/HidControllerClass.h"
#include "hid/SetupApi.h"
#include "hid/platform/windows/WindowsGuiLoop.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <dbt.h>

#include <chrono>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

namespace korvalis::testing {
namespace {

using TClock = std::chrono::steady_clock;

bool UnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

int64_t MsSince(TClock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - start).count();
}

struct TSeen {
    uint16_t Vendor, Product;
    uint32_t DevInst;
    std::string Path;
    uint16_t Input, Output;
};

struct TWindowsBackend : ::testing::Test {
    THidWindowsLoop Loop;
    THidDeviceController Con;
    std::vector<TSeen> Seen;
    bool Changed = false;
    std::vector<uint32_t> Removed, Arrived;

    // The first pass, then one enumeration that notes what each device tells.
    void Enumerate() {
        Con.SetOnDeviceChange(
            TNotifyEvent::Make(this, [this](THidDeviceController*) { Changed = true; }));
        Con.SetOnRemoval(THidPlugEvent::Make(
            this, [this](THidDevice* d) { Removed.push_back(d->PnPInfo()->DevInst); }));
        Con.SetOnArrival(THidPlugEvent::Make(
            this, [this](THidDevice* d) { Arrived.push_back(d->PnPInfo()->DevInst); }));
        ASSERT_TRUE(Con.Active());
        ASSERT_TRUE(Loop.RunUntil([&] { return Changed; }, 5000));
        Arrived.clear();
        Con.SetOnEnumerate(THidEnumerateEvent::Make(nullptr, [this](THidDevice* d, int) {
            const HIDP_CAPS caps = d->GetReportCaps();
            Seen.push_back({d->Identity().VendorID, d->Identity().ProductID, d->PnPInfo()->DevInst,
                            d->PnPInfo()->DevicePath, caps.InputReportByteLength,
                            caps.OutputReportByteLength});
            return true;
        }));
        Con.EnumerateDevices();
    }
    THidDevice* Find(uint16_t vendor, uint16_t product) {
        for (THidDevice* d : Con.DeviceList())
            if (d->Identity().VendorID == vendor && d->Identity().ProductID == product)
                return d;
        return nullptr;
    }
};

TEST_F(TWindowsBackend, ScanIdentifiesEveryInterfaceWithItsReportLengths) {
    Enumerate();
    ASSERT_FALSE(Seen.empty()) << "the system presents no HID interface";
    std::set<uint32_t> identities;
    const THidApi& api = HidApi();
    for (const TSeen& s : Seen) {
        SCOPED_TRACE(s.Path);
        EXPECT_EQ(s.Path.rfind("\\\\?\\", 0), 0u);
        EXPECT_TRUE(identities.insert(s.DevInst).second) << "two interfaces, one identity";
        // A query-only handle identifies the device but writes nothing.
        const HANDLE h = api.CreateFileA(s.Path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         OPEN_EXISTING, 0);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << api.GetLastError();
        HIDD_ATTRIBUTES a;
        EXPECT_TRUE(api.HidD_GetAttributes(h, &a));
        EXPECT_EQ(a.VendorID, s.Vendor);
        EXPECT_EQ(a.ProductID, s.Product);
        const uint8_t report[2] = {};
        uint32_t written = 0;
        EXPECT_FALSE(api.WriteFile(h, report, sizeof report, &written));
        EXPECT_EQ(api.GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_TRUE(api.CloseHandle(h));
    }
    if (!UnderWine())
        return;
    struct Row {
        uint16_t Product;
        uint16_t Input, Output; // as Wine's report descriptors give them
    };
    for (const Row& row : {Row{0x0001, 2, 0}, Row{0x0002, 14, 0}}) {
        SCOPED_TRACE(row.Product);
        const TSeen* found = nullptr;
        for (const TSeen& s : Seen)
            if (s.Vendor == 0x845E && s.Product == row.Product)
                found = &s;
        if (!found) {
            ADD_FAILURE() << "Wine's virtual device is missing";
            continue;
        }
        EXPECT_EQ(found->Input, row.Input);
        EXPECT_EQ(found->Output, row.Output);
    }
    // The same devices keep their identities in the next pass.
    const std::vector<TSeen> first = Seen;
    Seen.clear();
    Con.DeviceChange();
    Con.EnumerateDevices();
    ASSERT_EQ(Seen.size(), first.size());
    for (size_t i = 0; i < Seen.size(); ++i)
        EXPECT_EQ(Seen[i].DevInst, first[i].DevInst);
}

TEST_F(TWindowsBackend, APathThatIsNotUtf8OpensNothing) {
    // The name the bad byte would become were it replaced.
    const std::wstring prefix = (std::filesystem::temp_directory_path() / L"korvalis-").wstring();
    const std::filesystem::path replaced = prefix + L"\uFFFD.tmp";
    std::ofstream(replaced) << "not a device";
    ASSERT_TRUE(std::filesystem::exists(replaced));
    const std::string path = Utf8(prefix) + "\xff.tmp";
    const THidApi& api = HidApi();
    const HANDLE h =
        api.CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    if (h != INVALID_HANDLE_VALUE)
        api.CloseHandle(h);
    std::filesystem::remove(replaced);
}

TEST_F(TWindowsBackend, ReadWaitsSleepTimeAndAStopEndsItAtOnce) {
    Enumerate();
    ASSERT_FALSE(Con.DeviceList().empty());
    const THidApi& api = HidApi();
    const THidDevice* device = Con.DeviceList().front();
    const HANDLE h =
        api.CreateFileA(device->PnPInfo()->DevicePath.c_str(), GENERIC_READ,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, FILE_FLAG_OVERLAPPED);
    if (h == INVALID_HANDLE_VALUE)
        GTEST_SKIP() << "the system refuses to open " << device->PnPInfo()->DevicePath
                     << " for reading (error " << api.GetLastError() << ")";
    std::vector<uint8_t> buffer(64);
    OVERLAPPED ov;
    ASSERT_TRUE(api.ReadFileEx(h, buffer.data(), uint32_t(buffer.size()), &ov));
    // Nothing arrives: the wait ends after its time, the read still outstanding.
    auto start = TClock::now();
    EXPECT_EQ(api.ReadWait(h, &ov, 150), 0u);
    EXPECT_GE(MsSince(start), 140);
    // A wake from another thread ends a long wait early.
    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        api.ReadWake(h);
    });
    start = TClock::now();
    EXPECT_EQ(api.ReadWait(h, &ov, 10000), 0u);
    EXPECT_LT(MsSince(start), 5000);
    waker.join();
    // The cancelled read delivers nothing.
    EXPECT_TRUE(HidCancelIo(h));
    uint32_t got = 0;
    EXPECT_FALSE(api.GetOverlappedResult(h, &ov, &got, false));
    EXPECT_TRUE(api.CloseHandle(h));
}

TEST_F(TWindowsBackend, ClaimedDeviceReaderStopsWithoutWaitingOutItsSleepTime) {
    Enumerate();
    THidDevice* device = nullptr;
    for (THidDevice* d : Con.DeviceList())
        if (!device && d->ReadWriteAccess())
            device = d;
    if (!device)
        GTEST_SKIP() << "no interface opens for reading and writing here";
    device->SetSleepTime(5000);
    device->SetReportHandler(
        THidDataEvent::Make(nullptr, [](THidDevice*, uint8_t, const uint8_t*, uint16_t) {}));
    ASSERT_TRUE(device->Claim());
    Loop.RunFor(200);
    const auto start = TClock::now();
    device->SetReportHandler({}); // stops the reader
    EXPECT_LT(MsSince(start), 2000);
}

TEST_F(TWindowsBackend, WriteToAnInterfaceWithoutOutputReportFailsAtOnce) {
    Enumerate();
    THidDevice* device = UnderWine() ? Find(0x845E, 0x0001) : nullptr;
    if (!device)
        GTEST_SKIP() << "needs Wine's virtual mouse, which has no output report";
    const THidApi& api = HidApi();
    const HANDLE h =
        api.CreateFileA(device->PnPInfo()->DevicePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const uint8_t report[2] = {0, 1};
    uint32_t written = 99;
    const auto start = TClock::now();
    EXPECT_FALSE(api.WriteFile(h, report, sizeof report, &written));
    EXPECT_NE(api.GetLastError(), 0u);
    EXPECT_LT(MsSince(start), 2000);
    EXPECT_TRUE(api.CloseHandle(h));
}

TEST_F(TWindowsBackend, AnInterfaceReportedRemovedComesBackAsANewDevice) {
    Enumerate();
    THidDevice* mouse = UnderWine() ? Find(0x845E, 0x0001) : nullptr;
    if (!mouse)
        GTEST_SKIP() << "needs Wine's virtual mouse";
    const uint32_t before = mouse->PnPInfo()->DevInst;
    std::wstring path;
    for (char c : mouse->PnPInfo()->DevicePath)
        path += wchar_t(towupper(wchar_t(c))); // notifications may spell it in capitals
    // A removal and a new arrival of the same interface between two passes.
    std::vector<uint8_t> message(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) +
                                 path.size() * sizeof(wchar_t));
    auto* broadcast = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(message.data());
    broadcast->dbcc_size = DWORD(message.size());
    broadcast->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    std::copy(path.begin(), path.end(), broadcast->dbcc_name);
    HWND window = FindWindowExW(HWND_MESSAGE, nullptr, L"KorvalisHidDeviceChange", nullptr);
    ASSERT_NE(window, nullptr);
    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, LPARAM(broadcast));
    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0);
    ASSERT_TRUE(Loop.RunUntil([&] { return !Arrived.empty(); }, 3000));
    EXPECT_EQ(Removed, std::vector<uint32_t>{before});
    ASSERT_EQ(Arrived.size(), 1u);
    EXPECT_NE(Arrived[0], before);
}

TEST_F(TWindowsBackend, DeviceChangeRegistrationCountsArrivalsRemovalsAndNodeChanges) {
    Enumerate();
    const auto windows = [] {
        std::set<HWND> all;
        for (HWND w = nullptr;
             (w = FindWindowExW(HWND_MESSAGE, w, L"KorvalisHidDeviceChange", nullptr)) != nullptr;)
            all.insert(w);
        return all;
    };
    const std::set<HWND> before = windows(); // the controller's
    int woken = 0;
    const HDEVMONITOR monitor =
        SetupApi().SetupMonitorOpen([](void* context) { ++*static_cast<int*>(context); }, &woken);
    ASSERT_NE(monitor, nullptr) << "RegisterDeviceNotificationW failed";
    HWND window = nullptr;
    for (HWND w : windows())
        if (!before.count(w))
            window = w;
    ASSERT_NE(window, nullptr);
    struct Row {
        WPARAM Event;
        int Counts;
    };
    for (const Row& row :
         {Row{DBT_DEVICEARRIVAL, 1}, Row{DBT_DEVICEREMOVECOMPLETE, 1}, Row{DBT_DEVNODES_CHANGED, 1},
          Row{DBT_DEVICEQUERYREMOVE, 0}, Row{DBT_DEVNODES_CHANGED, 1}}) {
        SCOPED_TRACE(row.Event);
        const int before = woken;
        SendMessageW(window, WM_DEVICECHANGE, row.Event, 0);
        int taken = 0;
        while (SetupApi().SetupMonitorReceive(monitor) > 0)
            ++taken;
        EXPECT_EQ(taken, row.Counts);
        EXPECT_EQ(woken - before, row.Counts);
    }
    // Pending changes wake the sink once; each is taken as one.
    woken = 0;
    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0);
    EXPECT_EQ(woken, 1);
    EXPECT_EQ(SetupApi().SetupMonitorReceive(monitor), 1);
    EXPECT_EQ(SetupApi().SetupMonitorReceive(monitor), 1);
    EXPECT_EQ(SetupApi().SetupMonitorReceive(monitor), 0);
    SetupApi().SetupMonitorClose(monitor);
    EXPECT_FALSE(IsWindow(window));
}

} // namespace
} // namespace korvalis::testing
