// The controller: finds the interfaces, follows plug and unplug and runs
// every event of the layer on the GUI thread.
#include "HidControllerClass.h"

#include "Hid.h"
#include "SetupApi.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <unordered_set>

namespace korvalis {

namespace {

const GUID kHidInterfaceClass{
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

IHidGuiLoop& LoopOrInstalled(IHidGuiLoop* loop) {
    if (!loop)
        loop = HidGuiLoop();
    if (!loop)
        throw EHidException("No GUI loop is installed for the HID layer");
    return *loop;
}

// A new controller default reaches the devices still on the old one; a device
// given its own value keeps it.
template <class T, class Get, class Set>
void ChangeDefault(const std::vector<THidDevice*>& devices, T& current, T value, Get get, Set set) {
    if (value == current)
        return;
    for (THidDevice* d : devices)
        if (std::invoke(get, d) == current)
            std::invoke(set, d, value);
    current = std::move(value);
}

} // namespace

// Receives the device-change broadcast for the controller: the set-up
// module's monitor tells from any thread that changes are pending; they are
// taken on the GUI thread, and each posts one message.
class THidNotifyObject {
  public:
    THidNotifyObject(THidDeviceController* controller, IHidGuiLoop& loop)
        : FController(controller), FLoop(loop) {
        FSink = std::make_unique<TSink>(TSink{&loop, FAlive});
        const TSetupApi& api = SetupApi();
        FMonitor = api.SetupMonitorOpen ? api.SetupMonitorOpen(&Pending, FSink.get()) : nullptr;
    }
    ~THidNotifyObject() {
        FAlive.reset();
        // After the close the monitor calls the sink no more.
        if (FMonitor && SetupApi().SetupMonitorClose)
            SetupApi().SetupMonitorClose(FMonitor);
    }

    void Post(uint32_t wParam, int32_t lParam) {
        FLoop.Post([alive = std::weak_ptr<THidNotifyObject*>(FAlive), wParam, lParam] {
            if (auto self = alive.lock())
                (*self)->Deliver(wParam, lParam);
        });
    }

  private:
    // What the monitor's thread may touch: the loop and a weak token.
    struct TSink {
        IHidGuiLoop* Loop;
        std::weak_ptr<THidNotifyObject*> Alive;
    };

    static void Pending(void* context) {
        auto* sink = static_cast<TSink*>(context);
        sink->Loop->Post([alive = sink->Alive] {
            if (auto self = alive.lock())
                (*self)->Drain();
        });
    }

    void Deliver(uint32_t wParam, int32_t lParam) {
        try {
            FController->NotifyDeviceChange(wParam, lParam);
        } catch (...) {
            FController->ReportUnhandled(std::current_exception());
        }
    }

    void Drain() {
        // A broken monitor tells nothing more; devices stay as they are.
        while (!FBroken) {
            const int got = SetupApi().SetupMonitorReceive(FMonitor);
            if (got > 0) {
                Post(THidDeviceController::DBT_DEVNODES_CHANGED, 0);
                continue;
            }
            FBroken = got < 0;
            return;
        }
    }

