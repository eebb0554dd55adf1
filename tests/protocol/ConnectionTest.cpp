#include "FakeView.h"
#include "bundle/ResourceBundle.h"
#include "graphics/Raster.h"
#include "protocol/CommandPacket.h"

#include <gtest/gtest.h>

#include <array>
#include <numeric>

namespace korvalis {
namespace {

using namespace korvalis::testing;

std::vector<uint8_t> Hex(std::initializer_list<int> bytes) {
    return {bytes.begin(), bytes.end()};
}

std::vector<uint8_t> Block(uint8_t marker, uint8_t a, uint8_t b, uint8_t c) {
    std::vector<uint8_t> block(576);
    std::iota(block.begin(), block.end(), 0); // something in every byte
    block[12] = marker;
    block[516] = a;
    block[517] = b;
    block[518] = c;
    return block;
}

class Connection : public ::testing::Test {
  protected:
    TFakeView view;
    TConnection con{view.View()};
    TFakeDevice device;

    void Connect() {
        con.DevConDeviceChange([&] { con.DevConEnumerate(device, 0); });
        con.tmrDataflashTimer();
    }
    // Sends data in pieces of the given sizes.
    void Answer(const std::vector<uint8_t>& data, const std::vector<uint16_t>& pieces) {
        size_t at = 0;
        for (uint16_t n : pieces) {
            con.DevConDeviceData(0, data.data() + at, n);
            at += n;
        }
    }
    void AnswerIn64(const std::vector<uint8_t>& block) {
        Answer(block, std::vector<uint16_t>(9, 64));
    }
};

TEST(CommandPacket, TheTwoPacketsByteForByte) {
    const auto read = HidCommandPacket{0x35, 0, 576}.Bytes();
    const auto write = HidCommandPacket{0x5A, 0, 0x71800}.Bytes();
    EXPECT_EQ(
        std::vector<uint8_t>(read.begin(), read.end()),
        Hex({0x35, 0x0E, 0, 0, 0, 0, 0x40, 0x02, 0, 0, 0x48, 0x49, 0x44, 0x43, 0x9D, 0x01, 0, 0}));
    EXPECT_EQ(
        std::vector<uint8_t>(write.begin(), write.end()),
        Hex({0x5A, 0x0E, 0, 0, 0, 0, 0, 0x18, 0x07, 0, 0x48, 0x49, 0x44, 0x43, 0x9F, 0x01, 0, 0}));
}

TEST_F(Connection, OnlyTheKorvalisIdsAreAccepted) {
    struct Row {
        uint16_t vendor, product;
        bool accepted;
    };
    for (const Row& row : {Row{0x0416, 0x5020, true}, Row{0x0416, 0x5021, false},
                           Row{0x0417, 0x5020, false}, Row{0x5020, 0x0416, false}}) {
        TFakeView v;
        TConnection c(v.View());
        TFakeDevice d;
        d.Vendor = row.vendor;
        d.Product = row.product;
        EXPECT_TRUE(c.DevConEnumerate(d, 3));
        EXPECT_EQ(c.CurrentDevice() == &d, row.accepted);
        EXPECT_EQ(d.Claims, row.accepted ? 1 : 0);
        EXPECT_EQ(v.Timer.Enabled(), row.accepted);
        EXPECT_EQ(v.Status.Text(), row.accepted ? "Checking firmware..." : "");
    }
}

TEST_F(Connection, DeviceChangeDisconnectsAndEnumeratesAgain) {
    int enumerations = 0;
    con.DevConEnumerate(device, 0);
    con.DevConDeviceChange([&] { ++enumerations; });
    EXPECT_EQ(view.Status.Text(), "Disconnected");
    EXPECT_FALSE(view.Upload.Enabled());
    EXPECT_EQ(con.CurrentDevice(), nullptr);
    EXPECT_EQ(enumerations, 1);
    bool handled = false, retry = true;
    con.DevConDeviceCreateError(handled, retry);
    EXPECT_TRUE(handled);
    EXPECT_FALSE(retry);
}

TEST_F(Connection, TimerIsOneShotAndNotRestartedWhileEnabled) {
    con.DevConEnumerate(device, 0);
    device.Claimed = false;
    con.DevConEnumerate(device, 1);
    EXPECT_EQ(view.Timer.Starts, 1);
    con.tmrDataflashTimer();
    EXPECT_FALSE(view.Timer.Enabled());
    ASSERT_EQ(device.Writes.size(), 1u);
    EXPECT_EQ(device.Writes[0].size(), 65u);
    const auto packet = HidCommandPacket{0x35, 0, 576}.Bytes();
    EXPECT_EQ(device.Writes[0][0], 0);
    EXPECT_TRUE(std::equal(packet.begin(), packet.end(), device.Writes[0].begin() + 1));
    for (size_t i = 19; i < 65; ++i)
        EXPECT_EQ(device.Writes[0][i], 0) << i;
    EXPECT_EQ(con.ExpectedCount(), 576);
    EXPECT_EQ(con.LastCommand(), 0x35);
}

struct TFirmwareRow {
    uint8_t marker, a, b, c;
    std::vector<uint16_t> pieces;
    const char* status;
    bool uploadEnabled;
};

class Firmware : public Connection, public ::testing::WithParamInterface<TFirmwareRow> {};

TEST_P(Firmware, VerdictOnTheBlock) {
    const TFirmwareRow& row = GetParam();
    Connect();
    const auto block = Block(row.marker, row.a, row.b, row.c);
    Answer(block, row.pieces);
    EXPECT_EQ(view.Status.Text(), row.status);
    EXPECT_EQ(view.Upload.Enabled(), row.uploadEnabled);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), con.ConfigBlock().begin()));
}

