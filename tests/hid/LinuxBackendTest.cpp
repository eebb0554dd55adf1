// The Linux backend without hardware: report descriptors of real devices, the
// framing of hidraw reads, and the scan and hot-plug against a fake sysfs tree
// with libudev stood in by a module of the same name.
#include "HidTestSupport.h"
#include "hid/Hid.h"
#include "hid/ModuleLoader.h"
#include "hid/platform/Platforms.h"
#include "hid/platform/linux/LinuxPlatform.h"
#include "hid/platform/linux/LinuxSysfs.h"
#include "hid/platform/linux/ReportDescriptor.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvalis {
namespace {

using namespace korvalis::testing;
using namespace korvalis::linuxhid;
namespace fs = std::filesystem;

// 64-byte vendor-defined reports without IDs, the layout of 0416:5020.
const std::vector<uint8_t> kVendor64 = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00,
                                        0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x09, 0x01,
                                        0x81, 0x02, 0x95, 0x40, 0x09, 0x01, 0x91, 0x02, 0xC0};
// The boot keyboard: modifiers, reserved byte, six keys in; five LEDs and padding out.
const std::vector<uint8_t> kKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};
// The boot mouse: three buttons, padding, X and Y.
const std::vector<uint8_t> kMouse = {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00,
                                     0x05, 0x09, 0x19, 0x01, 0x29, 0x03, 0x15, 0x00, 0x25, 0x01,
                                     0x95, 0x03, 0x75, 0x01, 0x81, 0x02, 0x95, 0x01, 0x75, 0x05,
                                     0x81, 0x01, 0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15, 0x81,
                                     0x25, 0x7F, 0x75, 0x08, 0x95, 0x02, 0x81, 0x06, 0xC0, 0xC0};
// Numbered reports: a mouse (ID 1: 5 bytes) and consumer keys (ID 2: 2 bytes),
// a vendor output (ID 3: 31 bytes) and feature (ID 4: 7 bytes) kept across Push/Pop.
const std::vector<uint8_t> kNumbered = {
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x85, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19, 0x01,
    0x29, 0x08, 0x95, 0x08, 0x75, 0x01, 0x81, 0x02, 0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x16, 0x01,
    0x80, 0x26, 0xFF, 0x7F, 0x75, 0x10, 0x95, 0x02, 0x81, 0x06, 0xC0, 0xC0, 0x05, 0x0C, 0x09, 0x01,
    0xA1, 0x01, 0x85, 0x02, 0x75, 0x10, 0x95, 0x01, 0x19, 0x00, 0x2A, 0x3C, 0x02, 0x81, 0x00, 0xC0,
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x03, 0x75, 0x08, 0xA4, 0x95, 0x1F, 0x09, 0x01,
    0x91, 0x02, 0xB4, 0x85, 0x04, 0x95, 0x07, 0x09, 0x02, 0xB1, 0x02, 0xC0};

