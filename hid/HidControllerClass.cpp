#include "HidControllerClass.h"

#include "Hid.h"
#include "SetupApi.h"

#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>
#include <QTimer>
#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <unordered_set>

namespace korvalis {

// ---------------------------------------------------------------- threads

namespace {

struct TSyncItem {
    const std::function<void()>* Call;
    TCustomThread* Owner; // the waiting thread, none for a plain thread
    std::exception_ptr Error;
    bool Done = false;
};

std::mutex gSyncLock;
std::condition_variable gSyncDone;    // an item ran
std::condition_variable gSyncPending; // an item was queued or a body returned
std::deque<TSyncItem*> gSyncQueue;
// Threads let go from inside their own hand-off, until their body is done.
std::vector<std::unique_ptr<TCustomThread>> gRetired;

// Wakes the GUI thread for queued hand-offs: an eventfd its event loop
// watches, so a reader hands over through our own queue and lock only.
int gSyncWake = -1;

class TSyncPump : public QObject {
  public:
    explicit TSyncPump(int fd) : QObject(QCoreApplication::instance()), FFd(fd) {
        auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            uint64_t value;
            [[maybe_unused]] ssize_t n = read(FFd, &value, sizeof value);
            TCustomThread::CheckSynchronize();
        });
    }
    ~TSyncPump() override {
        // No hand-off can run any more: every thread let go ends now.
        TCustomThread::ReapRetired(true);
        {
            std::lock_guard lock(gSyncLock);
            gSyncWake = -1;
        }
        close(FFd);
    }

  private:
    int FFd;
};

// On the GUI thread, before the first reader starts.
void EnsureSyncPump() {
    {
        std::lock_guard lock(gSyncLock);
        if (gSyncWake >= 0 || !QCoreApplication::instance())
            return;
    }
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0)
        return;
    new TSyncPump(fd);
    std::lock_guard lock(gSyncLock);
    gSyncWake = fd;
}

bool OnGuiThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

} // namespace

TCustomThread::TCustomThread() {
    if (OnGuiThread())
        EnsureSyncPump();
}

TCustomThread::~TCustomThread() {
    if (isRunning()) {
        Terminate();
        WaitFor();
    }
}

void TCustomThread::Terminate() {
    {
        std::lock_guard lock(FSleepLock);
        FTerminated = true;
    }
    FSleepWake.notify_all();
    TerminateNotify();
}

void TCustomThread::InterruptibleSleep(int32_t milliseconds) {
    std::unique_lock lock(FSleepLock);
    FSleepWake.wait_for(lock, std::chrono::milliseconds(std::max(milliseconds, 0)),
                        [this] { return FTerminated.load(); });
}

void TCustomThread::WaitFor() {
    for (;;) {
        CheckSynchronize();
        std::unique_lock lock(gSyncLock);
        if (FBodyDone)
            break;
        gSyncPending.wait_for(lock, std::chrono::milliseconds(50),
                              [this] { return FBodyDone || !gSyncQueue.empty(); });
        if (FBodyDone)
            break;
    }
    wait();
}

std::string TCustomThread::GetThreadName() const {
    return FName;
}

void TCustomThread::SetThreadName(const std::string& name) {
    FName = name;
}

void TCustomThread::NameThreadForDebugging(const std::string& name) {
    // The kernel keeps 15 characters and the terminating zero.
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

void TCustomThread::run() {
    try {
        Execute();
    } catch (...) {
        // A body that ends by an exception ends the thread, nothing more.
    }
    // The last thing the body does, under the lock WaitFor takes: everything
    // before it happens before the waiter goes on.
    std::lock_guard lock(gSyncLock);
    FBodyDone = true;
    gSyncPending.notify_all();
}

void TCustomThread::Synchronize(const std::function<void()>& call) {
    auto* self = dynamic_cast<TCustomThread*>(QThread::currentThread());
    if (OnGuiThread()) {
        // Without a GUI thread the call runs here, and is its own hand-off.
        struct TMark {
            TCustomThread* Thread;
            TMark(TCustomThread* t) : Thread(t) {
                if (Thread)
                    Thread->FInHandOff = true;
            }
            ~TMark() {
                if (Thread)
                    Thread->FInHandOff = false;
            }
        } mark(self);
        call();
        return;
    }
    TSyncItem item{&call, self, nullptr, false};
    int wake;
    {
        std::lock_guard lock(gSyncLock);
        gSyncQueue.push_back(&item);
        wake = gSyncWake;
        gSyncPending.notify_all();
    }
    if (wake >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wake, &one, sizeof one);
    } else {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] { CheckSynchronize(); }, Qt::QueuedConnection);
    }
    {
        std::unique_lock lock(gSyncLock);
        gSyncDone.wait(lock, [&] { return item.Done; });
    }
    if (item.Error)
        std::rethrow_exception(item.Error);
}

