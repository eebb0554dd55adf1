#pragma once

// What `info` and `upload` share: the --simulate options, the simulated
// device they plug, and waiting on the event loop.

#include "emulator/KorvalisSimModel.h"

#include <QCoreApplication>

#include <functional>
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
    int Devices = 1; // emulated devices plugged, each with the same model options
};

// Takes the options it knows out of args and leaves the rest in rest.
// Answers false with a message for wrong usage.
bool ParseSimulateOptions(std::span<const std::string> args, TSimulateOptions& options,
                          std::vector<std::string>& rest, std::string& message);

// The usage text of the options above, with or without --capture.
std::string SimulateUsage(bool capture);

// Why a device this user may only query cannot be checked or written.
extern const char* const kReadOnlyDevice;

// A QCoreApplication for the command, unless one runs already.
std::unique_ptr<QCoreApplication> MakeApplication();

// With --simulate: selects the simulated platform and plugs the emulated
// devices; answers the first one's model. Otherwise nothing.
std::shared_ptr<sim::TKorvalisSimModel> PlugSimulatedDevice(const TSimulateOptions& options);

// Runs the event loop until done() holds or the time is up; answers done().
bool RunUntil(const std::function<bool()>& done, int timeoutMs);

} // namespace korvalis::cli