TEST(ReportDescriptor, LengthsOfRealDescriptors) {
    struct Row {
        const char* name;
        std::vector<uint8_t> d;
        uint16_t in, out, feature, page, usage;
        bool numbered;
    };
    std::vector<uint8_t> truncated(kVendor64.begin(), kVendor64.begin() + 20);
    std::vector<uint8_t> longItem = {0xFE, 0x02, 0x10, 0xAA, 0xBB};
    longItem.insert(longItem.end(), kMouse.begin(), kMouse.end());
    const Row rows[] = {
        {"vendor 64", kVendor64, 65, 65, 0, 0xFF00, 1, false},
        {"keyboard", kKeyboard, 9, 2, 0, 1, 6, false},
        {"mouse", kMouse, 4, 0, 0, 1, 2, false},
        {"numbered", kNumbered, 6, 32, 8, 1, 2, true},
        {"empty", {}, 0, 0, 0, 0, 0, false},
        // Cut after the input item's size: what was read up to the cut counts.
        {"truncated", truncated, 65, 0, 0, 0xFF00, 1, false},
        {"long item skipped", longItem, 4, 0, 0, 1, 2, false},
        // A count that would overflow 16 bits is capped, not wrapped.
        {"huge", {0x75, 0x08, 0x97, 0xFF, 0xFF, 0xFF, 0x00, 0x81, 0x02}, 0xFFFF, 0, 0, 0, 0, false},
        {"dangling prefix", {0x05}, 0, 0, 0, 0, 0, false},
        // Fields whose bit counts would wrap 64 bits around to a short report.
        {"wrapping sum",
         {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02, 0x77, 0x01,
          0x00, 0x00, 0x00, 0x81, 0x02, 0x81, 0x02, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02},
         0xFFFF,
         0,
         0,
         0,
         0,
         false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const TReportLayout l = ParseReportDescriptor(row.d);
        EXPECT_EQ(l.Caps.InputReportByteLength, row.in);
        EXPECT_EQ(l.Caps.OutputReportByteLength, row.out);
        EXPECT_EQ(l.Caps.FeatureReportByteLength, row.feature);
        EXPECT_EQ(l.Caps.UsagePage, row.page);
        EXPECT_EQ(l.Caps.Usage, row.usage);
        EXPECT_EQ(l.NumberedReports, row.numbered);
    }
}

TEST(HidrawFraming, IdBytePutInFrontOfUnnumberedReports) {
    struct Row {
        bool numbered;
        std::vector<uint8_t> wire;
        size_t buffer;
        std::vector<uint8_t> seen;
    };
    std::vector<uint8_t> sixtyFour(64, 0x5A);
    std::vector<uint8_t> framed(65, 0x5A);
    framed[0] = 0;
    const Row rows[] = {
        {false, sixtyFour, 65, framed},
        {false, {0x11, 0x22}, 65, {0, 0x11, 0x22}},
        {true, {0x03, 0x11, 0x22}, 65, {0x03, 0x11, 0x22}},
        {true, {0x03}, 65, {0x03}},
        {false,
         sixtyFour,
         9,
         {0, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A}}, // cut to the buffer
    };
    for (const Row& row : rows) {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
        ASSERT_EQ(write(pair[1], row.wire.data(), row.wire.size()), ssize_t(row.wire.size()));
        std::vector<uint8_t> buffer(row.buffer, 0xEE);
        const ssize_t n = ReadFramedReport(pair[0], buffer.data(), buffer.size(), row.numbered);
        ASSERT_EQ(n, ssize_t(row.seen.size()));
        buffer.resize(size_t(n));
        EXPECT_EQ(buffer, row.seen);
        // The peer gone: the read ends without a report.
        close(pair[1]);
        EXPECT_LE(ReadFramedReport(pair[0], buffer.data(), row.buffer, row.numbered), 0);
        close(pair[0]);
    }
}

TEST(HidrawFraming, SysfsNames) {
    struct Row {
        const char* name;
        uint32_t sequence;
    };
    const Row rows[] = {{"0003:0416:5020.000B", 0x0B}, {"0005:046D:B01A.1F2E", 0x1F2E},
                        {"0003:0416:5020", 0},         {"0003:0416:5020.", 0},
                        {"0003:0416:5020.00ZZ", 0},    {"x.123456789", 0}};
    for (const Row& row : rows)
        EXPECT_EQ(SequenceOfHidName(row.name), row.sequence) << row.name;
    auto keys = ParseUevent("DRIVER=hid-generic\nHID_ID=0003:00000416:00005020\nHID_NAME=A=B\n");
    EXPECT_EQ(keys["HID_NAME"], "A=B");
    EXPECT_EQ(keys["DRIVER"], "hid-generic");
}

// ---- a fake sysfs tree and the libudev calls the backend makes on it

struct TFakeUdev {
    fs::path Root;
    int MonitorPeer = -1; // the test writes actions here
    int MonitorFd = -1;
    int Enumerations = 0;
    bool DaemonActive = true;
    std::string MonitorSource; // "udev" or "kernel"
};
TFakeUdev gFake;

struct TFakeEnum {
    std::vector<std::string> Names;
    std::vector<std::pair<std::string, size_t>> Entries;
};
struct TFakeDevice {
    std::string Syspath, Node, Action;
};

int gContextTag;
void* FakeNew() {
    return &gContextTag;
}
void* FakeUnref(void*) {
    return nullptr;
}
void* FakeEnumNew(void*) {
    return new TFakeEnum;
}
int FakeAddMatch(void*, const char* subsystem) {
    return std::string(subsystem) == "hidraw" ? 0 : -1;
}
int FakeScan(void* e) {
    ++gFake.Enumerations;
    auto* en = static_cast<TFakeEnum*>(e);
    std::vector<std::string> names;
    for (auto& entry : fs::directory_iterator(gFake.Root / "class/hidraw"))
        names.push_back(fs::canonical(entry.path()).string());
    std::sort(names.begin(), names.end());
    en->Names = names;
    return 0;
}
// A list entry is the address of a name in the enumeration.
void* FakeFirst(void* e) {
    auto* en = static_cast<TFakeEnum*>(e);
    return en->Names.empty() ? nullptr : &en->Names[0];
}
void* FakeEnumUnref(void* e) {
    delete static_cast<TFakeEnum*>(e);
    return nullptr;
}
// The next entry needs the enumeration; the backend walks one at a time.
TFakeEnum* gWalking = nullptr;
void* FakeEnumNewTracked(void* u) {
    gWalking = static_cast<TFakeEnum*>(FakeEnumNew(u));
    return gWalking;
}
void* FakeNext(void* entry) {
    auto* name = static_cast<std::string*>(entry);
    auto& v = gWalking->Names;
    const size_t i = size_t(name - v.data()) + 1;
    return i < v.size() ? &v[i] : nullptr;
}
const char* FakeName(void* entry) {
    return static_cast<std::string*>(entry)->c_str();
}
void* FakeDeviceNew(void*, const char* syspath) {
    auto* d = new TFakeDevice{syspath, "", ""};
    std::ifstream uevent(std::string(syspath) + "/uevent");
    for (std::string line; std::getline(uevent, line);)
        if (line.rfind("DEVNAME=", 0) == 0)
            d->Node = (gFake.Root / "dev" / line.substr(8)).string();
    return d;
}
void* FakeDeviceUnref(void* d) {
    delete static_cast<TFakeDevice*>(d);
    return nullptr;
}
const char* FakeDevnode(void* d) {
    auto* dev = static_cast<TFakeDevice*>(d);
    return dev->Node.empty() ? nullptr : dev->Node.c_str();
}
int FakeInitialized(void* d) {
    return fs::exists(static_cast<TFakeDevice*>(d)->Syspath + "/.uninitialized") ? 0 : 1;
}
const char* FakeAction(void* d) {
    return static_cast<TFakeDevice*>(d)->Action.c_str();
}
int gMonitorTag;
void* FakeMonitorNew(void*, const char* name) {
    if (std::string(name) != "udev" && std::string(name) != "kernel")
        return nullptr;
    gFake.MonitorSource = name;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, pair) != 0)
        return nullptr;
    gFake.MonitorFd = pair[0];
    gFake.MonitorPeer = pair[1];
    return &gMonitorTag;
}
int FakeMonitorFilter(void*, const char* subsystem, const char*) {
    return std::string(subsystem) == "hidraw" ? 0 : -1;
}
int FakeMonitorEnable(void*) {
    return 0;
}
int FakeMonitorFd(void*) {
    return gFake.MonitorFd;
}
void* FakeMonitorReceive(void*) {
    char action[32];
    const ssize_t n = read(gFake.MonitorFd, action, sizeof action);
    if (n < 0)
        return nullptr; // errno EAGAIN
    if (n == 0) {
        errno = ECONNRESET; // the socket broke
        return nullptr;
    }
    return new TFakeDevice{"", "", std::string(action, size_t(n))};
}
void* FakeMonitorUnref(void*) {
    close(gFake.MonitorFd);
    if (gFake.MonitorPeer >= 0)
        close(gFake.MonitorPeer);
    gFake.MonitorFd = gFake.MonitorPeer = -1;
    return nullptr;
}

