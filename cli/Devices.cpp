// `korvalis devices`: every HID interface the device layer keeps, as the
// uploader's controller sees it, with the Korvalis devices marked.
#include "Command.h"
#include "CommandLoop.h"

#include "emulator/KorvalisSimModel.h"
#include "hid/HidControllerClass.h"
#include "hid/platform/sim/SimPlatform.h"
#include "protocol/Connection.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace korvalis::cli {

namespace {

struct TListedDevice {
    std::string Path;
    HIDD_ATTRIBUTES Identity;
    HIDP_CAPS Caps;
    bool ReadWrite;
};

// The simulated desk: one Korvalis device and a keyboard the user may not write.
void PlugSimulatedDesk() {
    sim::TSimPlatform& s = sim::TSimPlatform::Instance();
    if (!s.PluggedInterfaces().empty())
        return;
    s.Plug(sim::KorvalisInterface(std::make_shared<sim::TKorvalisSimModel>()));
    sim::TSimInterface keyboard;
    keyboard.VendorID = 0x046D;
    keyboard.ProductID = 0xC31C;
    keyboard.VersionNumber = 0x6400;
    keyboard.InputReportByteLength = 9;
    keyboard.OutputReportByteLength = 2;
    keyboard.ReadWrite = false;
    keyboard.Product = "Keyboard (simulated)";
    s.Plug(keyboard);
}

} // namespace

// Lists what the controller finds after its first pass; 0 also when it finds
// nothing, 1 when there is no device layer at all.
int ListHidDevices(std::FILE* out) {
    TLoopSession session;

    std::vector<TListedDevice> listed;
    THidDeviceController controller;
    controller.SetOnEnumerate(THidEnumerateEvent::Make(nullptr, [&](THidDevice* d, int) {
        listed.push_back(
            {d->PnPInfo()->DevicePath, d->Identity(), d->GetReportCaps(), d->ReadWriteAccess()});
        return true;
    }));
    if (!controller.Active()) {
        PrintError(std::string("no HID device layer: ") + kDeviceLibraries +
                   " could not be loaded");
        return 1;
    }
    if (!session.RunFirstPass(controller, 10000)) {
        PrintError("the device scan did not finish");
        return 1;
    }
    if (listed.empty()) {
        std::fprintf(out, "No HID devices found.\n");
        return 0;
    }
    size_t width = 4;
    for (const TListedDevice& d : listed)
        width = std::max(width, d.Path.size());
    std::fprintf(out, "%-*s  %-9s  %-7s  %-5s  %-6s  %s\n", int(width), "PATH", "ID", "VERSION",
                 "IN", "OUT", "ACCESS");
    int korvalis = 0;
    for (const TListedDevice& d : listed) {
        const bool ours = TConnection::Accepts(d.Identity.VendorID, d.Identity.ProductID);
        korvalis += ours;
        char id[16];
        std::snprintf(id, sizeof id, "%04x:%04x", d.Identity.VendorID, d.Identity.ProductID);
        std::fprintf(out, "%-*s  %-9s  %04x     %-5u  %-6u  %-10s%s\n", int(width), d.Path.c_str(),
                     id, d.Identity.VersionNumber, unsigned(d.Caps.InputReportByteLength),
                     unsigned(d.Caps.OutputReportByteLength),
                     d.ReadWrite ? "read/write" : "query-only", ours ? "  <- Korvalis device" : "");
    }
    std::fprintf(out, "%zu HID interface%s, %d Korvalis device%s.\n", listed.size(),
                 listed.size() == 1 ? "" : "s", korvalis, korvalis == 1 ? "" : "s");
    return 0;
}

namespace {

int RunDevices(std::span<const std::string> args) {
    bool simulate = false;
    for (const std::string& a : args) {
        if (a == "--simulate")
            simulate = true;
        else
            return UsageError("devices", "unknown option '" + a + "'");
    }
    if (simulate) {
        sim::TSimPlatform::Select();
        PlugSimulatedDesk();
    }
    return ListHidDevices(stdout);
}

const TCommandRegistration kDevices({
    "devices",
    "devices [--simulate]",
    "list the HID interfaces and mark Korvalis devices (0416:5020)",
    RunDevices,
});

} // namespace

} // namespace korvalis::cli
