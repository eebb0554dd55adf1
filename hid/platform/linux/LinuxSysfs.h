#pragma once

// What the Linux backend reads from sysfs, and the few things its two modules
// share: the node-to-sysfs map the scan fills, errno translation, and the
// framing of hidraw reads.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace korvalis::linuxhid {

std::optional<std::string> ReadText(const std::string& path, size_t limit = 1 << 16);
std::optional<std::vector<uint8_t>> ReadBytes(const std::string& path, size_t limit = 1 << 16);
std::map<std::string, std::string> ParseUevent(const std::string& text);

// One hidraw node as sysfs describes it.
struct TSysfsDevice {
    bool Valid = false;
    std::string Syspath; // the hidraw class directory
    std::string HidDir;  // the HID device it belongs to
    uint16_t Bus = 0;
    uint16_t VendorID = 0;
    uint16_t ProductID = 0;
    uint16_t Version = 0; // bcdDevice of the USB device, 0 without one
    // The kernel numbers every HID device it creates; a re-plugged device gets
    // a new number, the same device keeps it.
    uint32_t Sequence = 0;
    uint32_t Minor = 0;
    std::string Name, Phys, Uniq, Modalias, Driver, Manufacturer;
    uint32_t BusNumber = 0;
};

TSysfsDevice ReadSysfsDevice(const std::string& syspath);
// 0003:0416:5020.000B gives 0x000B; 0 when the name has no sequence.
uint32_t SequenceOfHidName(const std::string& name);

void RememberNode(const std::string& node, const std::string& syspath);
std::optional<std::string> SyspathOfNode(const std::string& node);

uint32_t ErrnoToError(int error);

// hidraw leaves out the ID byte of devices without numbered reports; put a 0
// in front so every caller sees the same framing. Answers the bytes in buffer,
// or -1 with errno set.
ssize_t ReadFramedReport(int fd, uint8_t* buffer, size_t length, bool numbered);

} // namespace korvalis::linuxhid
