// The Linux backend's parsers of what the kernel hands over: report
// descriptors, uevent texts and HID device names. The first byte picks one.
#include "hid/platform/linux/LinuxSysfs.h"
#include "hid/platform/linux/ReportDescriptor.h"

#include <cstdint>
#include <string>

using namespace korvalis;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const std::span<const uint8_t> rest(data + 1, size - 1);
    const std::string text(reinterpret_cast<const char*>(rest.data()), rest.size());
    switch (data[0] % 3) {
    case 0:
        (void)linuxhid::ParseReportDescriptor(rest);
        break;
    case 1:
        (void)linuxhid::ParseUevent(text);
        break;
    case 2:
        (void)linuxhid::SequenceOfHidName(text);
        break;
    }
    return 0;
}