void TCustomThread::CheckSynchronize() {
    for (;;) {
        TSyncItem* item;
        {
            std::lock_guard lock(gSyncLock);
            if (gSyncQueue.empty())
                return;
            item = gSyncQueue.front();
            gSyncQueue.pop_front();
        }
        std::exception_ptr error;
        // The owner waits for this item, so it outlives the call.
        if (item->Owner)
            item->Owner->FInHandOff = true;
        try {
            (*item->Call)();
        } catch (...) {
            error = std::current_exception();
        }
        if (item->Owner)
            item->Owner->FInHandOff = false;
        std::lock_guard lock(gSyncLock);
        item->Error = error;
        item->Done = true;
        gSyncDone.notify_all();
    }
}

void TCustomThread::Retire(std::unique_ptr<TCustomThread> thread) {
    {
        std::lock_guard lock(gSyncLock);
        gRetired.push_back(std::move(thread));
    }
    if (QCoreApplication::instance() && OnGuiThread())
        QTimer::singleShot(0, QCoreApplication::instance(), [] { ReapRetired(); });
}

void TCustomThread::ReapRetired(bool wait) {
    std::vector<std::unique_ptr<TCustomThread>> done;
    bool left;
    {
        std::lock_guard lock(gSyncLock);
        for (auto& t : gRetired)
            if (wait || t->FBodyDone)
                done.push_back(std::move(t));
        gRetired.erase(std::remove(gRetired.begin(), gRetired.end(), nullptr), gRetired.end());
        left = !gRetired.empty();
    }
    for (auto& t : done) {
        if (wait)
            t->WaitFor();
        else
            t->QThread::wait(); // its body is done: only the thread's end is left
        t.reset();
    }
    // A handler that stopped its reader may still be running, further up the
    // stack; look again shortly.
    if (left && QCoreApplication::instance() && OnGuiThread())
        QTimer::singleShot(5, QCoreApplication::instance(), [] { ReapRetired(); });
}

// ---------------------------------------------------------------- reader

THidDeviceReadThread::THidDeviceReadThread(THidDevice* device) : FOwnerDevice(device) {
    SetThreadName("THidDeviceReadThread");
    // Taken here on the GUI thread once: fetching the lengths later from the
    // reader could open the sync handle beside the GUI thread.
    FInputLength = device->GetReportCaps().InputReportByteLength;
    FReportBuffer.assign(FInputLength, 0);
    FBytesRead = 0;
    start();
}

THidDeviceReadThread::~THidDeviceReadThread() {
    if (isRunning()) {
        Terminate();
        WaitFor();
    }
}

void THidDeviceReadThread::TerminateNotify() {
    if (FOwnerDevice)
        FOwnerDevice->WakeReader();
}

void THidDeviceReadThread::Detach() {
    FDetached = true;
    FOwnerDevice = nullptr;
}

bool THidDeviceReadThread::HandOff(const std::function<void()>& call) {
    // A hand-off that reaches the GUI thread after a stop is dropped: the stop
    // may be the device's own destruction, waiting for this reader.
    Synchronize([this, &call] {
        if (!Terminated())
            call();
    });
    return !Terminated();
}

namespace {

uint32_t PlatformLastError() {
    const THidApi& api = HidApi();
    return api.GetLastError ? api.GetLastError() : 0;
}

} // namespace

