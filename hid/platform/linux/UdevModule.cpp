// The set-up module of the Linux backend: libudev, bound at run time by name,
// enumerates subsystem hidraw and watches it for add and remove.
#include "LinuxSysfs.h"
#include "hid/platform/PropertyValue.h"

#include "LinuxPlatform.h"
#include "hid/Hid.h"
#include "hid/ModuleLoader.h"
#include "hid/SetupApi.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace korvalis::linuxhid {

namespace {

struct udev;
struct udev_enumerate;
struct udev_list_entry;
struct udev_device;
struct udev_monitor;
struct udev_queue;

struct TUdev {
    udev* (*udev_new)();
    udev* (*udev_unref)(udev*);
    udev_enumerate* (*udev_enumerate_new)(udev*);
    int (*udev_enumerate_add_match_subsystem)(udev_enumerate*, const char*);
    int (*udev_enumerate_scan_devices)(udev_enumerate*);
    udev_list_entry* (*udev_enumerate_get_list_entry)(udev_enumerate*);
    udev_enumerate* (*udev_enumerate_unref)(udev_enumerate*);
    udev_list_entry* (*udev_list_entry_get_next)(udev_list_entry*);
    const char* (*udev_list_entry_get_name)(udev_list_entry*);
    udev_device* (*udev_device_new_from_syspath)(udev*, const char*);
    udev_device* (*udev_device_unref)(udev_device*);
    const char* (*udev_device_get_devnode)(udev_device*);
    int (*udev_device_get_is_initialized)(udev_device*);
    const char* (*udev_device_get_action)(udev_device*);
    udev_monitor* (*udev_monitor_new_from_netlink)(udev*, const char*);
    int (*udev_monitor_filter_add_match_subsystem_devtype)(udev_monitor*, const char*, const char*);
    int (*udev_monitor_enable_receiving)(udev_monitor*);
    int (*udev_monitor_get_fd)(udev_monitor*);
    udev_device* (*udev_monitor_receive_device)(udev_monitor*);
    udev_monitor* (*udev_monitor_unref)(udev_monitor*);
    udev_queue* (*udev_queue_new)(udev*);
    int (*udev_queue_get_udev_is_active)(udev_queue*);
    udev_queue* (*udev_queue_unref)(udev_queue*);
};

#define KORVALIS_UDEV(name) KORVALIS_BINDING_ENTRY(TUdev, name, 0)

// libudev by name, through the same binding as the layer's own modules.
TModuleBinding<TUdev>& Binding() {
    static TModuleBinding<TUdev> binding({
        KORVALIS_UDEV(udev_new),
        KORVALIS_UDEV(udev_unref),
        KORVALIS_UDEV(udev_enumerate_new),
        KORVALIS_UDEV(udev_enumerate_add_match_subsystem),
        KORVALIS_UDEV(udev_enumerate_scan_devices),
        KORVALIS_UDEV(udev_enumerate_get_list_entry),
        KORVALIS_UDEV(udev_enumerate_unref),
        KORVALIS_UDEV(udev_list_entry_get_next),
        KORVALIS_UDEV(udev_list_entry_get_name),
        KORVALIS_UDEV(udev_device_new_from_syspath),
        KORVALIS_UDEV(udev_device_unref),
        KORVALIS_UDEV(udev_device_get_devnode),
        KORVALIS_UDEV(udev_device_get_is_initialized),
        KORVALIS_UDEV(udev_device_get_action),
        KORVALIS_UDEV(udev_monitor_new_from_netlink),
        KORVALIS_UDEV(udev_monitor_filter_add_match_subsystem_devtype),
        KORVALIS_UDEV(udev_monitor_enable_receiving),
        KORVALIS_UDEV(udev_monitor_get_fd),
        KORVALIS_UDEV(udev_monitor_receive_device),
        KORVALIS_UDEV(udev_monitor_unref),
        KORVALIS_UDEV(udev_queue_new),
        KORVALIS_UDEV(udev_queue_get_udev_is_active),
        KORVALIS_UDEV(udev_queue_unref),
    });
    return binding;
}

const TUdev& Udev() {
    return Binding().Table();
}

udev* gContext = nullptr;

bool BindUdev() {
    if (!Binding().LoadOrGiveBack("libudev.so.1"))
        return false;
    gContext = Udev().udev_new();
    if (!gContext) {
        Binding().Unload();
        return false;
    }
    return true;
}

void UnbindUdev() {
    if (gContext)
        Udev().udev_unref(gContext);
    gContext = nullptr;
    Binding().Unload();
}

thread_local uint32_t tLastError = 0;

bool Fail(uint32_t error) {
    tLastError = error;
    return false;
}

// Whether the udev daemon runs; when it cannot be told, it is taken to run,
// which only means waiting for it as before.
bool UdevDaemonActive() {
    udev_queue* q = Udev().udev_queue_new(gContext);
    if (!q)
        return true;
    const bool active = Udev().udev_queue_get_udev_is_active(q) > 0;
    Udev().udev_queue_unref(q);
    return active;
}

struct TEntry {
    std::string Node;
    TSysfsDevice Device;
};

struct TScan {
    std::vector<TEntry> Entries;
};

HDEVINFO GetClassDevs(const GUID*, const char*, void*, uint32_t) {
    udev_enumerate* e = Udev().udev_enumerate_new(gContext);
    if (!e) {
        Fail(ERROR_GEN_FAILURE);
        return INVALID_HDEVINFO;
    }
    auto scan = std::make_unique<TScan>();
    if (Udev().udev_enumerate_add_match_subsystem(e, "hidraw") < 0 ||
        Udev().udev_enumerate_scan_devices(e) < 0) {
        Udev().udev_enumerate_unref(e);
        Fail(ERROR_GEN_FAILURE);
        return INVALID_HDEVINFO;
    }
    // Without the daemon (containers, minimal systems) no device is ever
    // initialised: the node and sysfs are all there is, with the permissions
    // the kernel gave the node.
    const bool daemon = UdevDaemonActive();
    for (udev_list_entry* item = Udev().udev_enumerate_get_list_entry(e); item;
         item = Udev().udev_list_entry_get_next(item)) {
        const char* syspath = Udev().udev_list_entry_get_name(item);
        udev_device* dev =
            syspath ? Udev().udev_device_new_from_syspath(gContext, syspath) : nullptr;
        if (!dev)
            continue;
        // A node udev has not finished (permissions, links) waits for the next pass.
        const char* node = Udev().udev_device_get_devnode(dev);
        if (node && (!daemon || Udev().udev_device_get_is_initialized(dev) > 0)) {
            TEntry entry{node, ReadSysfsDevice(syspath)};
            if (entry.Device.Valid && entry.Device.Sequence != 0) {
                RememberNode(entry.Node, syspath);
                scan->Entries.push_back(std::move(entry));
            }
        }
        Udev().udev_device_unref(dev);
    }
    Udev().udev_enumerate_unref(e);
    return scan.release();
}

bool EnumDeviceInterfaces(HDEVINFO info, SP_DEVINFO_DATA*, const GUID*, uint32_t index,
                          SP_DEVICE_INTERFACE_DATA* data) {
    auto* scan = static_cast<TScan*>(info);
    if (index >= scan->Entries.size())
        return Fail(ERROR_NO_MORE_ITEMS);
    data->Reserved = index;
    return true;
}

bool GetDeviceInterfaceDetail(HDEVINFO info, SP_DEVICE_INTERFACE_DATA* data, void* detail,
                              uint32_t detailSize, uint32_t* required, SP_DEVINFO_DATA* devInfo) {
    auto* scan = static_cast<TScan*>(info);
    if (data->Reserved >= scan->Entries.size())
        return Fail(ERROR_NO_MORE_ITEMS);
    const TEntry& e = scan->Entries[data->Reserved];
    const uint32_t size = kDetailDataHeader + uint32_t(e.Node.size()) + 1;
    if (required)
        *required = size;
    if (!detail || detailSize < size)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(static_cast<char*>(detail) + kDetailDataHeader, e.Node.c_str(), e.Node.size() + 1);
    devInfo->DevInst = e.Device.Sequence;
    devInfo->Reserved = data->Reserved;
    return true;
}

const char* BusName(uint16_t bus) {
    switch (bus) {
    case 0x03:
        return "USB";
    case 0x05:
        return "BLUETOOTH";
    case 0x18:
        return "I2C";
    case 0x06:
        return "VIRTUAL";
    default:
        return "HID";
    }
}

bool GetRegistryProperty(HDEVINFO info, SP_DEVINFO_DATA* devInfo, uint32_t code, uint32_t* type,
                         uint8_t* buffer, uint32_t size, uint32_t* required) {
    auto* scan = static_cast<TScan*>(info);
    if (devInfo->Reserved >= scan->Entries.size())
        return Fail(ERROR_NO_MORE_ITEMS);
    const TEntry& e = scan->Entries[devInfo->Reserved];
    const TSysfsDevice& d = e.Device;
    TPropertyValue value;
    const auto text = [&](const std::string& t) { value.Text(t); };
    const auto list = [&](const std::vector<std::string>& items) { value.List(items); };
    const auto number = [&](uint32_t v) { value.Number(v); };
    char id[64];
    std::snprintf(id, sizeof id, "HID\\VID_%04X&PID_%04X", d.VendorID, d.ProductID);
    char rev[16];
    std::snprintf(rev, sizeof rev, "&REV_%04X", d.Version);
    switch (code) {
    case SPDRP_DEVICEDESC:
    case SPDRP_FRIENDLYNAME:
        if (d.Name.empty())
            return Fail(13);
        text(d.Name);
        break;
    case SPDRP_HARDWAREID:
        list({std::string(id) + rev, id});
        break;
    case SPDRP_COMPATIBLEIDS:
        if (d.Modalias.empty())
            return Fail(13);
        list({d.Modalias});
        break;
    case SPDRP_SERVICE:
        if (d.Driver.empty())
            return Fail(13);
        text(d.Driver);
        break;
    case SPDRP_CLASS:
        text("hidraw");
        break;
    case SPDRP_MFG:
        if (d.Manufacturer.empty())
            return Fail(13);
        text(d.Manufacturer);
        break;
    case SPDRP_LOCATION_INFORMATION:
        text(d.Phys);
        break;
    case SPDRP_PHYSICAL_DEVICE_OBJECT_NAME:
        text(d.Syspath);
        break;
    case SPDRP_ENUMERATOR_NAME:
        text(BusName(d.Bus));
        break;
    case SPDRP_ADDRESS:
        number(d.Sequence);
        break;
    case SPDRP_BUSNUMBER:
        number(d.BusNumber);
        break;
    case SPDRP_UI_NUMBER:
        number(d.Minor);
        break;
    default:
        return Fail(13); // not set for this device
    }
    if (const uint32_t error = value.Answer(type, buffer, size, required))
        return Fail(error);
    return true;
}

bool DestroyInfoList(HDEVINFO info) {
    delete static_cast<TScan*>(info);
    return true;
}

uint32_t GetLastError() {
    return tLastError;
}

// The monitor's socket is watched by a thread of its own, so any GUI loop
// can take the changes: it wakes the sink and waits until the GUI thread has
// taken everything pending, so it never wakes it twice for the same data.
struct TUdevMonitor {
    udev_monitor* Monitor = nullptr;
    int Fd = -1;
    int Stop = -1; // eventfd that ends the watch
    THidChangeSink Sink = nullptr;
    void* Context = nullptr;
    std::mutex Lock;
    std::condition_variable Taken;
    bool Armed = true;     // guarded by Lock
    bool Stopping = false; // guarded by Lock
    bool Broken = false;   // guarded by Lock
    std::thread Watcher;

