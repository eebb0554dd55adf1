#pragma once

// The HID device layer: one THidDevice per present HID interface, its
// background reader, and the controller that finds the interfaces, follows
// plug and unplug and reports everything on the GUI thread.

#include "HidGuiLoop.h"
#include "HidPlatform.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace korvalis {

class EHidException : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class EControllerError : public EHidException {
  public:
    using EHidException::EHidException;
};

// A bound callback: a routine plus the object it belongs to. Two handlers are
// equal when both parts are; a handler is assigned when it has a routine.
template <class Signature> class TEvent;

template <class R, class... A> class TEvent<R(A...)> {
  public:
    TEvent() = default;
    template <class C> TEvent(C* object, R (C::*method)(A...)) : FObject(object) {
        static_assert(sizeof(method) <= sizeof(FRoutine));
        std::memcpy(FRoutine.data(), &method, sizeof(method));
        FCall = [object, method](A... a) -> R { return (object->*method)(a...); };
    }
    // A callable for object; every call site of one lambda expression has the
    // same routine, so handlers made there compare equal for the same object.
    template <class F> static TEvent Make(const void* object, F f) {
        TEvent e;
        e.FObject = object;
        const void* routine = &kRoutineTag<F>;
        std::memcpy(e.FRoutine.data(), &routine, sizeof(routine));
        e.FCall = std::move(f);
        return e;
    }

    explicit operator bool() const { return bool(FCall); }
    R operator()(A... a) const { return FCall(a...); }
    friend bool operator==(const TEvent& x, const TEvent& y) {
        return x.FObject == y.FObject && x.FRoutine == y.FRoutine && bool(x) == bool(y);
    }

  private:
    template <class F> static inline const char kRoutineTag = 0;
    std::function<R(A...)> FCall;
    const void* FObject = nullptr;
    std::array<unsigned char, 16> FRoutine{};
};

class THidDevice;
class THidDeviceController;
class THidPnPInfo;

using THidEnumerateEvent = TEvent<bool(THidDevice* HidDev, int Idx)>;
using THidPlugEvent = TEvent<void(THidDevice* HidDev)>;
using TNotifyEvent = TEvent<void(THidDeviceController* Sender)>;
using THidDeviceCreateError = TEvent<void(THidDeviceController* Controller, THidPnPInfo* PnPInfo,
                                          bool& Handled, bool& RetryCreate)>;
using THidDataEvent =
    TEvent<void(THidDevice* HidDev, uint8_t ReportID, const uint8_t* Data, uint16_t Size)>;
using THidDataErrorEvent = TEvent<void(THidDevice* HidDev, uint32_t Error)>;

// A thread with a terminate flag, a wait for its end that keeps running the
// hand-offs queued for the GUI thread, and a synchronous call into the GUI
// thread through the installed GUI loop.
class TCustomThread {
  public:
    virtual ~TCustomThread();
    TCustomThread(const TCustomThread&) = delete;
    TCustomThread& operator=(const TCustomThread&) = delete;

    void Terminate();
    bool Terminated() const { return FTerminated.load(); }
    // On the GUI thread: waits for the end while running queued hand-offs, so
    // a thread blocked in Synchronize can finish.
    void WaitFor();
    // Started and not finished yet.
    bool Running() const;
    // Its body has returned.
    bool Finished() const { return FFinished.load(); }
    // Whether the caller runs on this thread.
    bool IsCurrentThread() const;

    virtual std::string GetThreadName() const;
    virtual void SetThreadName(const std::string& name);
    // Names the running thread for debuggers and tools (on Linux up to 15
    // characters reach the kernel).
    virtual void NameThreadForDebugging(const std::string& name);

    // Runs call on the GUI thread and returns when it finished; an exception
    // it raised is raised again here.
    static void Synchronize(const std::function<void()>& call);
    // Runs every queued hand-off; GUI thread only.
    static void CheckSynchronize();
    // On the GUI thread: whether this thread's hand-off is running right now
    // (on this thread's stack or further up it).
    bool InHandOff() const { return FInHandOff; }
    // Lets the terminated thread end by itself: a stop asked for from inside
    // its own hand-off cannot wait for it. It is joined and freed once its
    // body is done.
    static void Retire(std::unique_ptr<TCustomThread> thread);
    // Joins and frees the retired threads whose body is done; all of them
    // when wait is set.
    static void ReapRetired(bool wait = false);