void THidDeviceReadThread::Execute() {
    NameThreadForDebugging(GetThreadName());
    THidDevice* device = FOwnerDevice;
    uint32_t lastWait = WAIT_IO_COMPLETION;
    try {
        while (!Terminated()) {
            lastWait = WAIT_IO_COMPLETION;
            bool started = false;
            if (FInputLength == 0) {
                // The lengths could not be read when the reader was made. A
                // read of 0 bytes would look like a node that hung up, so they
                // are asked for again, on the GUI thread that owns the sync
                // handle.
                bool known = false;
                uint16_t length = 0;
                uint32_t error = 0;
                if (!HandOff([device, &known, &length, &error] {
                        known = device->EnsurePreparsedData() != nullptr;
                        length = device->GetReportCaps().InputReportByteLength;
                        error = PlatformLastError();
                    }))
                    break;
                if (known && length == 0)
                    break; // the device sends no input reports
                FInputLength = length;
                FReportBuffer.assign(length, 0);
                if (length == 0)
                    FLastError = error;
            }
            if (FInputLength > 0) {
                std::fill(FReportBuffer.begin(), FReportBuffer.end(), 0);
                started = device->BeginReportRead(FReportBuffer.data(), FInputLength);
                if (!started)
                    FLastError = PlatformLastError();
            }
            if (!started) {
                const uint32_t error = FLastError;
                // The handler is taken first: it may give the device back.
                if (!HandOff([device, error] {
                        THidDataErrorEvent handler = device->OnReportError();
                        if (handler)
                            handler(device, error);
                    }))
                    break;
                InterruptibleSleep(device->SleepTime());
                continue;
            }
            do {
                lastWait = device->WaitForRead(uint32_t(std::max(device->SleepTime(), 0)));
            } while (!Terminated() && lastWait != WAIT_IO_COMPLETION);
            if (Terminated())
                break;
            FBytesRead = device->PendingReadSize();
            if (FBytesRead > 0) {
                const uint8_t* buffer = FReportBuffer.data();
                const uint16_t size = uint16_t(FBytesRead - 1);
                if (!HandOff([device, buffer, size] {
                        THidDataEvent handler = device->OnReport();
                        if (handler)
                            handler(device, buffer[0], buffer + 1, size);
                    }))
                    break;
            }
            if (device->PollingDelay() > 0)
                InterruptibleSleep(device->PollingDelay());
        }
    } catch (...) {
        if (lastWait != WAIT_IO_COMPLETION && !FDetached)
            device->CancelPendingRead();
        throw;
    }
    if (lastWait != WAIT_IO_COMPLETION && !FDetached)
        device->CancelPendingRead();
}

// ---------------------------------------------------------------- PnP info

namespace {

// Platform sizes are checked before they become buffers.
constexpr uint32_t kPropertyLimit = 1u << 20;

bool ReadProperty(HDEVINFO info, SP_DEVINFO_DATA* devInfo, uint32_t code, uint32_t extra,
                  uint32_t& type, std::vector<uint8_t>& data) {
    const TSetupApi& api = SetupApi();
    data.clear();
    if (!api.SetupDiGetDeviceRegistryPropertyA)
        return false;
    uint32_t size = 0;
    api.SetupDiGetDeviceRegistryPropertyA(info, devInfo, code, &type, nullptr, 0, &size);
    if (size == 0 || size > kPropertyLimit)
        return false;
    data.assign(size + extra, 0);
    if (!api.SetupDiGetDeviceRegistryPropertyA(info, devInfo, code, &type, data.data(), size,
                                               &size)) {
        data.clear();
        return false;
    }
    return true;
}

std::string TextProperty(HDEVINFO info, SP_DEVINFO_DATA* devInfo, uint32_t code) {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (!ReadProperty(info, devInfo, code, 1, type, data))
        return {};
    return std::string(reinterpret_cast<const char*>(data.data()));
}

std::vector<std::string> ListProperty(HDEVINFO info, SP_DEVINFO_DATA* devInfo, uint32_t code) {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    std::vector<std::string> list;
    if (!ReadProperty(info, devInfo, code, 2, type, data))
        return list;
    const char* p = reinterpret_cast<const char*>(data.data());
    const char* end = p + data.size();
    while (p < end && *p) {
        std::string s(p);
        p += s.size() + 1;
        list.push_back(std::move(s));
    }
    return list;
}

uint32_t NumberProperty(HDEVINFO info, SP_DEVINFO_DATA* devInfo, uint32_t code) {
    const TSetupApi& api = SetupApi();
    uint32_t value = 0, type = 0, size = 0;
    if (!api.SetupDiGetDeviceRegistryPropertyA ||
        !api.SetupDiGetDeviceRegistryPropertyA(info, devInfo, code, &type,
                                               reinterpret_cast<uint8_t*>(&value), 4, &size))
        return 0;
    return value;
}

} // namespace

