// `korvalis devices` over the simulated platform: the listing, the marks,
// query-only interfaces, and the answer when nothing is plugged.
#include "hid/platform/sim/SimPlatform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace korvalis::cli {
int ListHidDevices(std::FILE* out);
}

namespace korvalis {
namespace {

std::string List(int& code) {
    std::FILE* f = std::tmpfile();
    code = cli::ListHidDevices(f);
    std::rewind(f);
    std::string text;
    char buffer[512];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, f))
        text.append(buffer, n);
    std::fclose(f);
    return text;
}

TEST(DevicesCommand, ListsWhatTheControllerKeeps) {
    struct Device {
        uint16_t vendor, product, version, in, out;
        bool readWrite;
    };
    struct Row {
        std::vector<Device> devices;
        std::vector<std::string> expected; // substrings, in order
    };
    const Row rows[] = {
        {{}, {"No HID devices found.\n"}},
        {{{0x0416, 0x5020, 0x0100, 65, 65, true}},
         {"PATH", "/sim/hidraw",
          "0416:5020  0100     65     65      read/write  <- Korvalis device",
          "1 HID interface, 1 Korvalis device."}},
        {{{0x046D, 0xC31C, 0x6400, 9, 2, false},
          {0x0416, 0x5020, 0x0200, 65, 65, false},
          {0x0416, 0x5021, 0x0100, 65, 65, true}},
         {"046d:c31c  6400     9      2       query-only\n",
          "0416:5020  0200     65     65      query-only  <- Korvalis device\n",
          "0416:5021  0100     65     65      read/write\n",
          "3 HID interfaces, 1 Korvalis device."}},
    };
    for (const Row& row : rows) {
        sim::TSimPlatform& s = sim::TSimPlatform::Instance();
        s.Reset();
        sim::TSimPlatform::Select();
        for (const Device& d : row.devices) {
            sim::TSimInterface i;
            i.VendorID = d.vendor;
            i.ProductID = d.product;
            i.VersionNumber = d.version;
            i.InputReportByteLength = d.in;
            i.OutputReportByteLength = d.out;
            i.ReadWrite = d.readWrite;
            s.Plug(i);
        }
        int code = -1;
        const std::string text = List(code);
        EXPECT_EQ(code, 0);
        size_t at = 0;
        for (const std::string& part : row.expected) {
            const size_t found = text.find(part, at);
            EXPECT_NE(found, std::string::npos) << part << "\nin:\n" << text;
            if (found != std::string::npos)
                at = found + part.size();
        }
        s.Reset();
    }
}

} // namespace
} // namespace korvalis
