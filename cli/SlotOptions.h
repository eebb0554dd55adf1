#pragma once

// The slot options that `bundle` and `preview` share, and the three slots they
// fill as the window's buttons would.

#include "imaging/ImageSlots.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace korvalis::cli {

struct TSlotOptions {
    // Per slot: "" keeps the start-up state, "default", "clear" or a file name.
    std::string Sources[3];
    std::string Output;
};

// Parses [--splash FILE|default] [--logo FILE|clear] [--screensaver FILE|clear]
// -o OUT (also --name=VALUE). Answers false with a message for wrong usage.
// Without requireOutput, -o is refused instead of required.
bool ParseSlotOptions(std::span<const std::string> args, TSlotOptions& options,
                      std::string& message, bool requireOutput = true);

// The slots after start-up (Splash default, Logo and Screensaver black) and the
// chosen actions. Answers 0, or 1 after printing the failing picture's line.
int FillSlots(const TSlotOptions& options, TRasterPictureControl (&slots)[3]);

// The bundle the window would upload for these slots.
std::vector<uint8_t> BundleOf(TRasterPictureControl (&slots)[3]);

// "korvalis: FILE: Error loading image: <message>" on one line.
void PrintLoadError(const std::string& fileName, const std::string& message);

// Writes bytes to fileName through a temporary file beside it, so a failed
// write leaves no partial output. Answers false after printing why.
bool WriteOutputFile(const std::string& fileName, std::span<const uint8_t> bytes);

// Takes the next piece of an output; answers false once a write has failed.
using TByteSink = std::function<bool(std::span<const uint8_t>)>;
// As above, for outputs made piece by piece: produce hands every piece to the
// sink in order, so a large output never has to sit whole in memory.
bool WriteOutputFile(const std::string& fileName,
                     const std::function<void(const TByteSink&)>& produce);

} // namespace korvalis::cli