const std::vector<uint16_t> kNine(9, 64);

INSTANTIATE_TEST_SUITE_P(
    Table, Firmware,
    ::testing::Values(TFirmwareRow{0xCF, 19, 2, 15, kNine, "Incompatible firmware", false},
                      TFirmwareRow{0xCF, 19, 2, 16, kNine, "Connected", true},
                      TFirmwareRow{0xCE, 20, 1, 1, kNine, "Incompatible firmware", false},
                      TFirmwareRow{0xCF, 255, 255, 255, kNine, "Connected", true},
                      TFirmwareRow{0x00, 99, 0, 0, kNine, "Incompatible firmware", false},
                      // Any split that sums to 576 is accepted.
                      TFirmwareRow{0xCF, 19, 2, 16, {1, 575}, "Connected", true},
                      TFirmwareRow{
                          0xCF, 19, 2, 16, {100, 100, 100, 100, 100, 76}, "Connected", true},
                      TFirmwareRow{0xCF, 19, 2, 16, {0, 576}, "Connected", true}));

TEST_F(Connection, DataOutsideAReadChangesNothing) {
    const auto block = Block(0xCF, 19, 2, 16);
    con.DevConDeviceData(0, block.data(), 64);
    EXPECT_EQ(con.ReceivedCount(), 0);
    EXPECT_TRUE(view.Status.History.empty());
    Connect();
    AnswerIn64(block);
    const auto statuses = view.Status.History.size();
    con.DevConDeviceData(0, block.data(), 64); // late extra report
    EXPECT_EQ(view.Status.History.size(), statuses);
    EXPECT_EQ(con.ExpectedCount(), 0);
}

TEST_F(Connection, TooLongAnswerIsNeverJudgedAndNeverOverruns) {
    Connect();
    std::vector<uint8_t> big(64 * 12, 0xAB);
    // 700 bytes in one go, then more: the count passes below 0 and stays there.
    con.DevConDeviceData(0, big.data(), 700);
    con.DevConDeviceData(0, big.data(), 64);
    EXPECT_EQ(view.Status.Text(), "Checking firmware...");
    EXPECT_LT(con.ExpectedCount(), 0);
    EXPECT_EQ(con.ConfigBlock()[575], 0xAB);
    // Endless data saturates instead of wrapping round to 0.
    for (int i = 0; i < 40000; ++i)
        con.DevConDeviceData(0, big.data(), 65535);
    EXPECT_EQ(view.Status.Text(), "Checking firmware...");
    EXPECT_LT(con.ExpectedCount(), 0);
}

