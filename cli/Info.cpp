// korvalis info: the configuration block of every Korvalis device, read as the
// window's firmware check reads it, with the firmware version and the verdict.
#include "Command.h"
#include "CommandLoop.h"
#include "DeviceSession.h"
#include "HeadlessView.h"

#include "protocol/DevConBinding.h"

#include <cstdio>
#include <map>

namespace korvalis::cli {

namespace {

// One device's own check: a connection that prints nothing.
struct TCheck {
    THidDevice* Device;
    THeadlessView View{nullptr};
    TConnection Connection{View.View()};
    THidProtocolDevice Adapter;
    explicit TCheck(THidDevice& device) : Device(&device), Adapter(device) {
        View.Dataflash.SetOnTimer([this] { Connection.tmrDataflashTimer(); });
    }
    bool Answered() const {
        return Connection.State() == TConnectionState::csConnected ||
               Connection.State() == TConnectionState::csIncompatible;
    }
    // A device this user may only query never gets the read command.
    bool Done() const { return Answered() || !Device->ReadWriteAccess(); }
};

int RunInfo(std::span<const std::string> args) {
    TSimulateOptions simulate;
    std::vector<std::string> rest;
    std::string message;
    if (!ParseSimulateOptions(args, simulate, rest, message))
        return UsageError("info", message);
    if (!simulate.Capture.empty())
        return UsageError("info", "--capture belongs to upload");
    if (!rest.empty())
        return UsageError("info", "unknown option '" + rest.front() + "'");

    TLoopSession session;
    PlugSimulatedDevice(simulate);
    THidDeviceController controller;
    if (!controller.Active()) {
        PrintError(std::string("no HID device layer: ") + kDeviceLibraries + " cannot be loaded");
        return 1;
    }
    std::vector<std::unique_ptr<TCheck>> checks;
    controller.SetOnEnumerate(THidEnumerateEvent::Make(&checks, [&](THidDevice* device, int index) {
        if (TConnection::Accepts(device->Identity().VendorID, device->Identity().ProductID)) {
            checks.push_back(std::make_unique<TCheck>(*device));
            checks.back()->Connection.DevConEnumerate(checks.back()->Adapter, index);
        }
        return true;
    }));
    controller.SetOnDeviceData(THidDataEvent::Make(
        &checks, [&](THidDevice* device, uint8_t id, const uint8_t* data, uint16_t size) {
            for (auto& check : checks)
                if (check->Device == device)
                    check->Connection.DevConDeviceData(id, data, size);
        }));
    session.RunFirstPass(controller, simulate.TimeoutSeconds * 1000);
    if (checks.empty()) {
        PrintError("no Korvalis device (0416:5020) found");
        return 1;
    }
    session.RunUntil(
        [&] {
            return std::all_of(checks.begin(), checks.end(), [](auto& c) { return c->Done(); });
        },
        simulate.TimeoutSeconds * 1000);

    int rc = 0;
    for (const auto& check : checks) {
        const std::string path =
            check->Device->PnPInfo() ? check->Device->PnPInfo()->DevicePath : "?";
        if (!check->Answered() && !check->Device->ReadWriteAccess()) {
            std::printf("%s: %s\n", path.c_str(), kReadOnlyDevice);
            rc = 1;
            continue;
        }
        if (!check->Answered()) {
            std::printf("%s: no answer to the firmware check\n", path.c_str());
            rc = 1;
            continue;
        }
        const auto& block = check->Connection.ConfigBlock();
        const bool ok = TConnection::FirmwareAccepted(block);
        // The firmware check weighs the three bytes as one number, so 18.255.255
        // and 19.0.216 pass as 19.2.16 does.
        char verdict[120];
        std::snprintf(verdict, sizeof verdict,
                      "incompatible (needs A*10000 + B*100 + C of at least %u, such as %u.%u.%u, "
                      "and marker 0x%02X)",
                      unsigned(TConnection::kMinimumFirmware),
                      unsigned(TConnection::kMinimumFirmware / 10000),
                      unsigned(TConnection::kMinimumFirmware / 100 % 100),
                      unsigned(TConnection::kMinimumFirmware % 100),
                      unsigned(TConnection::kFirmwareMarker));
        std::printf("%s: firmware %u.%u.%u, marker 0x%02X: %s\n", path.c_str(), block[516],
                    block[517], block[518], block[12], ok ? "compatible" : verdict);
        if (!ok)
            rc = 1;
    }
    controller.SetOnDeviceChange({});
    controller.SetOnDeviceData({});
    controller.SetOnEnumerate({});
    sim::TSimPlatform::Instance().Reset();
    return rc;
}

const TCommandRegistration kInfo{{
    "info",
    std::string("info ") + SimulateUsage(/*capture=*/false),
    "read each Korvalis device's configuration and say whether its firmware is compatible",
    RunInfo,
}};

} // namespace

} // namespace korvalis::cli