// Properties stored as a number or raw bytes are rendered readably: a number
// in decimal (hexadecimal for bit sets), sixteen bytes as a GUID, text as is.
std::string RenderPropertyText(uint32_t code, uint32_t type, const std::vector<uint8_t>& data) {
    char text[64];
    if (data.size() >= 16 && type == REG_BINARY) {
        GUID g;
        std::memcpy(&g, data.data(), sizeof g);
        std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                      g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                      g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
        return text;
    }
    if (data.size() >= 4 && (type == REG_DWORD || type == REG_BINARY)) {
        uint32_t v;
        std::memcpy(&v, data.data(), 4);
        std::snprintf(text, sizeof text, code == SPDRP_CHARACTERISTICS ? "0x%08X" : "%u", v);
        return text;
    }
    return std::string(data.begin(), std::find(data.begin(), data.end(), uint8_t(0)));
}

namespace {

std::string TextFieldProperty(HDEVINFO info, SP_DEVINFO_DATA* devInfo, uint32_t code) {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (!ReadProperty(info, devInfo, code, 1, type, data))
        return {};
    data.pop_back();
    return RenderPropertyText(code, type, data);
}

} // namespace

THidPnPInfo::THidPnPInfo(HDEVINFO info, SP_DEVINFO_DATA* devInfo, std::string devicePath)
    : DevInst(devInfo->DevInst), DevicePath(std::move(devicePath)) {
    Capabilities = NumberProperty(info, devInfo, SPDRP_CAPABILITIES);
    ClassName = TextProperty(info, devInfo, SPDRP_CLASS);
    ClassGUID = TextProperty(info, devInfo, SPDRP_CLASSGUID);
    CompatibleIDs = ListProperty(info, devInfo, SPDRP_COMPATIBLEIDS);
    ConfigFlags = NumberProperty(info, devInfo, SPDRP_CONFIGFLAGS);
    DeviceDescr = TextProperty(info, devInfo, SPDRP_DEVICEDESC);
    Driver = TextProperty(info, devInfo, SPDRP_DRIVER);
    FriendlyName = TextProperty(info, devInfo, SPDRP_FRIENDLYNAME);
    HardwareID = ListProperty(info, devInfo, SPDRP_HARDWAREID);
    LowerFilters = ListProperty(info, devInfo, SPDRP_LOWERFILTERS);
    Mfg = TextProperty(info, devInfo, SPDRP_MFG);
    UpperFilters = ListProperty(info, devInfo, SPDRP_UPPERFILTERS);
    Service = TextProperty(info, devInfo, SPDRP_SERVICE);
    Address = TextFieldProperty(info, devInfo, SPDRP_ADDRESS);
    BusNumber = NumberProperty(info, devInfo, SPDRP_BUSNUMBER);
    BusTypeGUID = TextFieldProperty(info, devInfo, SPDRP_BUSTYPEGUID);
    Characteristics = TextFieldProperty(info, devInfo, SPDRP_CHARACTERISTICS);
    DevType = NumberProperty(info, devInfo, SPDRP_DEVTYPE);
    EnumeratorName = TextProperty(info, devInfo, SPDRP_ENUMERATOR_NAME);
    Exclusive = NumberProperty(info, devInfo, SPDRP_EXCLUSIVE);
    LegacyBusType = NumberProperty(info, devInfo, SPDRP_LEGACYBUSTYPE);
    LocationInformation = TextProperty(info, devInfo, SPDRP_LOCATION_INFORMATION);
    PhysDevObjName = TextProperty(info, devInfo, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME);
    Security = TextProperty(info, devInfo, SPDRP_SECURITY_SDS);
    UINumber = NumberProperty(info, devInfo, SPDRP_UI_NUMBER);
    Property1E = TextProperty(info, devInfo, SPDRP_PROPERTY_1E);
}