    void Watch() {
        for (;;) {
            pollfd fds[2] = {{Fd, POLLIN, 0}, {Stop, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            std::unique_lock lock(Lock);
            if (Stopping || Broken)
                return;
            if (!(fds[0].revents & (POLLIN | POLLERR | POLLHUP)))
                continue;
            Armed = false;
            Sink(Context);
            Taken.wait(lock, [this] { return Armed || Stopping; });
        }
    }
};

HDEVMONITOR MonitorOpen(THidChangeSink sink, void* context) {
    // Without the daemon nothing comes through its socket; the kernel's own
    // events tell the same adds and removes.
    udev_monitor* m =
        Udev().udev_monitor_new_from_netlink(gContext, UdevDaemonActive() ? "udev" : "kernel");
    if (!m)
        return nullptr;
    if (Udev().udev_monitor_filter_add_match_subsystem_devtype(m, "hidraw", nullptr) < 0 ||
        Udev().udev_monitor_enable_receiving(m) < 0) {
        Udev().udev_monitor_unref(m);
        return nullptr;
    }
    auto monitor = std::make_unique<TUdevMonitor>();
    monitor->Monitor = m;
    monitor->Fd = Udev().udev_monitor_get_fd(m);
    monitor->Stop = eventfd(0, EFD_CLOEXEC);
    monitor->Sink = sink;
    monitor->Context = context;
    // A monitor that cannot be watched still exists; it only never tells.
    if (monitor->Fd >= 0 && monitor->Stop >= 0)
        monitor->Watcher = std::thread([w = monitor.get()] { w->Watch(); });
    return monitor.release();
}

int MonitorReceive(HDEVMONITOR handle) {
    auto* monitor = static_cast<TUdevMonitor*>(handle);
    int result;
    for (;;) {
        errno = 0;
        udev_device* dev = Udev().udev_monitor_receive_device(monitor->Monitor);
        if (!dev) {
            const int e = errno;
            if (e == 0 || e == EAGAIN || e == EWOULDBLOCK || e == EINTR)
                result = 0;
            else // events lost to an overflow: one pass catches up with them
                result = e == ENOBUFS ? 1 : -1;
            break;
        }
        const char* action = Udev().udev_device_get_action(dev);
        const bool counts =
            action && (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0);
        Udev().udev_device_unref(dev);
        if (counts)
            return 1;
    }
    if (result <= 0) {
        std::lock_guard lock(monitor->Lock);
        monitor->Broken = result < 0;
        monitor->Armed = true;
        monitor->Taken.notify_all();
    }
    return result;
}

void MonitorClose(HDEVMONITOR handle) {
    auto* monitor = static_cast<TUdevMonitor*>(handle);
    if (monitor->Watcher.joinable()) {
        {
            std::lock_guard lock(monitor->Lock);
            monitor->Stopping = true;
            monitor->Taken.notify_all();
        }
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(monitor->Stop, &one, sizeof one);
        monitor->Watcher.join();
    }
    if (monitor->Stop >= 0)
        close(monitor->Stop);
    Udev().udev_monitor_unref(monitor->Monitor);
    delete monitor;
}

} // namespace

} // namespace korvalis::linuxhid

namespace korvalis {

void RegisterLinuxUdevModule() {
    using namespace linuxhid;
    TSetupApi setup;
    setup.SetupDiGetClassDevsA = &GetClassDevs;
    setup.SetupDiEnumDeviceInterfaces = &EnumDeviceInterfaces;
    setup.SetupDiGetDeviceInterfaceDetailA = &GetDeviceInterfaceDetail;
    setup.SetupDiGetDeviceRegistryPropertyA = &GetRegistryProperty;
    setup.SetupDiDestroyDeviceInfoList = &DestroyInfoList;
    setup.SetupGetLastError = &linuxhid::GetLastError;
    setup.SetupMonitorOpen = &MonitorOpen;
    setup.SetupMonitorReceive = &MonitorReceive;
    setup.SetupMonitorClose = &MonitorClose;
    // libudev is bound when the module loads; without it there is no module.
    RegisterSetupModule(kLinuxModules.Setup, setup, BindUdev, UnbindUdev);
}

} // namespace korvalis
