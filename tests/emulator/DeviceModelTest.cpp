// The connection talking to the device model directly, without the HID layer:
// the host side and the device side of the protocol checked against each other.
#include "bundle/ResourceBundle.h"
#include "emulator/KorvalisDeviceModel.h"
#include "graphics/Raster.h"
#include "tests/protocol/FakeView.h"

#include <gtest/gtest.h>

namespace korvalis {
namespace {

using namespace korvalis::testing;

// Hands each output report to the model; input reports are pumped by the test.
struct TModelDevice : IProtocolDevice {
    TKorvalisDeviceModel& Model;
    explicit TModelDevice(TKorvalisDeviceModel& model) : Model(model) {}
    uint16_t VendorID() const override { return 0x0416; }
    uint16_t ProductID() const override { return 0x5020; }
    bool Claim() override { return true; }
    uint16_t OutputReportByteLength() override { return 65; }
    bool WriteReport(const uint8_t* report, uint32_t length) override {
        return Model.OutputReport({report, length}) ==
               TKorvalisDeviceModel::TWriteResult::wrAccepted;
    }
};

struct TRig {
    TFakeView view;
    TConnection con{view.View()};
    TKorvalisDeviceModel model;
    TModelDevice device{model};
    explicit TRig(TKorvalisDeviceModel::TOptions options) : model(std::move(options)) {
        con.DevConEnumerate(device, 0);
        con.tmrDataflashTimer();
        while (model.HasInputReport()) {
            const auto report = model.TakeInputReport();
            con.DevConDeviceData(report[0], report.data() + 1, uint16_t(report.size() - 1));
        }
    }
};

TEST(DeviceModel, FirmwareVerdicts) {
    struct Row {
        std::array<uint8_t, 3> fw;
        uint8_t marker;
        bool silent;
        std::vector<uint16_t> split;
        uint32_t extra;
        const char* status;
    };
    const Row rows[] = {
        {{19, 2, 16}, 0xCF, false, {64}, 0, "Connected"},
        {{19, 2, 15}, 0xCF, false, {64}, 0, "Incompatible firmware"},
        {{20, 1, 1}, 0xCE, false, {64}, 0, "Incompatible firmware"},
        {{19, 2, 16}, 0xCF, true, {64}, 0, "Checking firmware..."},
        {{19, 2, 16}, 0xCF, false, {7, 0, 64, 33}, 0, "Connected"},  // odd split, an empty report
        {{19, 2, 16}, 0xCF, false, {0}, 0, "Connected"},             // all-empty split falls back
        {{19, 2, 16}, 0xCF, false, {60}, 1, "Checking firmware..."}, // overshoots in a report
        {{19, 2, 16}, 0xCF, false, {64}, 64, "Connected"}, // a whole extra report comes late
    };
    for (const Row& row : rows) {
        TKorvalisDeviceModel::TOptions options;
        options.Firmware = row.fw;
        options.Marker = row.marker;
        options.Silent = row.silent;
        options.AnswerSplit = row.split;
        options.ExtraAnswerBytes = row.extra;
        TRig rig(options);
        EXPECT_EQ(rig.view.Status.Text(), row.status);
        EXPECT_EQ(rig.model.ReadCommands(), 1u);
        EXPECT_EQ(rig.model.RejectedPackets(), 0u);
        if (std::string(row.status) == "Connected") {
            const auto block = rig.model.ConfigBlock();
            EXPECT_TRUE(std::equal(block.begin(), block.end(), rig.con.ConfigBlock().begin()));
        }
    }
}

TEST(DeviceModel, ReassemblesTheUploadedBundle) {
    TRig rig({});
    TResourceBundle bundle;
    bundle.Initialise();
    TRaster a(240, 320), b(240, 320), c(240, 320);
    a.SetPixel(1, 2, {1, 2, 3});
    c.SetPixel(239, 319, {200, 100, 50});
    rig.con.btnUploadClick(bundle, {&a, &b, &c});
    EXPECT_EQ(rig.view.Status.Text(), "Upload succeeded");
    ASSERT_TRUE(rig.model.BundleComplete());
    EXPECT_EQ(rig.model.BundleReports(), 7264u);
    const auto sent = bundle.Data();
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), rig.model.ReceivedBundle().begin(),
                           rig.model.ReceivedBundle().end()));
}

TEST(DeviceModel, FaultsEndTheUploadAsFailed) {
    for (auto [failFrom, unplugAt] : {std::pair<int64_t, int64_t>{2, -1}, {-1, 4000}, {-1, 1}}) {
        TKorvalisDeviceModel::TOptions options;
        options.FailWritesFrom = failFrom;
        options.UnplugAt = unplugAt;
        TRig rig(options);
        TResourceBundle bundle;
        bundle.Initialise();
        TRaster a(240, 320), b(240, 320), c(240, 320);
        rig.con.btnUploadClick(bundle, {&a, &b, &c});
        EXPECT_EQ(rig.view.Status.Text(), "Upload failed");
        EXPECT_FALSE(rig.model.BundleComplete());
        EXPECT_EQ(rig.model.Unplugged(), unplugAt >= 0);
    }
}

TEST(DeviceModel, RejectsMalformedPackets) {
    TKorvalisDeviceModel model;
    std::vector<uint8_t> report(65, 0);
    const uint8_t good[18] = {0x35, 0x0E, 0,   0,   0,   0,    0x40, 0x02, 0,
                              0,    'H',  'I', 'D', 'C', 0x9D, 0x01, 0,    0};
    auto send = [&](auto mutate) {
        std::copy(std::begin(good), std::end(good), report.begin() + 1);
        mutate(report);
        model.OutputReport(report);
    };
    send([](auto&) {});
    send([](auto& r) { r[2] = 13; });   // length byte
    send([](auto& r) { r[11] = 'X'; }); // signature
    send([](auto& r) { r[15] ^= 1; });  // checksum
    send([](auto& r) {
        r[1] = 0x36;
        r[15] += 1;
    }); // unknown command, sum fixed
    EXPECT_EQ(model.ReadCommands(), 1u);
    EXPECT_EQ(model.RejectedPackets(), 4u);
}

TEST(DeviceModel, FirmwareVersionText) {
    std::array<uint8_t, 3> fw{};
    EXPECT_TRUE(ParseFirmwareVersion("19.2.16", fw));
    EXPECT_EQ(fw, (std::array<uint8_t, 3>{19, 2, 16}));
    for (const char* bad :
         {"", "19.2", "19.2.16.1", "256.0.0", "a.b.c", "19..16", "19.2.16x", "-1.2.3"})
        EXPECT_FALSE(ParseFirmwareVersion(bad, fw)) << bad;
}

} // namespace
} // namespace korvalis
