#pragma once

// Report lengths from a HID report descriptor, counted as the HID layer counts
// them: the longest report of each kind over all report IDs, plus one byte
// for the ID that starts every report buffer.

#include "hid/HidPlatform.h"

#include <cstdint>
#include <span>

namespace korvalis::linuxhid {

struct TReportLayout {
    HIDP_CAPS Caps{};
    bool NumberedReports = false; // the descriptor declares report IDs
};

// Never fails: a damaged descriptor gives what was read up to the damage.
TReportLayout ParseReportDescriptor(std::span<const uint8_t> descriptor);

} // namespace korvalis::linuxhid