int gQueueTag;
void* FakeQueueNew(void*) {
    return &gQueueTag;
}
int FakeQueueActive(void*) {
    return gFake.DaemonActive;
}
void* FakeQueueUnref(void*) {
    return nullptr;
}

template <class F> void* E(F f) {
    return reinterpret_cast<void*>(f);
}

TModuleDefinition FakeLibudev() {
    TModuleDefinition m;
    m.Symbols = {
        {"udev_new", E(&FakeNew)},
        {"udev_unref", E(&FakeUnref)},
        {"udev_enumerate_new", E(&FakeEnumNewTracked)},
        {"udev_enumerate_add_match_subsystem", E(&FakeAddMatch)},
        {"udev_enumerate_scan_devices", E(&FakeScan)},
        {"udev_enumerate_get_list_entry", E(&FakeFirst)},
        {"udev_enumerate_unref", E(&FakeEnumUnref)},
        {"udev_list_entry_get_next", E(&FakeNext)},
        {"udev_list_entry_get_name", E(&FakeName)},
        {"udev_device_new_from_syspath", E(&FakeDeviceNew)},
        {"udev_device_unref", E(&FakeDeviceUnref)},
        {"udev_device_get_devnode", E(&FakeDevnode)},
        {"udev_device_get_is_initialized", E(&FakeInitialized)},
        {"udev_device_get_action", E(&FakeAction)},
        {"udev_monitor_new_from_netlink", E(&FakeMonitorNew)},
        {"udev_monitor_filter_add_match_subsystem_devtype", E(&FakeMonitorFilter)},
        {"udev_monitor_enable_receiving", E(&FakeMonitorEnable)},
        {"udev_monitor_get_fd", E(&FakeMonitorFd)},
        {"udev_monitor_receive_device", E(&FakeMonitorReceive)},
        {"udev_monitor_unref", E(&FakeMonitorUnref)},
        {"udev_queue_new", E(&FakeQueueNew)},
        {"udev_queue_get_udev_is_active", E(&FakeQueueActive)},
        {"udev_queue_unref", E(&FakeQueueUnref)},
    };
    return m;
}

