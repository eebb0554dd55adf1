#pragma once

// What `info` and `upload` share: the --simulate options and the simulated
// device they plug.

#include "emulator/KorvalisSimModel.h"

#include <memory>
#include <span>
#include <string>
#include <vector>

namespace korvalis::cli {

struct TSimulateOptions {
    bool Simulate = false;
    TKorvalisDeviceModel::TOptions Model;
    std::string Capture;   // where to write what the emulated device reassembled
    bool ReadOnly = false; // the emulated device as a user without write access sees it
    int TimeoutSeconds = 10;
};

// Takes the options it knows out of args and leaves the rest in rest.
// Answers false with a message for wrong usage.
bool ParseSimulateOptions(std::span<const std::string> args, TSimulateOptions& options,
                          std::vector<std::string>& rest, std::string& message);

// The usage text of the options above, with or without --capture.
std::string SimulateUsage(bool capture);

// Why a device this user may only query cannot be checked or written.
extern const char* const kReadOnlyDevice;

// With --simulate: selects the simulated platform and plugs the emulated
// device; answers its model. Otherwise nothing.
std::shared_ptr<sim::TKorvalisSimModel> PlugSimulatedDevice(const TSimulateOptions& options);

} // namespace korvalis::cli
