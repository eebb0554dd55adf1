#pragma once

// Connects a HID device controller's events to the connection: the handlers
// the window (and the headless commands) give the controller.

#include "Connection.h"
#include "hid/HidControllerClass.h"

#include <map>
#include <memory>

namespace korvalis {

// A HID device seen through the protocol's eyes.
class THidProtocolDevice : public IProtocolDevice {
  public:
    explicit THidProtocolDevice(THidDevice& device) : FDevice(device) {}
    uint16_t VendorID() const override { return FDevice.Identity().VendorID; }
    uint16_t ProductID() const override { return FDevice.Identity().ProductID; }
    bool Claim() override { return FDevice.Claim(); }
    uint16_t OutputReportByteLength() override {
        return FDevice.GetReportCaps().OutputReportByteLength;
    }
    bool WriteReport(const uint8_t* report, uint32_t length) override {
        uint32_t written = 0;
        return FDevice.WriteReport(report, length, written);
    }
    THidDevice& Device() const { return FDevice; }

  private:
    THidDevice& FDevice;
};

class TDevConBinding {
  public:
    // Sets the controller's OnEnumerate, OnDeviceChange, OnDeviceCreateError
    // and OnDeviceData. Both must outlive the binding.
    TDevConBinding(THidDeviceController& controller, TConnection& connection);
    ~TDevConBinding();
    TDevConBinding(const TDevConBinding&) = delete;
    TDevConBinding& operator=(const TDevConBinding&) = delete;

    bool DevConEnumerate(THidDevice* HidDev, int Idx);
    void DevConDeviceChange(THidDeviceController* Sender);
    void DevConDeviceCreateError(THidDeviceController* Controller, THidPnPInfo* PnPInfo,
                                 bool& Handled, bool& RetryCreate);
    void DevConDeviceData(THidDevice* HidDev, uint8_t ReportID, const uint8_t* Data, uint16_t Size);

    // The HID device the connection holds as current, if any.
    THidDevice* CurrentHidDevice() const;

  private:
    THidProtocolDevice& Adapt(THidDevice& device);

    THidDeviceController& FController;
    TConnection& FConnection;
    // One adaptor per device object, kept while the controller may still hand
    // that object out; devices the controller freed are dropped at each change.
    std::map<THidDevice*, std::unique_ptr<THidProtocolDevice>> FAdapters;
};

} // namespace korvalis
