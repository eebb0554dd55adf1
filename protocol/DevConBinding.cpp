#include "DevConBinding.h"

#include <algorithm>

namespace korvalis {

TDevConBinding::TDevConBinding(THidDeviceController& controller, TConnection& connection)
    : FController(controller), FConnection(connection) {
    FController.SetOnEnumerate(THidEnumerateEvent(this, &TDevConBinding::DevConEnumerate));
    FController.SetOnDeviceCreateError(
        THidDeviceCreateError(this, &TDevConBinding::DevConDeviceCreateError));
    FController.SetOnDeviceData(THidDataEvent(this, &TDevConBinding::DevConDeviceData));
    FController.SetOnDeviceChange(TNotifyEvent(this, &TDevConBinding::DevConDeviceChange));
}

TDevConBinding::~TDevConBinding() {
    FController.SetOnDeviceChange({});
    FController.SetOnDeviceData({});
    FController.SetOnEnumerate({});
    FController.SetOnDeviceCreateError({});
}

THidProtocolDevice& TDevConBinding::Adapt(THidDevice& device) {
    auto& adapter = FAdapters[&device];
    if (!adapter || &adapter->Device() != &device)
        adapter = std::make_unique<THidProtocolDevice>(device);
    return *adapter;
}

bool TDevConBinding::DevConEnumerate(THidDevice* HidDev, int Idx) {
    return HidDev ? FConnection.DevConEnumerate(Adapt(*HidDev), Idx) : true;
}

void TDevConBinding::DevConDeviceChange(THidDeviceController*) {
    // Forget adaptors of device objects the controller no longer holds, so a
    // new object at a freed address never meets a stale one.
    const auto& list = FController.DeviceList();
    for (auto it = FAdapters.begin(); it != FAdapters.end();) {
        if (std::find(list.begin(), list.end(), it->first) == list.end())
            it = FAdapters.erase(it);
        else
            ++it;
    }
    FConnection.DevConDeviceChange([this] { FController.EnumerateDevices(); });
}

void TDevConBinding::DevConDeviceCreateError(THidDeviceController*, THidPnPInfo*, bool& Handled,
                                             bool& RetryCreate) {
    FConnection.DevConDeviceCreateError(Handled, RetryCreate);
}

void TDevConBinding::DevConDeviceData(THidDevice*, uint8_t ReportID, const uint8_t* Data,
                                      uint16_t Size) {
    FConnection.DevConDeviceData(ReportID, Data, Size);
}

THidDevice* TDevConBinding::CurrentHidDevice() const {
    for (const auto& [device, adapter] : FAdapters)
        if (adapter.get() == FConnection.CurrentDevice())
            return device;
    return nullptr;
}

} // namespace korvalis