  protected:
    TCustomThread();
    // Starts the body; the derived constructor calls it last.
    void Start();
    // The thread body.
    virtual void Execute() = 0;
    // Called on the terminating thread after the flag is set.
    virtual void TerminateNotify() {}
    // Waits milliseconds or until Terminate.
    void InterruptibleSleep(int32_t milliseconds);
    // Stops a running thread and waits for it; joins a finished one. Every
    // destructor down the line calls it while its members are still there.
    void EndThread();

  private:
    void Run();

    std::thread FThread;
    std::atomic<bool> FStarted{false};
    std::atomic<bool> FFinished{false};
    std::atomic<bool> FTerminated{false};
    std::mutex FSleepLock;
    std::condition_variable FSleepWake;
    std::string FName;
    bool FBodyDone = false;  // guarded by the hand-off lock
    bool FInHandOff = false; // GUI thread only
};

class THidDeviceReadThread : public TCustomThread {
  public:
    // On the GUI thread: sizes the buffer from the device's report lengths and
    // starts reading.
    explicit THidDeviceReadThread(THidDevice* device);
    ~THidDeviceReadThread() override;

    std::string GetThreadName() const override { return "THidDeviceReadThread"; }
    // None once the reader was let go from inside its own hand-off.
    THidDevice* OwnerDevice() const { return FOwnerDevice; }
    // GUI thread, from inside the reader's own hand-off: the device may be
    // gone when the hand-off returns, so the reader ends without touching it.
    void Detach();
    uint32_t BytesRead() const { return FBytesRead.load(); }
    uint32_t LastError() const { return FLastError.load(); }

  protected:
    void Execute() override;
    void TerminateNotify() override;

  private:
    // Runs call on the GUI thread unless the reader was stopped by then;
    // false when it was stopped.
    bool HandOff(const std::function<void()>& call);

    THidDevice* FOwnerDevice;
    std::atomic<bool> FDetached{false};
    std::vector<uint8_t> FReportBuffer;
    uint16_t FInputLength; // InputReportByteLength taken on the GUI thread
    std::atomic<uint32_t> FBytesRead{0};
    std::atomic<uint32_t> FLastError{0};
};

// One interface as the set-up services describe it, with a snapshot of the
// device's properties when it was found.
class THidPnPInfo {
  public:
    THidPnPInfo(HDEVINFO info, SP_DEVINFO_DATA* devInfo, std::string devicePath);

    uint32_t DevInst;
    std::string DevicePath;

    uint32_t Capabilities = 0;
    std::string ClassName;
    std::string ClassGUID;
    std::vector<std::string> CompatibleIDs;
    uint32_t ConfigFlags = 0;
    std::string DeviceDescr;
    std::string Driver;
    std::string FriendlyName;
    std::vector<std::string> HardwareID;
    std::vector<std::string> LowerFilters;
    std::string Mfg;
    std::vector<std::string> UpperFilters;
    std::string Service;
    std::string Address;
    uint32_t BusNumber = 0;
    std::string BusTypeGUID;
    std::string Characteristics;
    uint32_t DevType = 0;
    std::string EnumeratorName;
    uint32_t Exclusive = 0;
    uint32_t LegacyBusType = 0;
    std::string LocationInformation;
    std::string PhysDevObjName;
    std::string Security;
    uint32_t UINumber = 0;
    std::string Property1E;

    // One "Name=value" line per property, lists joined with ';'.
    std::string SnapshotText() const;
};

class THidDevice {
  public:
    // Only the controller creates devices. Takes pnp over on success and
    // leaves it with the caller when it raises EControllerError.
    THidDevice(std::unique_ptr<THidPnPInfo>& pnp, THidDeviceController* controller);
    // Also the way a claimed device is given back.
    ~THidDevice();
    THidDevice(const THidDevice&) = delete;
    THidDevice& operator=(const THidDevice&) = delete;

    bool Claim();
    HIDP_CAPS GetReportCaps();
    bool WriteReport(const void* report, uint32_t length, uint32_t& written);