std::string THidPnPInfo::SnapshotText() const {
    std::string out;
    auto line = [&out](const char* name, const std::string& value) {
        out += name;
        out += '=';
        out += value;
        out += '\n';
    };
    auto number = [&line](const char* name, uint32_t v) { line(name, std::to_string(v)); };
    auto list = [&line](const char* name, const std::vector<std::string>& v) {
        std::string joined;
        for (const std::string& s : v)
            joined += (joined.empty() ? "" : ";") + s;
        line(name, joined);
    };
    number("Capabilities", Capabilities);
    line("Class", ClassName);
    line("ClassGUID", ClassGUID);
    list("CompatibleIDs", CompatibleIDs);
    number("ConfigFlags", ConfigFlags);
    line("DeviceDesc", DeviceDescr);
    line("Driver", Driver);
    line("FriendlyName", FriendlyName);
    list("HardwareID", HardwareID);
    list("LowerFilters", LowerFilters);
    line("Mfg", Mfg);
    list("UpperFilters", UpperFilters);
    line("Service", Service);
    line("Address", Address);
    number("BusNumber", BusNumber);
    line("BusTypeGUID", BusTypeGUID);
    line("Characteristics", Characteristics);
    number("DevType", DevType);
    line("EnumeratorName", EnumeratorName);
    number("Exclusive", Exclusive);
    number("LegacyBusType", LegacyBusType);
    line("LocationInformation", LocationInformation);
    line("PhysicalDeviceObjectName", PhysDevObjName);
    line("Security", Security);
    number("UINumber", UINumber);
    line("Property1E", Property1E);
    return out;
}

// ---------------------------------------------------------------- device

THidDevice::THidDevice(std::unique_ptr<THidPnPInfo>& pnp, THidDeviceController* controller)
    : FController(controller) {
    FPollingDelay = controller->DevPollingDelayTime();
    FSleepTime = controller->DevThreadSleepTime();
    FOnReport = controller->OnDeviceData(); // not claimed, so no reader starts
    FOnUnplugged = controller->OnDeviceUnplug();
    FOnReportError = controller->OnDeviceDataError();
    // Creation needs the path before the record is ours.
    THidPnPInfo* info = pnp.get();
    FPnPInfo.reset(info);
    try {
        FSyncHandle = OpenPath(GENERIC_READ | GENERIC_WRITE, 0);
        FReadWriteAccess = FSyncHandle != INVALID_HANDLE_VALUE;
        if (!FReadWriteAccess)
            FSyncHandle = OpenPath(0, 0);
        if (FSyncHandle == INVALID_HANDLE_VALUE)
            throw EControllerError("Device cannot be opened");
        FIdentity = HIDD_ATTRIBUTES{};
        FIdentity.Size = 12;
        const THidApi& api = HidApi();
        if (!api.HidD_GetAttributes || !api.HidD_GetAttributes(FSyncHandle, &FIdentity))
            throw EControllerError("Device cannot be identified");
        CloseSyncHandle();
    } catch (...) {
        CloseSyncHandle();
        (void)FPnPInfo.release();
        throw;
    }
    (void)pnp.release();
}

HANDLE THidDevice::OpenPath(uint32_t access, uint32_t flags) {
    const THidApi& api = HidApi();
    if (!api.CreateFileA)
        return INVALID_HANDLE_VALUE;
    return api.CreateFileA(FPnPInfo->DevicePath.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           OPEN_EXISTING, flags);
}

THidDevice::~THidDevice() {
    THidDataEvent report = FOnReport;
    THidPlugEvent unplugged = FOnUnplugged;
    SetReportHandler({});
    FOnUnplugged = {};
    CloseSyncHandle();
    CloseReadHandle();
    if (FPreparsed && HidApi().HidD_FreePreparsedData)
        HidApi().HidD_FreePreparsedData(FPreparsed);
    FPreparsed = nullptr;
    if (FController) {
        std::vector<THidDevice*>& list = FController->FDeviceList;
        auto at = std::find(list.begin(), list.end(), this);
        if (at != list.end()) {
            if (Plugged()) {
                try {
                    auto replacement = new THidDevice(FPnPInfo, FController);
                    replacement->SetReportHandler(report);
                    replacement->FOnUnplugged = unplugged;
                    replacement->SetPollingDelay(PollingDelay());
                    replacement->SetSleepTime(SleepTime());
                    *at = replacement;
                } catch (const EControllerError&) {
                    list.erase(at);
                }
            } else {
                list.erase(at);
            }
        }
    }
}

bool THidDevice::IsAvailable() const {
    return FPlugged && (FClaimed || FInEnumeration);
}

void THidDevice::ApplyBufferCount(HANDLE handle, uint32_t& count) {
    const THidApi& api = HidApi();
    if (count != 0 && api.HidD_SetNumInputBuffers)
        api.HidD_SetNumInputBuffers(handle, count);
    if (api.HidD_GetNumInputBuffers)
        api.HidD_GetNumInputBuffers(handle, &count);
}

