// The controller on the simulated platform with a real event loop: passes,
// their events and order, enumeration, creation errors and property writes.
#include "HidTestSupport.h"

#include <gtest/gtest.h>

#include <memory>

namespace korvalis {
namespace {

using namespace korvalis::testing;
using Log = std::vector<std::string>;

std::string S(uint32_t inst) {
    return std::to_string(inst);
}

struct TControllerTest : ::testing::Test, TSimFixture {
    TRecorder Rec;
    std::unique_ptr<THidDeviceController> Con;
    uint64_t ScansBefore = 0;

    void Start() {
        Con = std::make_unique<THidDeviceController>();
        Rec.Attach(*Con);
        ASSERT_TRUE(Con->Active());
        ASSERT_TRUE(RunUntil([&] { return !Rec.Log.empty(); }));
        RunFor(10);
    }
    // Lets every queued broadcast run its pass.
    void Settle() { RunFor(30); }
    ~TControllerTest() override { Con.reset(); }
};

TEST_F(TControllerTest, FirstPassReportsAChangeWithNothingPresent) {
    Start();
    EXPECT_EQ(Rec.Take(), Log{"change"});
    EXPECT_TRUE(Con->DeviceList().empty());
    EXPECT_EQ(Con->LastChangeParam(), -1);
}

TEST_F(TControllerTest, EventOrderOfOnePass) {
    const uint32_t a = Sim.Plug(Interface());
    const uint32_t b = Sim.Plug(Interface(0x046D, 0xC077));
    const uint32_t c = Sim.Plug(Interface(0x1234, 0x0001));
    Start();
    EXPECT_EQ(Rec.Take(), (Log{"arrival " + S(a), "arrival " + S(b), "arrival " + S(c), "change"}));

    // Three broadcasts queued while the loop is busy: the first pass sees all
    // of it, the other two change nothing and report nothing.
    const uint64_t scans = Sim.ScanCount();
    Sim.Unplug(a);
    Sim.Unplug(c);
    const uint32_t d = Sim.Plug(Interface(0x2222, 0x0002));
    Settle();
    EXPECT_EQ(Rec.Take(), (Log{"unplug " + S(c), "removal " + S(c), "unplug " + S(a),
                               "removal " + S(a), "arrival " + S(d), "change"}));
    EXPECT_EQ(Sim.ScanCount() - scans, 3u); // one pass per broadcast
    ASSERT_EQ(Con->DeviceList().size(), 2u);
    EXPECT_EQ(Con->DeviceList()[0]->PnPInfo()->DevInst, b);
    EXPECT_EQ(Con->DeviceList()[1]->PnPInfo()->DevInst, d);
    EXPECT_EQ(Con->LastChangeParam(), 0);

    Sim.Broadcast();
    Settle();
    EXPECT_TRUE(Rec.Take().empty());
    // No pass leaves an open handle behind.
    EXPECT_EQ(Sim.OpenHandles(), 0u);
}

TEST_F(TControllerTest, ClaimedDeviceUnpluggedAndBack) {
    const uint32_t a = Sim.Plug(Interface());
    Start();
    Rec.Take();
    THidDevice* claimed = nullptr;
    Con->SetOnEnumerate(THidEnumerateEvent::Make(nullptr, [&](THidDevice* d, int) {
        if (d->Identity().VendorID == 0x0416 && d->Claim())
            claimed = d;
        return true;
    }));
    EXPECT_EQ(Con->EnumerateDevices(), 1);
    ASSERT_NE(claimed, nullptr);
    EXPECT_TRUE(claimed->Claimed());

    Sim.Unplug(a);
    Settle();
    EXPECT_EQ(Rec.Take(), (Log{"unplug " + S(a), "removal " + S(a), "change"}));
    EXPECT_FALSE(claimed->Plugged());
    ASSERT_EQ(Con->DeviceList().size(), 1u); // kept while claimed

    // Every later pass reports it again, without a second unplug.
    for (int i = 0; i < 2; ++i) {
        Sim.Broadcast();
        Settle();
        EXPECT_EQ(Rec.Take(), (Log{"removal " + S(a), "change"}));
    }

    // Back as a new object beside the old one.
    const uint32_t again = Sim.Plug(Interface());
    Settle();
    EXPECT_NE(again, a);
    EXPECT_EQ(Rec.Take(), (Log{"removal " + S(a), "arrival " + S(again), "change"}));
    ASSERT_EQ(Con->DeviceList().size(), 2u);
    EXPECT_EQ(Con->DeviceList()[0], claimed);
    EXPECT_TRUE(Con->DeviceList()[1]->Plugged());
    EXPECT_FALSE(Con->DeviceList()[1]->Claimed());

    // Giving the unplugged device back removes its entry.
    delete claimed;
    ASSERT_EQ(Con->DeviceList().size(), 1u);
    EXPECT_EQ(Con->DeviceList()[0]->PnPInfo()->DevInst, again);
}

TEST_F(TControllerTest, EnumerateCountsStopsAndGaps) {
    struct Row {
        int devices;
        std::vector<int> unplugged; // claimed, then unplugged: they stay in the list
        bool handler;
        int stopAt; // call number that answers false, -1 never
        int count;
        std::vector<int> idx;
    };
    const Row rows[] = {
        {0, {}, true, -1, 0, {}},         {0, {}, false, -1, 0, {}},
        {3, {}, false, -1, 1, {}}, // no handler: one count for the first plugged device
        {3, {}, true, -1, 3, {0, 1, 2}},  {3, {}, true, 1, 2, {0, 1}}, // the stopping device counts
        {4, {1, 2}, true, -1, 2, {0, 3}}, {4, {0}, true, 0, 1, {1}},
        {3, {0, 1, 2}, true, -1, 0, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.devices);
        Sim.Reset();
        std::vector<uint32_t> insts;
        for (int i = 0; i < row.devices; ++i)
            insts.push_back(Sim.Plug(Interface(0x1000, uint16_t(i))));
        Start();
        // Claim the ones to unplug, then unplug them.
        Con->SetOnEnumerate(THidEnumerateEvent::Make(nullptr, [&](THidDevice* d, int idx) {
            for (int u : row.unplugged)
                if (u == idx)
                    d->Claim();
            return true;
        }));
        Con->EnumerateDevices();
        for (int u : row.unplugged)
            Sim.Unplug(insts[u]);
        Settle();
        ASSERT_EQ(Con->DeviceList().size(), size_t(row.devices));
        std::vector<int> seen;
        if (row.handler)
            Con->SetOnEnumerate(THidEnumerateEvent::Make(nullptr, [&](THidDevice* d, int idx) {
                EXPECT_TRUE(d->InEnumeration());
                EXPECT_TRUE(d->IsAvailable());
                seen.push_back(idx);
                return int(seen.size()) - 1 != row.stopAt;
            }));
        else
            Con->SetOnEnumerate({});
        EXPECT_EQ(Con->EnumerateDevices(), row.count);
        EXPECT_EQ(seen, row.idx);
        for (THidDevice* d : Con->DeviceList())
            EXPECT_FALSE(d->InEnumeration());
        // An unplugged device's reader lets its handle go within one SleepTime.
        EXPECT_TRUE(RunUntil([&] { return Sim.OpenHandles() == 0; }, 2000));
        Con.reset();
    }
}

TEST_F(TControllerTest, CreateErrorsAndTheHandlersAnswers) {
    struct Row {
        sim::TSimFaults faults;
        bool handler;
        bool handled;
        bool retry;
        int calls;         // handler calls in the first pass
        bool created;      // the faulty interface made it into the list
        const char* error; // the exception that left the pass, "" none
    };
    sim::TSimFaults open;
    open.OpenFails = true;
    sim::TSimFaults identify;
    identify.IdentifyFails = true;
    sim::TSimFaults twice;
    twice.OpenFailsTimes = 4; // two creations, each trying read/write then query access
    const Row rows[] = {
        {open, true, true, false, 1, false, ""},
        {identify, true, true, false, 1, false, ""},
        {open, false, false, false, 0, false, "Device cannot be opened"},
        {identify, true, false, false, 1, false, "Device cannot be identified"},
        {open, true, false, true, 1, false, "Device cannot be opened"}, // not handled: no retry
        {twice, true, true, true, 2, true, ""},
    };
    for (const Row& row : rows) {
        Sim.Reset();
        const uint32_t good = Sim.Plug(Interface(0x1111, 1));
        sim::TSimInterface bad = Interface();
        bad.Faults = row.faults;
        const uint32_t faulty = Sim.Plug(bad);
        const uint32_t later = Sim.Plug(Interface(0x3333, 3));
        std::string error;
        int calls = 0;
        Con = std::make_unique<THidDeviceController>();
        THidDeviceController* const con = Con.get();
        Con->SetUnhandledException([&](std::exception_ptr e) {
            try {
                std::rethrow_exception(e);
            } catch (const EControllerError& x) {
                error = x.what();
            }
        });
        if (row.handler)
            Con->SetOnDeviceCreateError(
                THidDeviceCreateError::Make(nullptr, [&](THidDeviceController* c, THidPnPInfo* info,
                                                         bool& handled, bool& retry) {
                    EXPECT_EQ(c, con);
                    EXPECT_EQ(info->DevInst, faulty);
                    EXPECT_FALSE(handled);
                    ++calls;
                    handled = row.handled;
                    retry = row.retry && calls < 3;
                }));
        Rec.Attach(*Con);
        RunUntil([&] { return !Rec.Log.empty() || !error.empty(); });
        Settle();
        EXPECT_EQ(calls, row.calls);
        EXPECT_EQ(error, row.error);
        EXPECT_FALSE(Con->ChangeInProgress());
        // The partial scan is released: nothing stays open or allocated.
        EXPECT_EQ(Sim.OpenHandles(), 0u);
        EXPECT_EQ(Sim.LivePreparsed(), 0u);
        std::vector<uint32_t> listed;
        for (THidDevice* d : Con->DeviceList())
            listed.push_back(d->PnPInfo()->DevInst);
        if (*row.error) {
            EXPECT_TRUE(listed.empty()); // the pass ended unfinished
            // Later broadcasts start passes again.
            Sim.SetFaults(faulty, {});
            Rec.Take();
            Sim.Broadcast();
            Settle();
            EXPECT_EQ(Con->DeviceList().size(), 3u);
        } else if (row.created) {
            EXPECT_EQ(listed, (std::vector<uint32_t>{good, faulty, later}));
        } else {
            EXPECT_EQ(listed, (std::vector<uint32_t>{good, later}));
        }
        Rec.Take();
        Con.reset();
    }
}

TEST_F(TControllerTest, EnumerationSurvivesAShorterList) {
    Sim.Plug(Interface(0x1111, 1));
    const uint32_t second = Sim.Plug(Interface());
    Start();
    THidDevice* claimed = nullptr;
    Con->SetOnEnumerate(THidEnumerateEvent::Make(nullptr, [&](THidDevice* d, int idx) {
        if (idx == 1 && d->Claim())
            claimed = d;
        return true;
    }));
    Con->EnumerateDevices();
    ASSERT_NE(claimed, nullptr);
    Sim.Unplug(second);
    Settle();
    ASSERT_EQ(Con->DeviceList().size(), 2u);
    // The application gives its unplugged device back from inside the
    // enumeration of the other one: the list is one shorter from then on.
    int calls = 0;
    Con->SetOnEnumerate(THidEnumerateEvent::Make(nullptr, [&](THidDevice*, int) {
        ++calls;
        delete claimed;
        claimed = nullptr;
        return true;
    }));
    EXPECT_EQ(Con->EnumerateDevices(), 1);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(Con->DeviceList().size(), 1u);
}

TEST_F(TControllerTest, DestructionSurvivesAFailingLastPass) {
    const uint32_t a = Sim.Plug(Interface());
    Start();
    std::string error;
    Con->SetUnhandledException([&](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& x) {
            error = x.what();
        }
    });
    sim::TSimFaults f;
    f.OpenFails = true;
    Sim.SetFaults(a, f);
    Con.reset(); // its last pass cannot create the device and has no handler for that
    EXPECT_EQ(error, "Device cannot be opened");
    EXPECT_EQ(Sim.OpenHandles(), 0u);
}

TEST_F(TControllerTest, BroadcastDuringAPassIsDropped) {
    Start();
    Rec.Take();
    bool inPass = false;
    const uint64_t scans = Sim.ScanCount();
    Con->SetOnArrival(THidPlugEvent::Make(nullptr, [&](THidDevice*) {
        inPass = Con->ChangeInProgress();
        // A handler that runs the event loop lets another broadcast in.
        Sim.Broadcast();
        RunFor(20);
    }));
    Sim.Plug(Interface());
    Settle();
    EXPECT_TRUE(inPass);
    EXPECT_EQ(Sim.ScanCount() - scans, 1u);
    EXPECT_EQ(Rec.Take(), Log{"change"});
    EXPECT_FALSE(Con->ChangeInProgress());
}

TEST_F(TControllerTest, DestructionOrder) {
    const uint32_t a = Sim.Plug(Interface());
    const uint32_t b = Sim.Plug(Interface(0x1111, 1));
    Start();
    Rec.Take();
    Con->SetOnEnumerate(THidEnumerateEvent::Make(nullptr, [&](THidDevice* d, int) {
        if (d->PnPInfo()->DevInst == a)
            d->Claim();
        return true;
    }));
    Con->EnumerateDevices();
    ASSERT_NE(Con->DeviceList()[0]->Reader(), nullptr);
    Sim.Unplug(b); // its broadcast never runs: the last pass finds it gone
    Con.reset();
    // The last pass reports the removal but no change; the claimed device goes
    // without an unplug event, its reader stopped, nothing left open.
    EXPECT_EQ(Rec.Take(), (Log{"unplug " + S(b), "removal " + S(b)}));
    EXPECT_EQ(Sim.OpenHandles(), 0u);
    EXPECT_EQ(Sim.LivePreparsed(), 0u);
}

TEST_F(TControllerTest, EmptyScanAndBrokenMonitor) {
    const uint32_t a = Sim.Plug(Interface());
    Start();
    Rec.Take();
    // A failing scan finds nothing: the device counts as gone.
    Sim.SetScanFails(true);
    Sim.Broadcast();
    Settle();
    EXPECT_EQ(Rec.Take(), (Log{"unplug " + S(a), "removal " + S(a), "change"}));
    Sim.SetScanFails(false);
    Sim.Broadcast();
    Settle();
    EXPECT_EQ(Rec.Take().size(), 2u); // arrival, change
    // A broken monitor stops broadcasting without inventing removals.
    Sim.BreakMonitor();
    Sim.Unplug(Con->DeviceList()[0]->PnPInfo()->DevInst);
    Settle();
    EXPECT_TRUE(Rec.Take().empty());
    EXPECT_EQ(Con->DeviceList().size(), 1u);
    // A direct pass still sees the truth.
    Con->DeviceChange();
    EXPECT_EQ(Rec.Take().size(), 3u);
}

TEST_F(TControllerTest, PropertyWritesPassHandlersAndTimesOn) {
    Sim.Plug(Interface());
    Sim.Plug(Interface(0x1111, 1));
    Start();
    Rec.Take();
    ASSERT_EQ(Con->DeviceList().size(), 2u);
    THidDevice* first = Con->DeviceList()[0];
    THidDevice* second = Con->DeviceList()[1];
    EXPECT_EQ(first->SleepTime(), 100);
    EXPECT_EQ(first->PollingDelay(), 0);

    // Sleep time 5 is stored, refused by the devices, taken by later ones.
    Con->SetDevThreadSleepTime(5);
    EXPECT_EQ(Con->DevThreadSleepTime(), 5);
    EXPECT_EQ(first->SleepTime(), 100);
    const uint32_t c = Sim.Plug(Interface(0x2222, 2));
    Settle();
    ASSERT_EQ(Con->DeviceList().size(), 3u);
    EXPECT_EQ(Con->DeviceList()[2]->PnPInfo()->DevInst, c);
    EXPECT_EQ(Con->DeviceList()[2]->SleepTime(), 5);

    // A device whose value changed on its own keeps it.
    second->SetPollingDelay(7);
    Con->SetDevPollingDelayTime(20);
    EXPECT_EQ(first->PollingDelay(), 20);
    EXPECT_EQ(second->PollingDelay(), 7);
    Con->SetDevPollingDelayTime(20000); // stored unchecked, refused by the devices
    EXPECT_EQ(Con->DevPollingDelayTime(), 20000);
    EXPECT_EQ(first->PollingDelay(), 20);

    // Handlers pass on to the devices that hold the old one.
    TRecorder other;
    second->SetOnReportError(THidDataErrorEvent(&other, &TRecorder::DataError));
    Con->SetOnDeviceDataError({&other, &TRecorder::DataError});
    EXPECT_TRUE(first->OnReportError() == THidDataErrorEvent(&other, &TRecorder::DataError));
    Con->SetOnDeviceData({&other, &TRecorder::Data});
    EXPECT_TRUE(first->OnReport() == THidDataEvent(&other, &TRecorder::Data));
    EXPECT_FALSE(first->OnReport() == THidDataEvent(&Rec, &TRecorder::Data));
    Con->SetOnDeviceUnplug({});
    EXPECT_FALSE(bool(first->OnUnplugged()));

    // Writing OnDeviceChange runs a pass, unless it is the handler it has.
    const uint64_t scans = Sim.ScanCount();
    Con->SetOnDeviceChange({&Rec, &TRecorder::Change});
    EXPECT_EQ(Sim.ScanCount(), scans);
    Con->SetOnDeviceChange({&other, &TRecorder::Change});
    EXPECT_EQ(Sim.ScanCount(), scans + 1);
    EXPECT_TRUE(other.Log.empty()); // nothing changed since the last message
    EXPECT_EQ(Con->Version(), "1.0.35");
    Con->SetVersion("9");
    EXPECT_EQ(Con->Version(), "1.0.35");
}

TEST_F(TControllerTest, LoadingStateAndStartupPass) {
    Sim.Plug(Interface());
    Con = std::make_unique<THidDeviceController>();
    EXPECT_TRUE(Con->Loading());
    const uint64_t scans = Sim.ScanCount();
    Rec.Attach(*Con); // as the stored layout does: no pass yet
    EXPECT_EQ(Sim.ScanCount(), scans);
    ASSERT_TRUE(RunUntil([&] { return !Rec.Log.empty(); }));
    EXPECT_FALSE(Con->Loading());
    EXPECT_EQ(Rec.Log.back(), "change");
    // A direct pass after the start-up message still reports a change.
    Rec.Take();
    Con->SetOnDeviceChange({});
    Con->SetOnDeviceChange({&Rec, &TRecorder::Change});
    EXPECT_EQ(Rec.Take(), Log{"change"});
}

TEST_F(TControllerTest, PropertySnapshotAsText) {
    Sim.Plug(Interface());
    Start();
    ASSERT_EQ(Con->DeviceList().size(), 1u);
    const THidPnPInfo& info = *Con->DeviceList()[0]->PnPInfo();
    EXPECT_EQ(info.DevicePath.rfind("/sim/hidraw", 0), 0u);
    EXPECT_EQ(info.HardwareID.size(), 2u);
    EXPECT_EQ(info.HardwareID[1], "HID\\VID_0416&PID_5020");
    EXPECT_EQ(info.Address, std::to_string(info.DevInst));
    EXPECT_EQ(info.Characteristics, "0x00000100");
    EXPECT_EQ(info.BusTypeGUID, "{EEAF37D0-1963-47C4-AA48-72476DB7CF49}");
    EXPECT_EQ(info.Mfg, "Korvalis simulation");
    EXPECT_EQ(info.Driver, ""); // not set: empty text
    EXPECT_EQ(info.BusNumber, 0u);
    const std::string text = info.SnapshotText();
    EXPECT_NE(text.find("HardwareID=HID\\VID_0416&PID_5020&REV_256;HID\\VID_0416&PID_5020\n"),
              std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 26);
}

} // namespace
} // namespace korvalis
