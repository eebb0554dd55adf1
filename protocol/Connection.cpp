#include "Connection.h"

#include "CommandPacket.h"
#include "bundle/ResourceBundle.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace korvalis {

namespace {

// The counts are 32-bit and a misbehaving device may send without end: saturate.
int32_t SaturatingAdd(int32_t a, int32_t b) {
    const int64_t sum = int64_t(a) + b;
    return int32_t(std::clamp<int64_t>(sum, INT32_MIN, INT32_MAX));
}

// The window stays busy from the click to the end of the upload, whichever
// way the upload ends.
class TBusyScope {
  public:
    explicit TBusyScope(IBusyWindow* window) : FWindow(window) {
        if (FWindow)
            FWindow->BeginBusy();
    }
    ~TBusyScope() {
        if (FWindow)
            FWindow->EndBusy();
    }
    TBusyScope(const TBusyScope&) = delete;
    TBusyScope& operator=(const TBusyScope&) = delete;
    void KeepAlive() {
        if (FWindow)
            FWindow->KeepAlive();
    }

  private:
    IBusyWindow* FWindow;
};

} // namespace

const char* ConnectionStatusText(TConnectionState state) {
    switch (state) {
    case TConnectionState::csNone:
        return "";
    case TConnectionState::csDisconnected:
        return "Disconnected";
    case TConnectionState::csChecking:
        return "Checking firmware...";
    case TConnectionState::csConnected:
        return "Connected";
    case TConnectionState::csIncompatible:
        return "Incompatible firmware";
    case TConnectionState::csUploading:
        return "Uploading resources...";
    case TConnectionState::csSucceeded:
        return "Upload succeeded";
    case TConnectionState::csFailed:
        return "Upload failed";
    }
    return "";
}

TConnection::TConnection(TConnectionView view) : FView(std::move(view)) {}

void TConnection::Report(TConnectionState state) {
    FState = state;
    if (FView.StateChanged)
        FView.StateChanged(state);
    FView.Status.SetText(ConnectionStatusText(state));
}

void TConnection::Reset() {
    FCurrentDevice = nullptr;
    FExpectedCount = 0;
    FLastCommand = 0;
    FReceivedCount = 0;
}

bool TConnection::DevConEnumerate(IProtocolDevice& device, int) {
    if (Accepts(device.VendorID(), device.ProductID())) {
        Report(TConnectionState::csChecking);
        FCurrentDevice = &device;
        device.Claim();
        FView.Dataflash.SetEnabled(true);
    }
    return true;
}

void TConnection::DevConDeviceChange(const std::function<void()>& enumerate) {
    Report(TConnectionState::csDisconnected);
    FView.Upload.SetEnabled(false);
    FCurrentDevice = nullptr;
    if (enumerate)
        enumerate();
}

void TConnection::DevConDeviceCreateError(bool& handled, bool& retryCreate) {
    handled = true;
    retryCreate = false;
}

void TConnection::DevConDeviceData(uint8_t, const uint8_t* data, uint16_t size) {
    if (FExpectedCount == 0)
        return;
    FExpectedCount = SaturatingAdd(FExpectedCount, -int32_t(size));
    // A device that sends more than asked must not overrun the block: the
    // excess is dropped, and the count that passed below 0 keeps the block unjudged.
    if (FReceivedCount >= 0 && FReceivedCount < kConfigBlockSize && data != nullptr) {
        const int32_t room = kConfigBlockSize - FReceivedCount;
        std::memcpy(FConfigBlock.data() + FReceivedCount, data,
                    size_t(std::min<int32_t>(size, room)));
    }
    FReceivedCount = SaturatingAdd(FReceivedCount, size);
    if (FExpectedCount == 0 && FLastCommand == kCmdReadDataflash) {
        const bool accepted = FirmwareAccepted(FConfigBlock);
        Report(accepted ? TConnectionState::csConnected : TConnectionState::csIncompatible);
        FView.Upload.SetEnabled(accepted);
    }
}