    bool BeginReportRead(void* buffer, uint32_t length);
    uint32_t PendingReadSize();
    bool CancelPendingRead();
    bool OpenSyncHandle();
    void CloseSyncHandle();
    bool OpenReadHandle();
    void CloseReadHandle();
    PHIDP_PREPARSED_DATA EnsurePreparsedData();
    bool IsAvailable() const;
    void MarkUnplugged();
    void SetReportHandler(THidDataEvent handler);
    void StartReader();
    void StopReader();

    THidDeviceController* Controller() const { return FController; }
    void SetController(THidDeviceController* controller) { FController = controller; }
    bool Plugged() const { return FPlugged.load(); }
    bool Claimed() const { return FClaimed.load(); }
    bool InEnumeration() const { return FInEnumeration.load(); }
    void SetInEnumeration(bool value) { FInEnumeration = value; }
    HANDLE SyncHandle() const { return FSyncHandle; }
    HANDLE ReadHandle() const;
    const HIDD_ATTRIBUTES& Identity() const { return FIdentity; }
    THidPnPInfo* PnPInfo() const { return FPnPInfo.get(); }
    PHIDP_PREPARSED_DATA Preparsed() const { return FPreparsed; }
    uint32_t InputBufferCount() const { return FInputBufferCount; }
    // Applied at the next opening of SyncHandle; hidraw reports its fixed queue.
    void SetInputBufferCount(uint32_t count) { FInputBufferCount = count; }
    uint32_t ReadBufferCount() const;
    int32_t PollingDelay() const { return FPollingDelay.load(); }
    void SetPollingDelay(int32_t value);
    int32_t SleepTime() const { return FSleepTime.load(); }
    void SetSleepTime(int32_t value);
    const THidDataEvent& OnReport() const { return FOnReport; }
    const THidDataErrorEvent& OnReportError() const { return FOnReportError; }
    void SetOnReportError(THidDataErrorEvent handler) { FOnReportError = std::move(handler); }
    const THidPlugEvent& OnUnplugged() const { return FOnUnplugged; }
    void SetOnUnplugged(THidPlugEvent handler) { FOnUnplugged = std::move(handler); }
    bool ReadWriteAccess() const { return FReadWriteAccess; }
    THidDeviceReadThread* Reader() const { return FReader.get(); }
    // Expires when the device is destroyed: a handler may give the device
    // back, and whoever called it must not touch it afterwards.
    std::weak_ptr<void> Alive() const { return FAlive; }

  private:
    friend class THidDeviceReadThread;
    HANDLE OpenPath(uint32_t access, uint32_t flags);
    void ApplyBufferCount(HANDLE handle, uint32_t& count);
    // Reader thread: one bounded wait for the outstanding read.
    uint32_t WaitForRead(uint32_t milliseconds);
    void WakeReader();
    void CloseReadHandleLocked();

    THidDeviceController* FController;
    std::atomic<bool> FPlugged{true};
    std::atomic<bool> FClaimed{false};
    std::atomic<bool> FInEnumeration{false};
    HANDLE FSyncHandle = INVALID_HANDLE_VALUE;
    // The read handle is used by the reader; another thread only asks for its
    // close, and the reader closes it after its wait ended.
    mutable std::mutex FReadLock;
    HANDLE FReadHandle = INVALID_HANDLE_VALUE;
    bool FReadCloseRequested = false;
    OVERLAPPED FReadOverlapped;
    HIDD_ATTRIBUTES FIdentity;
    std::unique_ptr<THidPnPInfo> FPnPInfo;
    PHIDP_PREPARSED_DATA FPreparsed = nullptr;
    uint32_t FInputBufferCount = 0;
    uint32_t FReadBufferCount = 0;
    std::atomic<int32_t> FPollingDelay{0};
    std::atomic<int32_t> FSleepTime{100};
    THidDataEvent FOnReport;
    THidDataErrorEvent FOnReportError;
    THidPlugEvent FOnUnplugged;
    bool FReadWriteAccess = false;
    std::unique_ptr<THidDeviceReadThread> FReader;
    std::shared_ptr<void> FAlive = std::make_shared<char>(0);
};

class THidNotifyObject;

class THidDeviceController {
  public:
    static constexpr int32_t kStartupChangeParam = -1;
    static constexpr uint32_t DBT_DEVNODES_CHANGED = 7;