bool THidDevice::OpenSyncHandle() {
    if (IsAvailable() && FSyncHandle == INVALID_HANDLE_VALUE) {
        FSyncHandle = OpenPath(GENERIC_READ | GENERIC_WRITE, 0);
        FReadWriteAccess = FSyncHandle != INVALID_HANDLE_VALUE;
        if (!FReadWriteAccess)
            FSyncHandle = OpenPath(0, 0);
        if (FSyncHandle != INVALID_HANDLE_VALUE)
            ApplyBufferCount(FSyncHandle, FInputBufferCount);
    }
    return FSyncHandle != INVALID_HANDLE_VALUE;
}

void THidDevice::CloseSyncHandle() {
    if (FSyncHandle != INVALID_HANDLE_VALUE && HidApi().CloseHandle)
        HidApi().CloseHandle(FSyncHandle);
    FSyncHandle = INVALID_HANDLE_VALUE;
    FInputBufferCount = 0;
}

bool THidDevice::OpenReadHandle() {
    std::lock_guard lock(FReadLock);
    // A close asked for while the reader slept is done before anything else.
    if (FReadCloseRequested)
        CloseReadHandleLocked();
    if (!IsAvailable())
        return false;
    if (FReadHandle == INVALID_HANDLE_VALUE) {
        FReadHandle = OpenPath(GENERIC_READ, FILE_FLAG_OVERLAPPED);
        if (FReadHandle != INVALID_HANDLE_VALUE)
            ApplyBufferCount(FReadHandle, FReadBufferCount);
    }
    return FReadHandle != INVALID_HANDLE_VALUE;
}

void THidDevice::CloseReadHandleLocked() {
    if (FReadHandle != INVALID_HANDLE_VALUE && HidApi().CloseHandle)
        HidApi().CloseHandle(FReadHandle);
    FReadHandle = INVALID_HANDLE_VALUE;
    FReadBufferCount = 0;
    FReadCloseRequested = false;
}

void THidDevice::CloseReadHandle() {
    std::lock_guard lock(FReadLock);
    if (FReader && FReader->isRunning() && QThread::currentThread() != FReader.get()) {
        // The reader may be waiting on the handle: wake it and let it close the
        // handle itself, so no descriptor is closed under a waiting thread.
        if (FReadHandle != INVALID_HANDLE_VALUE) {
            FReadCloseRequested = true;
            if (HidApi().ReadWake)
                HidApi().ReadWake(FReadHandle);
        }
        return;
    }
    CloseReadHandleLocked();
}

HANDLE THidDevice::ReadHandle() const {
    std::lock_guard lock(FReadLock);
    return FReadCloseRequested ? INVALID_HANDLE_VALUE : FReadHandle;
}

uint32_t THidDevice::ReadBufferCount() const {
    std::lock_guard lock(FReadLock);
    return FReadBufferCount;
}

void THidDevice::WakeReader() {
    std::lock_guard lock(FReadLock);
    if (FReadHandle != INVALID_HANDLE_VALUE && HidApi().ReadWake)
        HidApi().ReadWake(FReadHandle);
}

uint32_t THidDevice::WaitForRead(uint32_t milliseconds) {
    HANDLE handle;
    {
        std::lock_guard lock(FReadLock);
        if (FReadCloseRequested) {
            // Closing the handle ends the outstanding read.
            CloseReadHandleLocked();
            return WAIT_IO_COMPLETION;
        }
        handle = FReadHandle;
    }
    if (handle == INVALID_HANDLE_VALUE || !HidApi().ReadWait)
        return WAIT_IO_COMPLETION;
    uint32_t result = HidApi().ReadWait(handle, &FReadOverlapped, milliseconds);
    std::lock_guard lock(FReadLock);
    if (FReadCloseRequested) {
        CloseReadHandleLocked();
        result = WAIT_IO_COMPLETION;
    }
    return result;
}

bool THidDevice::BeginReportRead(void* buffer, uint32_t length) {
    if (!OpenReadHandle())
        return false;
    std::lock_guard lock(FReadLock);
    FReadOverlapped = OVERLAPPED{};
    FReadOverlapped.hEvent = this;
    return HidApi().ReadFileEx &&
           HidApi().ReadFileEx(FReadHandle, buffer, length, &FReadOverlapped);
}

