#pragma once

#include "bundle/ResourceBundle.h"
#include "toolkit/Toolkit.h"

#include <array>
#include <cstdint>
#include <functional>
#include <span>

namespace korvalis {

// What the protocol needs of a HID device; the window adapts the HID layer's
// device to it, tests use fakes.
class IProtocolDevice {
  public:
    virtual ~IProtocolDevice() = default;
    virtual uint16_t VendorID() const = 0;
    virtual uint16_t ProductID() const = 0;
    virtual bool Claim() = 0;
    // Output report length including the report-ID byte (65 for this device).
    virtual uint16_t OutputReportByteLength() = 0;
    // Writes the whole buffer (report ID first); answers whether the device took it.
    virtual bool WriteReport(const uint8_t* report, uint32_t length) = 0;
};

// Where the conversation with the device stands. Every state has one status
// text, and the connection shows it whenever it enters the state; programs
// decide on the state, never on the text.
enum class TConnectionState {
    csNone, // nothing reported yet
    csDisconnected,
    csChecking,
    csConnected,
    csIncompatible,
    csUploading,
    csSucceeded,
    csFailed,
};

// The status bar's text of a state; empty for csNone.
const char* ConnectionStatusText(TConnectionState state);

// The window operations the connection drives.
struct TConnectionView {
    IStatusPanel& Status;
    IButton& Upload;
    IWindowCursor& Cursor;
    IProgressBar& Progress;
    IRepaintable& Window;
    IOneShotTimer& Dataflash;
    // Blocks the GUI thread for the given time.
    std::function<void(int milliseconds)> Sleep;
    // Told of every state the connection enters, just before its status text
    // is shown. May be empty.
    std::function<void(TConnectionState)> StateChanged = {};
    // Keeps a window alive through the upload; none without a window.
    IBusyWindow* Busy = nullptr;
};

// The application's conversation with the device: which device it accepts, the
// firmware check and the upload. Runs on the GUI thread only.
class TConnection {
  public:
    static constexpr uint16_t kVendorID = 0x0416;
    static constexpr uint16_t kProductID = 0x5020;
    // The one rule for which devices the connection takes.
    static constexpr bool Accepts(uint16_t vendorID, uint16_t productID) {
        return vendorID == kVendorID && productID == kProductID;
    }
    static constexpr int32_t kConfigBlockSize = 576;
    static constexpr uint32_t kReportBufferSize = 65; // ID plus 64 bytes
    static constexpr int kReportPayload = 64;
    // The whole bundle, one payload per report.
    static constexpr int kUploadReports = int(TResourceBundle::kSize / kReportPayload);
    static_assert(TResourceBundle::kSize % kReportPayload == 0,
                  "the bundle must fill its last report exactly");
    static constexpr int kProgressStep = 32;
    static constexpr uint32_t kMinimumFirmware = 190216;
    static constexpr uint8_t kFirmwareMarker = 0xCF;

    explicit TConnection(TConnectionView view);

    // No current device, nothing expected, last command 0.
    void Reset();

    bool DevConEnumerate(IProtocolDevice& device, int index);
    // enumerate runs the controller's enumeration of the present devices.
    void DevConDeviceChange(const std::function<void()>& enumerate);
    void DevConDeviceCreateError(bool& handled, bool& retryCreate);
    void DevConDeviceData(uint8_t reportID, const uint8_t* data, uint16_t size);
    void tmrDataflashTimer();
    // Answers whether the device took the report; false with no current device.
    bool SendHIDCommand(uint8_t code, uint32_t argument1, uint32_t argument2);
    // pictures: each slot's picture, in the order of kSlots.
    void btnUploadClick(TResourceBundle& bundle, const std::array<TRaster*, kSlotCount>& pictures);

    IProtocolDevice* CurrentDevice() const { return FCurrentDevice; }
    int32_t ExpectedCount() const { return FExpectedCount; }
    int32_t ReceivedCount() const { return FReceivedCount; }
    uint8_t LastCommand() const { return FLastCommand; }
    TConnectionState State() const { return FState; }
    const std::array<uint8_t, kConfigBlockSize>& ConfigBlock() const { return FConfigBlock; }

    // The firmware verdict on a whole configuration block.
    static bool FirmwareAccepted(std::span<const uint8_t, kConfigBlockSize> block);

  private:
    bool WriteReportBuffer(uint16_t outputReportLength);
    // Enters the state: the view hears of it, then its status text is shown.
    void Report(TConnectionState state);
    void EndUpload(TConnectionState state);

    TConnectionView FView;
    IProtocolDevice* FCurrentDevice = nullptr;
    TConnectionState FState = TConnectionState::csNone;
    int32_t FExpectedCount = 0;
    int32_t FReceivedCount = 0;
    uint8_t FLastCommand = 0;
    std::array<uint8_t, kConfigBlockSize> FConfigBlock{};
    std::array<uint8_t, kReportBufferSize> FReport{};
};

} // namespace korvalis