    THidDeviceController* FController;
    IHidGuiLoop& FLoop;
    std::shared_ptr<THidNotifyObject*> FAlive = std::make_shared<THidNotifyObject*>(this);
    std::unique_ptr<TSink> FSink;
    HDEVMONITOR FMonitor = nullptr;
    bool FBroken = false;
};

THidDeviceController::THidDeviceController(IHidGuiLoop* loop) : FLoop(LoopOrInstalled(loop)) {
    // A load that fails for want of a name gives its count back at once; one
    // whose module is missing keeps it. The controller notes which counts it
    // holds and gives back exactly those.
    const int32_t setupBefore = SetupLibraryLoadCount();
    const bool setupLoaded = LoadSetupLibrary();
    FSetupCounted = SetupLibraryLoadCount() > setupBefore;
    if (setupLoaded) {
        const int32_t hidBefore = HidLibraryLoadCount();
        LoadHidLibrary();
        FHidCounted = HidLibraryLoadCount() > hidBefore;
    }
    if (IsHidLibraryLoaded()) {
        HidApi().HidD_GetHidGuid(&FInterfaceClassGuid);
        FNotifyObject = new THidNotifyObject(this, FLoop);
        FNotifyObject->Post(DBT_DEVNODES_CHANGED, kStartupChangeParam);
    } else {
        FInterfaceClassGuid = kHidInterfaceClass;
    }
    // The handlers are assigned right after construction; the loading state
    // ends with the event loop's first turn unless the owner ends it earlier.
    FLoop.Post([this, alive = std::weak_ptr<void>(FAlive)] {
        if (!alive.expired())
            Loaded();
    });
}

THidDeviceController::~THidDeviceController() {
    // From here on broadcasts are ignored: one let in by a handler of the last
    // pass would start a second pass inside it.
    FDestroying = true;
    // The last pass may fail like any other; destruction goes on regardless.
    try {
        SetOnDeviceChange({});
    } catch (...) {
        ReportUnhandled(std::current_exception());
    }
    SetOnDeviceUnplug({});
    FOnEnumerate = {};
    delete FNotifyObject;
    FNotifyObject = nullptr;
    // Each device leaves the list by itself only through a controller; with
    // none it simply goes.
    std::vector<THidDevice*> devices;
    devices.swap(FDeviceList);
    for (THidDevice* d : devices) {
        d->SetController(nullptr);
        const std::weak_ptr<void> alive = d->Alive();
        if (d->Claimed())
            d->MarkUnplugged(); // its own unplug handler may give it back
        if (!alive.expired())
            delete d;
    }
    // Every count this controller holds goes back, so a failed load neither
    // keeps a module bound nor blocks the next controller's try.
    if (FSetupCounted)
        UnloadSetupLibrary();
    if (FHidCounted)
        UnloadHidLibrary();
}

void THidDeviceController::Loaded() {
    FLoading = false;
}

void THidDeviceController::ReportUnhandled(std::exception_ptr error) {
    if (FUnhandledException) {
        FUnhandledException(error);
        return;
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& x) {
        std::fprintf(stderr, "%s\n", x.what());
    } catch (...) {
        std::fprintf(stderr, "unknown exception in a device-change pass\n");
    }
}

void THidDeviceController::NotifyDeviceChange(uint32_t wParam, int32_t lParam) {
    FLoading = false;
    if (FDestroying || wParam != DBT_DEVNODES_CHANGED || FChangeInProgress)
        return;
    FLastChangeParam = lParam;
    FChangeInProgress = true;
    // A pass that ends by an exception still lets later broadcasts through.
    struct TClear {
        bool& Flag;
        ~TClear() { Flag = false; }
    } clear{FChangeInProgress};
    DeviceChange();
}

std::vector<std::unique_ptr<THidDevice>> THidDeviceController::ScanPresentInterfaces() {
    std::vector<std::unique_ptr<THidDevice>> found;
    if (!IsHidLibraryLoaded())
        return found;
    const TSetupApi& api = SetupApi();
    HDEVINFO info = api.SetupDiGetClassDevsA(&FInterfaceClassGuid, nullptr, nullptr,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (info == INVALID_HDEVINFO)
        return found;
    struct TInfoSet {
        HDEVINFO Info;
        ~TInfoSet() { SetupApi().SetupDiDestroyDeviceInfoList(Info); }
    } set{info};
    // Devices made so far go with the exception when the pass fails, without
    // touching the device list.
    struct TRelease {
        std::vector<std::unique_ptr<THidDevice>>& List;
        bool Done = false;
        ~TRelease() {
            if (!Done)
                for (auto& d : List)
                    if (d)
                        d->SetController(nullptr);
        }
    } release{found};
    SP_DEVICE_INTERFACE_DATA interfaceData;
    interfaceData.cbSize = 28;
    for (uint32_t index = 0; api.SetupDiEnumDeviceInterfaces(info, nullptr, &FInterfaceClassGuid,
                                                             index, &interfaceData);
         ++index) {
        uint32_t size = 0;
        SP_DEVINFO_DATA devInfo;
        devInfo.cbSize = 28;
        api.SetupDiGetDeviceInterfaceDetailA(info, &interfaceData, nullptr, 0, &size, &devInfo);
        if (size <= kDetailDataFixedSize || size > kPropertyLimit ||
            api.SetupGetLastError() != ERROR_INSUFFICIENT_BUFFER)
            continue;
        std::vector<char> detail(size, 0);
        const uint32_t header = kDetailDataFixedSize;
        std::memcpy(detail.data(), &header, sizeof header);
        if (!api.SetupDiGetDeviceInterfaceDetailA(info, &interfaceData, detail.data(), size, &size,
                                                  &devInfo))
            continue;
        std::string path(
            detail.data() + kDetailDataHeader,
            strnlen(detail.data() + kDetailDataHeader, detail.size() - kDetailDataHeader));
        auto pnp = std::make_unique<THidPnPInfo>(info, &devInfo, std::move(path));
        bool retry = false;
        std::unique_ptr<THidDevice> device;
        do {
            try {
                device = std::make_unique<THidDevice>(pnp, this);
            } catch (const EControllerError&) {
                if (!FOnDeviceCreateError)
                    throw;
                bool handled = false;
                FOnDeviceCreateError(this, pnp.get(), handled, retry);
                if (!handled)
                    throw;
            }
        } while (!device && retry);
        if (device)
            found.push_back(std::move(device));
    }
    release.Done = true;
    return found;
}

void THidDeviceController::DeviceChange() {
    bool changed = FLastChangeParam == kStartupChangeParam;
    std::vector<std::unique_ptr<THidDevice>> found = ScanPresentInterfaces();

    // Presence is a set lookup instead of a search per device, so a pass stays
    // linear in the number of interfaces; the outcome and order are the same.
    std::unordered_set<uint32_t> scanned;
    for (const auto& n : found)
        scanned.insert(n->PnPInfo()->DevInst);
    // The gone devices are picked before any handler runs: a handler may give
    // a device back, which frees it and shortens the list.
    std::vector<std::pair<THidDevice*, std::weak_ptr<void>>> gone;
    for (size_t i = FDeviceList.size(); i-- > 0;) {
        THidDevice* d = FDeviceList[i];
        if (!d->Plugged() || !scanned.count(d->PnPInfo()->DevInst))
            gone.emplace_back(d, d->Alive());
    }
    for (auto& [d, alive] : gone) {
        changed = true;
        if (alive.expired())
            continue;
        d->MarkUnplugged();
        if (alive.expired())
            continue;
        if (FOnRemoval) {
            d->SetInEnumeration(true);
            FOnRemoval(d);
            if (alive.expired())
                continue;
            d->SetInEnumeration(false);
        }
        if (!d->Claimed()) {
            auto at = std::find(FDeviceList.begin(), FDeviceList.end(), d);
            if (at != FDeviceList.end()) {
                FDeviceList.erase(at);
                d->SetController(nullptr);
                delete d;
            }
        }
    }

    std::unordered_set<uint32_t> known;
    for (THidDevice* d : FDeviceList)
        if (d->Plugged())
            known.insert(d->PnPInfo()->DevInst);
    for (auto& n : found)
        if (known.count(n->PnPInfo()->DevInst)) {
            n->SetController(nullptr);
            n.reset();
        }

    for (auto& n : found) {
        if (!n)
            continue;
        THidDevice* d = n.release();
        FDeviceList.push_back(d);
        changed = true;
        if (FOnArrival) {
            const std::weak_ptr<void> alive = d->Alive();
            d->SetInEnumeration(true);
            FOnArrival(d);
            if (!alive.expired())
                d->SetInEnumeration(false);
        }
    }

    if (changed && FOnDeviceChange)
        FOnDeviceChange(this);
}

bool THidDeviceController::EnumerateOne(THidDevice* device, int idx) {
    if (!FOnEnumerate)
        return false;
    const std::weak_ptr<void> alive = device->Alive();
    device->SetInEnumeration(true);
    const bool result = FOnEnumerate(device, idx);
    if (alive.expired())
        return result; // given back: a fresh device holds its place
    device->SetInEnumeration(false);
    if (!device->Claimed()) {
        device->CloseSyncHandle();
        device->CloseReadHandle();
    }
    return result;
}

int THidDeviceController::EnumerateDevices() {
    int count = 0;
    const size_t length = FDeviceList.size();
    // A handler may give a device back and shorten the list meanwhile.
    for (size_t idx = 0; idx < length && idx < FDeviceList.size(); ++idx) {
        THidDevice* d = FDeviceList[idx];
        if (!d->Plugged())
            continue;
        ++count;
        if (!EnumerateOne(d, int(idx)))
            break;
    }
    return count;
}

void THidDeviceController::SetOnDeviceChange(TNotifyEvent h) {
    if (h == FOnDeviceChange)
        return;
    FOnDeviceChange = std::move(h);
    if (!FLoading)
        DeviceChange();
}

void THidDeviceController::SetOnDeviceData(THidDataEvent h) {
    ChangeDefault(FDeviceList, FOnDeviceData, std::move(h), &THidDevice::OnReport,
                  &THidDevice::SetReportHandler);
}

void THidDeviceController::SetOnDeviceDataError(THidDataErrorEvent h) {
    ChangeDefault(FDeviceList, FOnDeviceDataError, std::move(h), &THidDevice::OnReportError,
                  &THidDevice::SetOnReportError);
}

void THidDeviceController::SetOnDeviceUnplug(THidPlugEvent h) {
    ChangeDefault(FDeviceList, FOnDeviceUnplug, std::move(h), &THidDevice::OnUnplugged,
                  &THidDevice::SetOnUnplugged);
}

void THidDeviceController::SetDevPollingDelayTime(int32_t value) {
    ChangeDefault(FDeviceList, FDevPollingDelayTime, value, &THidDevice::PollingDelay,
                  &THidDevice::SetPollingDelay);
}

void THidDeviceController::SetDevThreadSleepTime(int32_t value) {
    ChangeDefault(FDeviceList, FDevThreadSleepTime, value, &THidDevice::SleepTime,
                  &THidDevice::SetSleepTime);
}

} // namespace korvalis
