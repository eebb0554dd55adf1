// The device and its background reader: handles, reads, writes, the reader
// thread and its hand-offs of reports and errors to the GUI thread.
#include "HidControllerClass.h"

#include "Hid.h"

#include <algorithm>

namespace korvalis {

THidDeviceReadThread::THidDeviceReadThread(THidDevice* device) : FOwnerDevice(device) {
    SetThreadName("THidDeviceReadThread");
    // Taken here on the GUI thread once: fetching the lengths later from the
    // reader could open the sync handle beside the GUI thread.
    FInputLength = device->GetReportCaps().InputReportByteLength;
    FReportBuffer.assign(FInputLength, 0);
    FBytesRead = 0;
    Start();
}

THidDeviceReadThread::~THidDeviceReadThread() {
    EndThread();
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

namespace {

// A closed handle forgets its buffer count, so the next open asks the system afresh.
void ReleaseHandle(HANDLE& handle, uint32_t& count) {
    if (handle != INVALID_HANDLE_VALUE && HidApi().CloseHandle)
        HidApi().CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
    count = 0;
}

} // namespace

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
    ReleaseHandle(FSyncHandle, FInputBufferCount);
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
    ReleaseHandle(FReadHandle, FReadBufferCount);
    FReadCloseRequested = false;
}

void THidDevice::CloseReadHandle() {
    std::lock_guard lock(FReadLock);
    if (FReader && FReader->Running() && !FReader->IsCurrentThread()) {
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
    if (FReader->InHandOff() || FReader->IsCurrentThread()) {
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

} // namespace korvalis