void WriteFile(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

struct TFakeHid {
    std::string Usb = "1-1";
    std::string HidName = "0003:0416:5020.000B";
    std::string Hidraw = "hidraw3";
    std::vector<uint8_t> Descriptor = kVendor64;
    std::string Bcd = "0100";
    std::string Name = "Korvalis Display";
    bool Writable = true;
    bool Initialized = true;
};

// Lays a device out as sysfs does: USB device, interface, HID device with its
// hidraw class directory, the class link and the node.
fs::path AddDevice(const TFakeHid& h) {
    const fs::path usb = gFake.Root / "devices/usb1" / h.Usb;
    WriteFile(usb / "bcdDevice", h.Bcd + "\n");
    WriteFile(usb / "manufacturer", "Korvalis\n");
    WriteFile(usb / "busnum", "1\n");
    const fs::path hid = usb / (h.Usb + ":1.0") / h.HidName;
    unsigned bus = 0, vendor = 0, product = 0;
    std::sscanf(h.HidName.c_str(), "%x:%x:%x", &bus, &vendor, &product);
    char id[64];
    std::snprintf(id, sizeof id, "%04X:%08X:%08X", bus, vendor, product);
    WriteFile(hid / "uevent", "DRIVER=hid-generic\nHID_ID=" + std::string(id) +
                                  "\nHID_NAME=" + h.Name +
                                  "\nHID_PHYS=usb-0000:00:14.0-1/input0\nMODALIAS=hid:b0003\n");
    WriteFile(hid / "report_descriptor", std::string(h.Descriptor.begin(), h.Descriptor.end()));
    const fs::path raw = hid / "hidraw" / h.Hidraw;
    WriteFile(raw / "uevent",
              "MAJOR=243\nMINOR=" + h.Hidraw.substr(6) + "\nDEVNAME=" + h.Hidraw + "\n");
    fs::create_directory_symlink("../../../" + h.HidName, raw / "device");
    if (!h.Initialized)
        WriteFile(raw / ".uninitialized", "");
    fs::create_directories(gFake.Root / "class/hidraw");
    fs::create_directory_symlink(raw, gFake.Root / "class/hidraw" / h.Hidraw);
    // A node that refuses read/write opening stands for one the user may not write.
    if (h.Writable)
        WriteFile(gFake.Root / "dev" / h.Hidraw, "");
    else
        fs::create_directories(gFake.Root / "dev" / h.Hidraw);
    return raw;
}

void RemoveDevice(const TFakeHid& h) {
    fs::remove(gFake.Root / "class/hidraw" / h.Hidraw);
    fs::remove_all(gFake.Root / "devices/usb1" / h.Usb / (h.Usb + ":1.0") / h.HidName);
    fs::remove_all(gFake.Root / "dev" / h.Hidraw);
}

void Send(const char* action) {
    ASSERT_EQ(write(gFake.MonitorPeer, action, std::strlen(action)), ssize_t(std::strlen(action)));
}

// The open flags of each of this process's descriptors on path.
std::vector<int> FlagsOfDescriptorsOn(const fs::path& path) {
    std::vector<int> flags;
    for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(e.path(), ec) != path)
            continue;
        std::ifstream info("/proc/self/fdinfo/" + e.path().filename().string());
        for (std::string line; std::getline(info, line);)
            if (line.rfind("flags:", 0) == 0)
                flags.push_back(int(std::stol(line.substr(6), nullptr, 8)));
    }
    return flags;
}

