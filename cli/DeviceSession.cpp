#include "DeviceSession.h"

#include "hid/platform/sim/SimPlatform.h"

#include <charconv>

namespace korvalis::cli {

std::string SimulateUsage(bool capture) {
    return std::string("[--timeout SECONDS] [--simulate [--fw A.B.C] [--marker 0xNN] [--silent] "
                       "[--read-only] [--refuse-from N] [--unplug-at N] [--delay-us N]") +
           (capture ? " [--capture OUT.bin]]" : "]");
}

const char* const kReadOnlyDevice =
    "the device is read-only for this user, so its firmware cannot be checked (see "
    "\"Permissions\" in the README)";

namespace {

template <typename T> bool ParseNumber(const std::string& text, T& out, int base = 10) {
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        begin += 2;
    const auto [next, ec] = std::from_chars(begin, end, out, base);
    return ec == std::errc() && next == end && begin != end;
}

} // namespace

bool ParseSimulateOptions(std::span<const std::string> args, TSimulateOptions& options,
                          std::vector<std::string>& rest, std::string& message) {
    bool simOnly = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (name == "--simulate") {
            options.Simulate = true;
            continue;
        }
        if (name == "--silent" || name == "--read-only") {
            (name == "--silent" ? options.Model.Silent : options.ReadOnly) = true;
            simOnly = true;
            continue;
        }
        const bool takesValue = name == "--fw" || name == "--marker" || name == "--capture" ||
                                name == "--timeout" || name == "--refuse-from" ||
                                name == "--unplug-at" || name == "--delay-us";
        if (!takesValue) {
            rest.push_back(name);
            continue;
        }
        if (i + 1 >= args.size()) {
            message = "option " + name + " needs a value";
            return false;
        }
        const std::string& value = args[++i];
        bool ok = true;
        if (name == "--fw") {
            ok = ParseFirmwareVersion(value, options.Model.Firmware);
        } else if (name == "--marker") {
            unsigned marker = 0;
            ok = ParseNumber(value, marker, 16) && marker <= 0xFF;
            options.Model.Marker = uint8_t(marker);
        } else if (name == "--capture") {
            options.Capture = value;
            ok = !value.empty();
        } else if (name == "--timeout") {
            ok = ParseNumber(value, options.TimeoutSeconds) && options.TimeoutSeconds > 0;
        } else if (name == "--refuse-from") {
            ok = ParseNumber(value, options.Model.FailWritesFrom);
        } else if (name == "--unplug-at") {
            ok = ParseNumber(value, options.Model.UnplugAt);
        } else if (name == "--delay-us") {
            ok = ParseNumber(value, options.Model.ReportDelayMicroseconds);
        }
        if (!ok) {
            message = "bad value '" + value + "' for " + name;
            return false;
        }
        if (name != "--timeout")
            simOnly = true;
    }
    if (simOnly && !options.Simulate) {
        message = "the emulated device's options need --simulate";
        return false;
    }
    return true;
}

std::shared_ptr<sim::TKorvalisSimModel> PlugSimulatedDevice(const TSimulateOptions& options) {
    if (!options.Simulate)
        return nullptr;
    sim::TSimPlatform::Select();
    auto model = std::make_shared<sim::TKorvalisSimModel>(options.Model);
    sim::TSimInterface device = sim::KorvalisInterface(model);
    device.ReadWrite = !options.ReadOnly;
    sim::TSimPlatform::Instance().Plug(device);
    return model;
}

} // namespace korvalis::cli
