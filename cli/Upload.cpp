// korvalis upload: the window's firmware check and upload, headless, with the
// same status texts; exit 0 only when the upload succeeded.
#include "Command.h"
#include "CommandLoop.h"
#include "DeviceSession.h"
#include "HeadlessView.h"
#include "SlotOptions.h"

#include "bundle/ResourceBundle.h"
#include "protocol/DevConBinding.h"

#include <cstdio>

namespace korvalis::cli {

namespace {

// The Korvalis devices present, by path, after the controller's first pass.
std::vector<std::string> KorvalisDevicePaths(TLoopSession& session, int timeoutMs) {
    std::vector<std::string> paths;
    THidDeviceController controller;
    controller.SetOnEnumerate(THidEnumerateEvent::Make(nullptr, [&](THidDevice* d, int) {
        if (d && d->PnPInfo() &&
            TConnection::Accepts(d->Identity().VendorID, d->Identity().ProductID))
            paths.push_back(d->PnPInfo()->DevicePath);
        return true;
    }));
    if (controller.Active())
        session.RunFirstPass(controller, timeoutMs);
    return paths;
}

// One firmware check and upload with a controller of its own: to the device at
// path, or to the Korvalis device the connection takes when path is empty.
// Status texts go to out (none without); a device it could not check gets an
// error line. Answers the state the connection ended in: csSucceeded only
// when the upload went through.
TConnectionState UploadOnce(TLoopSession& session, TSlotPictures& pictures,
                            const TSimulateOptions& simulate, const std::string& path,
                            std::FILE* out) {
    THeadlessView view(out);
    TConnection connection(view.View());
    connection.Reset();
    view.Dataflash.SetOnTimer([&] { connection.tmrDataflashTimer(); });
    TResourceBundle bundle;
    bundle.Initialise();
    THidDeviceController controller;
    TDevConBinding binding(controller, connection);
    if (!controller.Active()) {
        PrintError(std::string("no HID device layer: ") + kDeviceLibraries + " cannot be loaded");
        return connection.State();
    }
    const std::string prefix = path.empty() ? "" : path + ": ";
    if (!path.empty())
        controller.SetOnEnumerate(THidEnumerateEvent::Make(nullptr, [&](THidDevice* d, int i) {
            if (d && (!d->PnPInfo() || d->PnPInfo()->DevicePath != path))
                return true;
            return binding.DevConEnumerate(d, i);
        }));

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
        PrintError(path.empty() ? "no Korvalis device (0416:5020) found"
                                : "no Korvalis device (0416:5020) at " + path);
        return state();
    }
    if (state() == csChecking && readOnly()) {
        const THidPnPInfo* info = binding.CurrentHidDevice()->PnPInfo();
        PrintError((info ? info->DevicePath + ": " : std::string()) + kReadOnlyDevice);
        return state();
    }
    if (state() == csChecking) {
        PrintError(prefix + "the device did not answer the firmware check");
        return state();
    }
    if (state() != csConnected)
        return state();

    std::array<TRaster*, kSlotCount> rasters{};
    for (size_t s = 0; s < kSlotCount; ++s)
        rasters[s] = &pictures[s].Picture();
    connection.btnUploadClick(bundle, rasters);
    return state();
}

// Takes --all and --device PATH out of args.
bool ParseDeviceChoice(std::span<const std::string> args, bool& all, std::string& device,
                       std::vector<std::string>& rest, std::string& message) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--all") {
            all = true;
        } else if (args[i] == "--device" || args[i].rfind("--device=", 0) == 0) {
            const bool inlineValue = args[i] != "--device";
            if (!inlineValue && i + 1 >= args.size()) {
                message = "option --device needs a value";
                return false;
            }
            if (!device.empty()) {
                message = "option --device given twice";
                return false;
            }
            device = inlineValue ? args[i].substr(9) : args[++i];
            if (device.empty()) {
                message = "option --device needs a value";
                return false;
            }
        } else {
            rest.push_back(args[i]);
        }
    }
    if (all && !device.empty()) {
        message = "--all and --device exclude each other";
        return false;
    }
    return true;
}

int RunUpload(std::span<const std::string> args) {
    TSimulateOptions simulate;
    std::vector<std::string> rest, slotArgs;
    std::string message, device;
    bool all = false;
    if (!ParseSimulateOptions(args, simulate, rest, message) ||
        !ParseDeviceChoice(rest, all, device, slotArgs, message))
        return UsageError("upload", message);
    TSlotOptions slotOptions;
    if (!ParseSlotOptions(slotArgs, slotOptions, message, /*requireOutput=*/false))
        return UsageError("upload", message);
    TSlotPictures pictures;
    if (const int rc = FillSlots(slotOptions, pictures))
        return rc;

    TLoopSession session;
    auto model = PlugSimulatedDevice(simulate);
    using enum TConnectionState;
    int rc = 0;
    if (!all) {
        rc = UploadOnce(session, pictures, simulate, device, stdout) == csSucceeded ? 0 : 1;
    } else {
        // One device after another, each with a line of its own.
        const std::vector<std::string> paths =
            KorvalisDevicePaths(session, simulate.TimeoutSeconds * 1000);
        if (paths.empty()) {
            PrintError("no Korvalis device (0416:5020) found");
            rc = 1;
        }
        for (const std::string& path : paths) {
            const TConnectionState reached = UploadOnce(session, pictures, simulate, path, nullptr);
            // A device that answered the firmware check ends in one of these;
            // one that did not has had its error line.
            if (reached == csIncompatible || reached == csSucceeded || reached == csFailed)
                std::printf("%s: %s\n", path.c_str(), ConnectionStatusText(reached));
            std::fflush(stdout);
            if (reached != csSucceeded)
                rc = 1;
        }
    }
    if (model && !simulate.Capture.empty() &&
        !WriteOutputFile(simulate.Capture, model->ReceivedBundle()))
        return 1;
    sim::TSimPlatform::Instance().Reset();
    return rc;
}

const TCommandRegistration kUpload{{
    "upload",
    "upload [--all|--device PATH] " + SlotUsage() + " " + PictureOptionsUsage() + " " +
        SimulateUsage(/*capture=*/true),
    "check the device's firmware and upload the three pictures, as the window's Upload does",
    RunUpload,
    "\n  --all          every Korvalis device present, one after another, a line each\n"
    "  --device PATH  only the device at PATH (as 'korvalis devices' lists it)\n" +
        PictureOptionsHelp(),
}};

} // namespace

} // namespace korvalis::cli