bool TConnection::FirmwareAccepted(std::span<const uint8_t, kConfigBlockSize> block) {
    const uint32_t version = block[516] * 10000u + block[517] * 100u + block[518];
    return version >= kMinimumFirmware && block[12] == kFirmwareMarker;
}

void TConnection::tmrDataflashTimer() {
    FView.Dataflash.SetEnabled(false);
    SendHIDCommand(kCmdReadDataflash, 0, kConfigBlockSize);
}

bool TConnection::WriteReportBuffer(uint16_t outputReportLength) {
    // The buffer holds 65 bytes whatever the device declares; a length of 0
    // (capabilities unknown) writes nothing and counts as not written.
    const uint32_t length = std::min<uint32_t>(outputReportLength, kReportBufferSize);
    if (length == 0)
        return false;
    return FCurrentDevice->WriteReport(FReport.data(), length);
}

bool TConnection::SendHIDCommand(uint8_t code, uint32_t argument1, uint32_t argument2) {
    if (!FCurrentDevice)
        return false;
    const auto packet = HidCommandPacket{code, argument1, argument2}.Bytes();
    FReport.fill(0);
    std::copy(packet.begin(), packet.end(), FReport.begin() + 1);
    const bool written = WriteReportBuffer(FCurrentDevice->OutputReportByteLength());
    // Set after the write: input data reach us only on the GUI thread, after
    // the current handler has returned.
    FReceivedCount = 0;
    FLastCommand = code;
    FExpectedCount = code == kCmdReadDataflash ? kConfigBlockSize : 0;
    return written;
}

void TConnection::EndUpload(TConnectionState state) {
    FView.Progress.SetMax(100);
    FView.Progress.SetPosition(0);
    Report(state);
    FView.Upload.SetEnabled(true);
    FView.Cursor.SetCursor(TCursorKind::crArrow);
    FView.Progress.SetVisible(false);
}

void TConnection::btnUploadClick(TResourceBundle& bundle,
                                 const std::array<TRaster*, kSlotCount>& pictures) {
    TBusyScope busy(FView.Busy);
    FView.Upload.SetEnabled(false);
    FView.Cursor.SetCursor(TCursorKind::crHourGlass);
    for (size_t s = 0; s < kSlotCount; ++s)
        bundle.Image2Bin(*pictures[s], kSlots[s].Offset);
    Report(TConnectionState::csUploading);
    FView.Progress.SetPosition(0);
    FView.Progress.SetVisible(true);
    FView.Window.RepaintNow();

    if (!FCurrentDevice) {
        FView.Cursor.SetCursor(TCursorKind::crArrow);
        FView.Progress.SetVisible(false);
        Report(TConnectionState::csDisconnected);
        return;
    }

    // A write the device does not take (unplugged, stalled, refused) ends the
    // upload at once with "Upload failed", so the user can try again.
    if (!SendHIDCommand(kCmdWriteResources, 0, TResourceBundle::kSize)) {
        EndUpload(TConnectionState::csFailed);
        return;
    }
    busy.KeepAlive();
    if (FView.Sleep)
        FView.Sleep(100);
    busy.KeepAlive();

    const uint16_t outputReportLength = FCurrentDevice->OutputReportByteLength();
    FView.Progress.SetMax(kUploadReports / kProgressStep);
    const uint8_t* data = bundle.Data().data();
    for (int i = 0; i < kUploadReports; ++i) {
        FReport[0] = 0;
        std::memcpy(FReport.data() + 1, data + size_t(i) * kReportPayload, kReportPayload);
        if (!WriteReportBuffer(outputReportLength)) {
            EndUpload(TConnectionState::csFailed);
            return;
        }
        if (i % kProgressStep == 0) {
            FView.Progress.SetPosition(i / kProgressStep);
            FView.Progress.RepaintNow();
            busy.KeepAlive();
        }
    }
    EndUpload(TConnectionState::csSucceeded);
}

} // namespace korvalis