struct TLinuxScanTest : ::testing::Test {
    TRecorder Rec;
    std::unique_ptr<THidDeviceController> Con;
    std::map<uint32_t, HIDP_CAPS> Caps;
    TLinuxScanTest() {
        char tmpl[] = "/tmp/korvalis-sysfs-XXXXXX";
        gFake.Root = mkdtemp(tmpl);
        gFake.Enumerations = 0;
        gFake.DaemonActive = true;
        gFake.MonitorSource.clear();
        RegisterBuiltinHidModules();
        RegisterModule("libudev.so.1", FakeLibudev());
        SelectHidModules(kLinuxModules);
    }
    ~TLinuxScanTest() override {
        Con.reset();
        UnregisterModule("libudev.so.1");
        fs::remove_all(gFake.Root);
    }
    void Start() {
        Con = std::make_unique<THidDeviceController>();
        Rec.Attach(*Con);
        ASSERT_TRUE(Con->Active());
        ASSERT_TRUE(RunUntil([&] { return !Rec.Log.empty(); }));
    }
    std::vector<std::string> Pass() {
        RunUntil([] { return false; }, 60);
        return Rec.Take();
    }
};

TEST_F(TLinuxScanTest, ScanIdentityAccessAndHotPlug) {
    const TFakeHid korvalis;
    TFakeHid keyboard;
    keyboard.Usb = "1-2";
    keyboard.HidName = "0003:046D:C31C.0002";
    keyboard.Hidraw = "hidraw0";
    keyboard.Descriptor = kKeyboard;
    keyboard.Bcd = "6400";
    keyboard.Writable = false;
    TFakeHid mouse;
    mouse.Usb = "1-3";
    mouse.HidName = "0003:046D:C077.0004";
    mouse.Hidraw = "hidraw1";
    mouse.Descriptor = kMouse;
    mouse.Initialized = false; // udev has not finished with it
    AddDevice(korvalis);
    AddDevice(keyboard);
    const fs::path mouseRaw = AddDevice(mouse);
    Start();
    // Scan order is udev's (by path here); DevInst is the kernel's HID sequence.
    EXPECT_EQ(Pass(), (std::vector<std::string>{"arrival 11", "arrival 2", "change"}));
    ASSERT_EQ(Con->DeviceList().size(), 2u);
    Con->SetOnEnumerate(THidEnumerateEvent::Make(nullptr, [&](THidDevice* d, int) {
        Caps[d->PnPInfo()->DevInst] = d->GetReportCaps();
        return true;
    }));
    EXPECT_EQ(Con->EnumerateDevices(), 2);
    THidDevice* k = Con->DeviceList()[0];
    THidDevice* kb = Con->DeviceList()[1];
    EXPECT_EQ(k->PnPInfo()->DevicePath, (gFake.Root / "dev/hidraw3").string());
    EXPECT_EQ(k->Identity().VendorID, 0x0416);
    EXPECT_EQ(k->Identity().ProductID, 0x5020);
    EXPECT_EQ(k->Identity().VersionNumber, 0x0100);
    EXPECT_TRUE(k->ReadWriteAccess());
    EXPECT_EQ(Caps[11].InputReportByteLength, 65);
    EXPECT_EQ(Caps[11].OutputReportByteLength, 65);
    // The keyboard's node refuses writing: identified all the same, query only.
    EXPECT_EQ(kb->Identity().VendorID, 0x046D);
    EXPECT_EQ(kb->Identity().ProductID, 0xC31C);
    EXPECT_EQ(kb->Identity().VersionNumber, 0x6400);
    EXPECT_FALSE(kb->ReadWriteAccess());
    EXPECT_EQ(Caps[2].InputReportByteLength, 9);
    EXPECT_EQ(Caps[2].OutputReportByteLength, 2);
    // What udev offers lands in the property snapshot.
    EXPECT_EQ(k->PnPInfo()->FriendlyName, "Korvalis Display");
    EXPECT_EQ(k->PnPInfo()->Service, "hid-generic");
    EXPECT_EQ(k->PnPInfo()->Mfg, "Korvalis");
    EXPECT_EQ(k->PnPInfo()->EnumeratorName, "USB");
    EXPECT_EQ(k->PnPInfo()->UINumber, 3u);
    EXPECT_EQ(k->PnPInfo()->HardwareID.front(), "HID\\VID_0416&PID_5020&REV_0100");

    EXPECT_EQ(gFake.MonitorSource, "udev");

    // Initialised now: its add event is one pass with one arrival.
    fs::remove(mouseRaw / ".uninitialized");
    Send("add");
    EXPECT_EQ(Pass(), (std::vector<std::string>{"arrival 4", "change"}));
    // Other actions are no broadcast; an add that changes nothing reports nothing.
    const int scans = gFake.Enumerations;
    Send("change");
    Send("bind");
    EXPECT_TRUE(Pass().empty());
    EXPECT_EQ(gFake.Enumerations, scans);
    Send("add");
    EXPECT_TRUE(Pass().empty());
    EXPECT_EQ(gFake.Enumerations, scans + 1);

    // Re-plugged between two passes: same node, new HID device, new DevInst.
    RemoveDevice(korvalis);
    TFakeHid again = korvalis;
    again.HidName = "0003:0416:5020.000C";
    AddDevice(again);
    Send("remove");
    Send("add");
    EXPECT_EQ(Pass(),
              (std::vector<std::string>{"unplug 11", "removal 11", "arrival 12", "change"}));

    // A broken monitor stops the broadcasts; nothing is removed that was not seen gone.
    shutdown(gFake.MonitorPeer, SHUT_RDWR);
    RemoveDevice(keyboard);
    EXPECT_TRUE(Pass().empty());
    EXPECT_EQ(Con->DeviceList().size(), 3u);
}