    // Loads the platform modules and, when they are there, posts itself the
    // first device-change message. Until Loaded() (or the event loop's first
    // turn) the controller is loading: writing OnDeviceChange runs no pass.
    // Every event runs on the thread of loop (none: the installed one,
    // HidGuiLoop()), which must outlive the controller.
    explicit THidDeviceController(IHidGuiLoop* loop = nullptr);
    ~THidDeviceController();
    THidDeviceController(const THidDeviceController&) = delete;
    THidDeviceController& operator=(const THidDeviceController&) = delete;

    void Loaded();
    bool Loading() const { return FLoading; }
    bool Active() const { return FNotifyObject != nullptr; }

    void DeviceChange();
    int EnumerateDevices();

    const std::vector<THidDevice*>& DeviceList() const { return FDeviceList; }
    bool ChangeInProgress() const { return FChangeInProgress; }
    int32_t LastChangeParam() const { return FLastChangeParam; }
    const GUID& InterfaceClassGuid() const { return FInterfaceClassGuid; }

    int32_t DevPollingDelayTime() const { return FDevPollingDelayTime; }
    void SetDevPollingDelayTime(int32_t value);
    int32_t DevThreadSleepTime() const { return FDevThreadSleepTime; }
    void SetDevThreadSleepTime(int32_t value);
    std::string Version() const { return FVersion; }
    void SetVersion(const std::string&) {}

    const THidPlugEvent& OnArrival() const { return FOnArrival; }
    void SetOnArrival(THidPlugEvent h) { FOnArrival = std::move(h); }
    const TNotifyEvent& OnDeviceChange() const { return FOnDeviceChange; }
    void SetOnDeviceChange(TNotifyEvent h);
    const THidEnumerateEvent& OnEnumerate() const { return FOnEnumerate; }
    void SetOnEnumerate(THidEnumerateEvent h) { FOnEnumerate = std::move(h); }
    const THidDataEvent& OnDeviceData() const { return FOnDeviceData; }
    void SetOnDeviceData(THidDataEvent h);
    const THidDataErrorEvent& OnDeviceDataError() const { return FOnDeviceDataError; }
    void SetOnDeviceDataError(THidDataErrorEvent h);
    const THidPlugEvent& OnDeviceUnplug() const { return FOnDeviceUnplug; }
    void SetOnDeviceUnplug(THidPlugEvent h);
    const THidPlugEvent& OnRemoval() const { return FOnRemoval; }
    void SetOnRemoval(THidPlugEvent h) { FOnRemoval = std::move(h); }
    const THidDeviceCreateError& OnDeviceCreateError() const { return FOnDeviceCreateError; }
    void SetOnDeviceCreateError(THidDeviceCreateError h) { FOnDeviceCreateError = std::move(h); }

    // Receives an exception that left a broadcast-started pass; without one
    // the message goes to the standard error output.
    void SetUnhandledException(std::function<void(std::exception_ptr)> h) {
        FUnhandledException = std::move(h);
    }

  private:
    friend class THidDevice;
    friend class THidNotifyObject;
    void NotifyDeviceChange(uint32_t wParam, int32_t lParam);
    void ReportUnhandled(std::exception_ptr error);
    std::vector<std::unique_ptr<THidDevice>> ScanPresentInterfaces();
    bool EnumerateOne(THidDevice* device, int idx);

    GUID FInterfaceClassGuid;
    THidPlugEvent FOnArrival;
    TNotifyEvent FOnDeviceChange;
    THidEnumerateEvent FOnEnumerate;
    THidDataEvent FOnDeviceData;
    THidDataErrorEvent FOnDeviceDataError;
    THidPlugEvent FOnDeviceUnplug;
    THidPlugEvent FOnRemoval;
    THidDeviceCreateError FOnDeviceCreateError;
    int32_t FDevPollingDelayTime = 0;
    int32_t FDevThreadSleepTime = 100;
    std::string FVersion = "1.0.35";
    std::vector<THidDevice*> FDeviceList;
    bool FChangeInProgress = false;
    int32_t FLastChangeParam = 0;
    IHidGuiLoop& FLoop;
    THidNotifyObject* FNotifyObject = nullptr;
    // Expires with the controller: calls it posted to itself are dropped.
    std::shared_ptr<void> FAlive = std::make_shared<char>(0);
    bool FLoading = true;
    bool FDestroying = false;
    bool FSetupCounted = false;
    bool FHidCounted = false;
    std::function<void(std::exception_ptr)> FUnhandledException;
};

} // namespace korvalis