uint32_t THidDevice::PendingReadSize() {
    std::lock_guard lock(FReadLock);
    uint32_t count = 0;
    if (FReadHandle == INVALID_HANDLE_VALUE || !HidApi().GetOverlappedResult ||
        !HidApi().GetOverlappedResult(FReadHandle, &FReadOverlapped, &count, false))
        return 0;
    return count;
}

bool THidDevice::CancelPendingRead() {
    std::lock_guard lock(FReadLock);
    if (FReadHandle == INVALID_HANDLE_VALUE)
        return false;
    return HidCancelIo(FReadHandle);
}

PHIDP_PREPARSED_DATA THidDevice::EnsurePreparsedData() {
    if (!FPreparsed && OpenSyncHandle()) {
        if (HidApi().HidD_GetPreparsedData &&
            !HidApi().HidD_GetPreparsedData(FSyncHandle, &FPreparsed))
            FPreparsed = nullptr;
        CloseSyncHandle();
    }
    return FPreparsed;
}

HIDP_CAPS THidDevice::GetReportCaps() {
    HIDP_CAPS caps;
    std::memset(&caps, 0, sizeof caps);
    if (PHIDP_PREPARSED_DATA data = EnsurePreparsedData(); data && HidApi().HidP_GetCaps)
        HidApi().HidP_GetCaps(data, &caps);
    return caps;
}

bool THidDevice::WriteReport(const void* report, uint32_t length, uint32_t& written) {
    if (!OpenSyncHandle())
        return false;
    return HidApi().WriteFile && HidApi().WriteFile(FSyncHandle, report, length, &written);
}

bool THidDevice::Claim() {
    if (!FController || !FPlugged || FClaimed)
        return false;
    FClaimed = true;
    StartReader();
    return true;
}

void THidDevice::StartReader() {
    if (!FOnReport || !FPlugged || !FClaimed || !FReadWriteAccess || FReader)
        return;
    // A device known to send no input reports has nothing to read.
    if (EnsurePreparsedData() && GetReportCaps().InputReportByteLength == 0)
        return;
    FReader = std::make_unique<THidDeviceReadThread>(this);
}

void THidDevice::StopReader() {
    if (!FReader)
        return;
    FReader->Terminate();
    if (FReader->InHandOff() || QThread::currentThread() == FReader.get()) {
        // Asked for from inside the reader's own hand-off, which waits for this
        // call: the reader ends as soon as the handler returns, without
        // touching this device again, and is freed once it has.
        std::unique_ptr<THidDeviceReadThread> reader;
        {
            std::lock_guard lock(FReadLock);
            reader = std::move(FReader);
        }
        reader->Detach();
        TCustomThread::Retire(std::move(reader));
        return;
    }
    FReader->WaitFor();
    // Freed outside the lock the close path takes.
    std::unique_ptr<THidDeviceReadThread> reader;
    {
        std::lock_guard lock(FReadLock);
        reader = std::move(FReader);
    }
}

void THidDevice::SetReportHandler(THidDataEvent handler) {
    if (!handler)
        StopReader();
    FOnReport = std::move(handler);
    StartReader();
}

void THidDevice::MarkUnplugged() {
    // Cleared before the close is asked for: a reader woken by it must find
    // the device gone, or it would open the handle again.
    FPlugged = false;
    CloseSyncHandle();
    CloseReadHandle();
    // Cleared before the call, so it runs once, and nothing here touches the
    // device after the handler, which may give it back.
    THidPlugEvent handler = std::move(FOnUnplugged);
    FOnUnplugged = {};
    if (handler)
        handler(this);
}

void THidDevice::SetPollingDelay(int32_t value) {
    if (value >= 0 && value <= 10000)
        FPollingDelay = value;
}

void THidDevice::SetSleepTime(int32_t value) {
    if (value >= 10 && value <= 10000)
        FSleepTime = value;
}

// ---------------------------------------------------------------- controller