TEST_F(TLinuxScanTest, ReportsAndWritesThroughTheNodes) {
    // A FIFO stands in for the reading node (the test holds its write end), a
    // plain file for the writing one: the backend's own open, poll, read and
    // write run on them.
    TFakeHid reading;
    AddDevice(reading);
    const fs::path fifo = gFake.Root / "dev" / reading.Hidraw;
    fs::remove(fifo);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int feed = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(feed, 0);
    TFakeHid writing;
    writing.Usb = "1-4";
    writing.HidName = "0003:0416:5020.0010";
    writing.Hidraw = "hidraw5";
    AddDevice(writing);
    Start();
    Pass();
    Con->SetDevThreadSleepTime(20);
    THidDevice* reader = nullptr;
    std::vector<uint8_t> report(65, 0);
    for (size_t i = 1; i < report.size(); ++i)
        report[i] = uint8_t(i);
    uint32_t written = 0;
    bool wrote = false;
    // Inside the enumeration call a device is available without a claim.
    Con->SetOnEnumerate(THidEnumerateEvent::Make(nullptr, [&](THidDevice* d, int) {
        if (d->PnPInfo()->DevInst == 11) {
            reader = d;
        } else {
            wrote = d->WriteReport(report.data(), 65, written);
        }
        return true;
    }));
    Con->EnumerateDevices();
    ASSERT_NE(reader, nullptr);
    EXPECT_TRUE(wrote);
    EXPECT_EQ(written, 65u);
    const auto onDisk = ReadBytes(gFake.Root / "dev" / writing.Hidraw);
    ASSERT_TRUE(onDisk.has_value());
    EXPECT_EQ(*onDisk, report); // ID byte first, the whole buffer

    ASSERT_TRUE(reader->Claim());
    ASSERT_NE(reader->Reader(), nullptr);
    // hidraw gives an unnumbered device's 64 bytes without the ID byte.
    ASSERT_EQ(write(feed, report.data() + 1, 64), 64);
    ASSERT_TRUE(RunUntil([&] { return !Rec.Reports.empty(); }));
    EXPECT_EQ(Rec.Reports.front(), "0:64:1:64");
    // The reader's descriptor never blocks: poll decides when to read, and a
    // read that finds nothing must not hold up a stop.
    int readers = 0;
    for (const int flags : FlagsOfDescriptorsOn(fifo))
        if ((flags & O_ACCMODE) == O_RDONLY) {
            ++readers;
            EXPECT_TRUE(flags & O_NONBLOCK);
        }
    EXPECT_EQ(readers, 1);
    // The node hangs up: the read ends, and every SleepTime a new start fails,
    // without spinning on the dead node in between.
    close(feed);
    ASSERT_TRUE(RunUntil([&] { return Rec.Errors.size() >= 2; }));
    EXPECT_EQ(Rec.Errors[0], ERROR_DEVICE_NOT_CONNECTED);
    const size_t errors = Rec.Errors.size();
    RunFor(200);
    EXPECT_LE(Rec.Errors.size() - errors, 12u); // 20 ms apart
    EXPECT_EQ(Rec.Reports.size(), 1u);
    // Stopping while the reader waits takes no longer than a wait.
    const auto before = std::chrono::steady_clock::now();
    reader->StopReader();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500));
}

