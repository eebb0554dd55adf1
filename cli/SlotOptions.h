#pragma once

// The slot options that `bundle`, `preview` and `upload` share, and the slots
// (bundle/Slots.h) they fill as the window's buttons would.

#include "OutputFile.h"

#include "imaging/ImageSlots.h"
#include "imaging/PictureOptions.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace korvalis::cli {

struct TSlotOptions {
    // Per slot: "" keeps the start-up state, "default", "clear" or a file name.
    std::array<std::string, kSlotCount> Sources;
    // Per slot: how its picture file is made into the slot's picture.
    std::array<TPictureOptions, kSlotCount> Pictures;
    std::string Output;
};

using TSlotPictures = std::array<TRasterPictureControl, kSlotCount>;

// "[--splash FILE|default] [--logo FILE|clear] ...": one option per slot, with
// the word of the slot's left button.
std::string SlotUsage();
// "[--fit MODE] ... [--SLOT-fit MODE] ...": the picture options, for all slots or one.
std::string PictureOptionsUsage();
// What each picture option does, a line each, for 'korvalis <command> --help'.
std::string PictureOptionsHelp();

// Parses the slot options of SlotUsage(), the picture options of
// PictureOptionsUsage() (a slot's own option wins over the one for all slots,
// whatever their order) and -o OUT (also --name=VALUE). Answers false with a
// message for wrong usage. Without requireOutput, -o is refused instead of required.
bool ParseSlotOptions(std::span<const std::string> args, TSlotOptions& options,
                      std::string& message, bool requireOutput = true);

// The slots after start-up (the built-in picture or black) and the chosen
// actions. Answers 0, or 1 after printing the failing picture's line.
int FillSlots(const TSlotOptions& options, TSlotPictures& slots);

// The bundle the window would upload for these slots.
std::vector<uint8_t> BundleOf(TSlotPictures& slots);

// "korvalis: FILE: Error loading image: <message>" on one line.
void PrintLoadError(const std::string& fileName, const std::string& message);

} // namespace korvalis::cli