namespace {

const QEvent::Type kDeviceChangeEvent = QEvent::Type(QEvent::registerEventType());

struct TDeviceChangeEvent : QEvent {
    TDeviceChangeEvent(uint32_t wParam, int32_t lParam)
        : QEvent(kDeviceChangeEvent), WParam(wParam), LParam(lParam) {}
    // A whole copy, so a change can wait in the queue while a window is busy.
    TDeviceChangeEvent* clone() const override { return new TDeviceChangeEvent(WParam, LParam); }
    uint32_t WParam;
    int32_t LParam;
};

const GUID kHidInterfaceClass{
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

} // namespace

// Receives the device-change broadcast for the controller: the set-up
// module's monitor, watched on the GUI thread, posts one message per change.
class THidNotifyObject : public QObject {
  public:
    explicit THidNotifyObject(THidDeviceController* controller) : FController(controller) {
        const TSetupApi& api = SetupApi();
        FMonitor = api.SetupMonitorOpen ? api.SetupMonitorOpen() : nullptr;
        const int fd = FMonitor ? api.SetupMonitorFd(FMonitor) : -1;
        if (fd >= 0) {
            FNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
            connect(FNotifier, &QSocketNotifier::activated, this, [this] { Drain(); });
        }
    }
    ~THidNotifyObject() override {
        delete FNotifier;
        if (FMonitor && SetupApi().SetupMonitorClose)
            SetupApi().SetupMonitorClose(FMonitor);
    }

    void Post(uint32_t wParam, int32_t lParam) {
        QCoreApplication::postEvent(this, new TDeviceChangeEvent(wParam, lParam));
    }

  protected:
    bool event(QEvent* e) override {
        if (e->type() != kDeviceChangeEvent)
            return QObject::event(e);
        auto* change = static_cast<TDeviceChangeEvent*>(e);
        try {
            FController->NotifyDeviceChange(change->WParam, change->LParam);
        } catch (...) {
            FController->ReportUnhandled(std::current_exception());
        }
        return true;
    }

  private:
    void Drain() {
        for (;;) {
            const int got = SetupApi().SetupMonitorReceive(FMonitor);
            if (got > 0) {
                Post(THidDeviceController::DBT_DEVNODES_CHANGED, 0);
                continue;
            }
            if (got < 0) {
                // A broken monitor tells nothing more; devices stay as they are.
                FNotifier->setEnabled(false);
            }
            return;
        }
    }

    THidDeviceController* FController;
    HDEVMONITOR FMonitor = nullptr;
    QSocketNotifier* FNotifier = nullptr;
};

THidDeviceController::THidDeviceController(QObject* owner) : QObject(owner) {
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
        FNotifyObject = new THidNotifyObject(this);
        FNotifyObject->Post(DBT_DEVNODES_CHANGED, kStartupChangeParam);
    } else {
        FInterfaceClassGuid = kHidInterfaceClass;
    }
    // The handlers are assigned right after construction; the loading state
    // ends with the event loop's first turn unless the owner ends it earlier.
    QMetaObject::invokeMethod(
        this, [this] { Loaded(); }, Qt::QueuedConnection);
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
        qWarning("%s", x.what());
    } catch (...) {
        qWarning("unknown exception in a device-change pass");
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
    if (h == FOnDeviceData)
        return;
    for (THidDevice* d : FDeviceList)
        if (d->OnReport() == FOnDeviceData)
            d->SetReportHandler(h);
    FOnDeviceData = std::move(h);
}

void THidDeviceController::SetOnDeviceDataError(THidDataErrorEvent h) {
    if (h == FOnDeviceDataError)
        return;
    for (THidDevice* d : FDeviceList)
        if (d->OnReportError() == FOnDeviceDataError)
            d->SetOnReportError(h);
    FOnDeviceDataError = std::move(h);
}

void THidDeviceController::SetOnDeviceUnplug(THidPlugEvent h) {
    if (h == FOnDeviceUnplug)
        return;
    for (THidDevice* d : FDeviceList)
        if (d->OnUnplugged() == FOnDeviceUnplug)
            d->SetOnUnplugged(h);
    FOnDeviceUnplug = std::move(h);
}

void THidDeviceController::SetDevPollingDelayTime(int32_t value) {
    if (value == FDevPollingDelayTime)
        return;
    for (THidDevice* d : FDeviceList)
        if (d->PollingDelay() == FDevPollingDelayTime)
            d->SetPollingDelay(value);
    FDevPollingDelayTime = value;
}

void THidDeviceController::SetDevThreadSleepTime(int32_t value) {
    if (value == FDevThreadSleepTime)
        return;
    for (THidDevice* d : FDeviceList)
        if (d->SleepTime() == FDevThreadSleepTime)
            d->SetSleepTime(value);
    FDevThreadSleepTime = value;
}

} // namespace korvalis