TEST_F(TLinuxScanTest, WithoutTheUdevDaemonTheNodesAndSysfsAreUsed) {
    // No daemon: libudev calls every device uninitialised and its socket
    // stays silent, as in a container.
    gFake.DaemonActive = false;
    TFakeHid korvalis;
    korvalis.Initialized = false;
    AddDevice(korvalis);
    Start();
    EXPECT_EQ(Pass(), (std::vector<std::string>{"arrival 11", "change"}));
    EXPECT_EQ(gFake.MonitorSource, "kernel");
    TFakeHid mouse;
    mouse.Usb = "1-3";
    mouse.HidName = "0003:046D:C077.0004";
    mouse.Hidraw = "hidraw1";
    mouse.Descriptor = kMouse;
    mouse.Initialized = false;
    AddDevice(mouse);
    Send("add");
    EXPECT_EQ(Pass(), (std::vector<std::string>{"arrival 4", "change"}));
    ASSERT_EQ(Con->DeviceList().size(), 2u);
    EXPECT_EQ(Con->DeviceList()[0]->Identity().ProductID, 0x5020);
    EXPECT_TRUE(Con->DeviceList()[0]->ReadWriteAccess());
}

TEST_F(TLinuxScanTest, MissingLibudevNameLeavesTheControllerInactive) {
    TModuleDefinition lacking = FakeLibudev();
    lacking.Symbols.erase("udev_monitor_get_fd");
    RegisterModule("libudev.so.1", lacking);
    AddDevice(TFakeHid{});
    THidDeviceController con;
    EXPECT_FALSE(con.Active());
    EXPECT_FALSE(IsHidLibraryLoaded());
    RunFor(20);
    EXPECT_TRUE(con.DeviceList().empty());
}

} // namespace
} // namespace korvalis