TEST_F(Connection, SilentDeviceStaysChecking) {
    Connect();
    EXPECT_EQ(view.Status.Text(), "Checking firmware...");
    EXPECT_FALSE(view.Upload.Enabled());
}

TEST_F(Connection, SendWithoutDeviceDoesNothing) {
    EXPECT_FALSE(con.SendHIDCommand(0x35, 0, 576));
    EXPECT_EQ(con.ExpectedCount(), 0);
    EXPECT_EQ(con.LastCommand(), 0);
}

struct TUploadSlots {
    TResourceBundle bundle;
    TRaster splash{240, 320}, logo{240, 320}, screensaver{240, 320};
    TUploadSlots() {
        bundle.Initialise();
        splash.SetPixel(0, 0, {255, 0, 0});
        logo.SetPixel(239, 319, {0, 255, 0});
        screensaver.SetPixel(5, 5, {0, 0, 255});
    }
};

TEST_F(Connection, UploadSendsTheWholeBundle) {
    Connect();
    AnswerIn64(Block(0xCF, 19, 2, 16));
    TUploadSlots slots;
    device.Writes.clear();
    view.Cursor.History.clear();
    con.btnUploadClick(slots.bundle, {&slots.splash, &slots.logo, &slots.screensaver});

    ASSERT_EQ(device.Writes.size(), 1u + 7264u);
    const auto packet = HidCommandPacket{0x5A, 0, 0x71800}.Bytes();
    EXPECT_TRUE(std::equal(packet.begin(), packet.end(), device.Writes[0].begin() + 1));
    std::vector<uint8_t> sent;
    for (size_t i = 1; i < device.Writes.size(); ++i) {
        ASSERT_EQ(device.Writes[i].size(), 65u);
        ASSERT_EQ(device.Writes[i][0], 0);
        sent.insert(sent.end(), device.Writes[i].begin() + 1, device.Writes[i].end());
    }
    const auto bundle = slots.bundle.Data();
    ASSERT_TRUE(std::equal(bundle.begin(), bundle.end(), sent.begin(), sent.end()));
    EXPECT_EQ(sent[0x1000 + 1], 0xF8); // the slots were converted first
    EXPECT_EQ(view.Sleeps, std::vector<int>{100});

    EXPECT_EQ(view.Progress.MaxWhileVisible, 227);
    ASSERT_EQ(view.Progress.RepaintedPositions.size(), 227u);
    EXPECT_EQ(view.Progress.RepaintedPositions.front(), 0);
    EXPECT_EQ(view.Progress.RepaintedPositions.back(), 226);
    EXPECT_FALSE(view.Progress.Visible);
    EXPECT_EQ(view.Progress.Max, 100);
    EXPECT_EQ(view.Progress.Position, 0);
    EXPECT_EQ(view.Status.Text(), "Upload succeeded");
    EXPECT_EQ(view.Status.History[view.Status.History.size() - 2], "Uploading resources...");
    EXPECT_TRUE(view.Upload.Enabled());
    EXPECT_EQ(view.Cursor.History,
              (std::vector<TCursorKind>{TCursorKind::crHourGlass, TCursorKind::crArrow}));
    EXPECT_EQ(view.Window.Repaints, 1);
    // Input data after the upload is ignored: nothing is expected.
    EXPECT_EQ(con.ExpectedCount(), 0);
}

TEST_F(Connection, UploadWithoutDeviceConvertsAndEndsDisconnected) {
    con.DevConDeviceChange({});
    view.Upload.IsEnabled = true; // as after start-up without HID support
    TUploadSlots slots;
    con.btnUploadClick(slots.bundle, {&slots.splash, &slots.logo, &slots.screensaver});
    EXPECT_EQ(slots.bundle.Data()[0x1001], 0xF8);
    EXPECT_EQ(view.Status.Text(), "Disconnected");
    EXPECT_FALSE(view.Upload.Enabled());
    EXPECT_FALSE(view.Progress.Visible);
    EXPECT_EQ(view.Cursor.History.back(), TCursorKind::crArrow);
    EXPECT_TRUE(view.Sleeps.empty());
}

