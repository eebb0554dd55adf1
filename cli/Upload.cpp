// korvalis upload: the window's firmware check and upload, headless, with the
// same status texts; exit 0 only when the upload succeeded.
#include "Command.h"
#include "CommandLoop.h"
#include "DeviceSession.h"
#include "HeadlessView.h"
#include "SlotOptions.h"

#include "bundle/ResourceBundle.h"
#include "protocol/DevConBinding.h"

namespace korvalis::cli {

namespace {

int RunUpload(std::span<const std::string> args) {
    TSimulateOptions simulate;
    std::vector<std::string> rest;
    std::string message;
    if (!ParseSimulateOptions(args, simulate, rest, message))
        return UsageError("upload", message);
    TSlotOptions slotOptions;
    if (!ParseSlotOptions(rest, slotOptions, message, /*requireOutput=*/false))
        return UsageError("upload", message);
    TSlotPictures pictures;
    if (const int rc = FillSlots(slotOptions, pictures))
        return rc;

    TLoopSession session;
    auto model = PlugSimulatedDevice(simulate);
    THeadlessView view(stdout);
    TConnection connection(view.View());
    connection.Reset();
    view.Dataflash.SetOnTimer([&] { connection.tmrDataflashTimer(); });
    TResourceBundle bundle;
    bundle.Initialise();
    THidDeviceController controller;
    TDevConBinding binding(controller, connection);
    if (!controller.Active()) {
        PrintError(std::string("no HID device layer: ") + kDeviceLibraries + " cannot be loaded");
        return 1;
    }

    // A device this user may only query never answers: no need to wait for it.
    const auto readOnly = [&] {
        const THidDevice* device = binding.CurrentHidDevice();
        return device && !device->ReadWriteAccess();
    };
    using enum TConnectionState;
    const auto state = [&] { return connection.State(); };
    const auto settled = [&] {
        return state() == csConnected || state() == csIncompatible || readOnly();
    };
    // The first pass says disconnected, then checking for a device.
    session.RunUntil([&] { return state() != csNone; }, simulate.TimeoutSeconds * 1000);
    session.RunUntil(settled, state() == csDisconnected ? 200 : simulate.TimeoutSeconds * 1000);
    if (state() == csDisconnected || state() == csNone) {
        PrintError("no Korvalis device (0416:5020) found");
        return 1;
    }
    if (state() == csChecking && readOnly()) {
        const THidPnPInfo* info = binding.CurrentHidDevice()->PnPInfo();
        PrintError((info ? info->DevicePath + ": " : std::string()) + kReadOnlyDevice);
        return 1;
    }
    if (state() == csChecking) {
        PrintError("the device did not answer the firmware check");
        return 1;
    }
    if (state() != csConnected)
        return 1;

    std::array<TRaster*, kSlotCount> rasters{};
    for (size_t s = 0; s < kSlotCount; ++s)
        rasters[s] = &pictures[s].Picture();
    connection.btnUploadClick(bundle, rasters);
    const bool succeeded = state() == csSucceeded;
    if (model && !simulate.Capture.empty() &&
        !WriteOutputFile(simulate.Capture, model->ReceivedBundle()))
        return 1;
    sim::TSimPlatform::Instance().Reset();
    return succeeded ? 0 : 1;
}

const TCommandRegistration kUpload{{
    "upload",
    "upload " + SlotUsage() + " " + SimulateUsage(/*capture=*/true),
    "check the device's firmware and upload the three pictures, as the window's Upload does",
    RunUpload,
}};

} // namespace

} // namespace korvalis::cli