TEST_F(Connection, RefusedWriteEndsTheUploadAtOnce) {
    // Refused at the write command, at the first data report, in the middle, at the last.
    for (int failAt : {0, 1, 3000, 7264}) {
        TFakeView v;
        TConnection c(v.View());
        TFakeDevice d;
        c.DevConEnumerate(d, 0);
        d.FailFromWrite = failAt;
        TUploadSlots slots;
        c.btnUploadClick(slots.bundle, {&slots.splash, &slots.logo, &slots.screensaver});
        EXPECT_EQ(int(d.Writes.size()), failAt) << failAt;
        EXPECT_EQ(v.Status.Text(), "Upload failed") << failAt;
        EXPECT_TRUE(v.Upload.Enabled());
        EXPECT_FALSE(v.Progress.Visible);
        EXPECT_EQ(v.Cursor.History.back(), TCursorKind::crArrow);
    }
}

TEST_F(Connection, ReportLengthIsBoundedByTheBuffer) {
    struct Row {
        uint16_t declared;
        size_t written;
        const char* status;
    };
    for (const Row& row : {Row{65, 65, "Upload succeeded"}, Row{64, 64, "Upload succeeded"},
                           Row{1000, 65, "Upload succeeded"}, Row{0, 0, "Upload failed"}}) {
        TFakeView v;
        TConnection c(v.View());
        TFakeDevice d;
        d.OutputLength = row.declared;
        c.DevConEnumerate(d, 0);
        TUploadSlots slots;
        c.btnUploadClick(slots.bundle, {&slots.splash, &slots.logo, &slots.screensaver});
        EXPECT_EQ(v.Status.Text(), row.status) << row.declared;
        for (const auto& w : d.Writes)
            ASSERT_EQ(w.size(), row.written) << row.declared;
        if (row.written == 0) {
            EXPECT_TRUE(d.Writes.empty());
        }
    }
}

// Programs decide on the state, so every status text must come with its own
// state, in the same order, and the connection must end in the last one.
TEST(ConnectionState, EveryStatusTextComesWithItsState) {
    using enum TConnectionState;
    struct Row {
        const char* name;
        std::array<uint8_t, 3> firmware;
        int upload; // -1 no upload; otherwise the write refused first (7265: none)
        bool device;
        std::vector<TConnectionState> states;
    };
    const Row rows[] = {
        {"connected", {19, 2, 16}, -1, true, {csDisconnected, csChecking, csConnected}},
        {"incompatible", {19, 2, 15}, -1, true, {csDisconnected, csChecking, csIncompatible}},
        {"succeeded",
         {19, 2, 16},
         7265,
         true,
         {csDisconnected, csChecking, csConnected, csUploading, csSucceeded}},
        {"failed",
         {19, 2, 16},
         3000,
         true,
         {csDisconnected, csChecking, csConnected, csUploading, csFailed}},
        {"no device", {}, 0, false, {csDisconnected, csUploading, csDisconnected}},
    };
    for (const Row& row : rows) {
        TFakeView v;
        TConnection c(v.View());
        EXPECT_EQ(c.State(), csNone);
        TFakeDevice d;
        c.DevConDeviceChange([&] {
            if (row.device)
                c.DevConEnumerate(d, 0);
        });
        if (row.device) {
            c.tmrDataflashTimer();
            const auto block = Block(0xCF, row.firmware[0], row.firmware[1], row.firmware[2]);
            for (int i = 0; i < 9; ++i)
                c.DevConDeviceData(0, block.data() + 64 * i, 64);
        }
        if (row.upload >= 0) {
            d.FailFromWrite = row.upload + 1; // after the read command
            TUploadSlots slots;
            c.btnUploadClick(slots.bundle, {&slots.splash, &slots.logo, &slots.screensaver});
        }
        EXPECT_EQ(v.States, row.states) << row.name;
        std::vector<std::string> texts;
        for (TConnectionState state : v.States)
            texts.push_back(ConnectionStatusText(state));
        EXPECT_EQ(texts, v.Status.History) << row.name;
        EXPECT_EQ(c.State(), row.states.back()) << row.name;
    }
    EXPECT_STREQ(ConnectionStatusText(csNone), "");
}

} // namespace
} // namespace korvalis
