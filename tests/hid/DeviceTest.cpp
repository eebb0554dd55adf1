// One device on the simulated platform: claiming, writing, the reader and its
// hand-off to the GUI thread, unplug while reading, and giving a device back.
#include "HidTestSupport.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#ifdef _WIN32
#include <windows.h>
// after windows.h
#include <tlhelp32.h>
#endif

namespace korvalis {
namespace {

using namespace korvalis::testing;

// Answers every output report with the same bytes, as an input report.
struct TEchoModel : sim::ISimDeviceModel {
    sim::TSimWriteResult OutputReport(sim::ISimDevicePort& port,
                                      std::span<const uint8_t> report) override {
        port.QueueInputReport({report.begin(), report.end()});
        return sim::TSimWriteResult::Accepted;
    }
};

struct TDeviceTest : ::testing::Test, TSimFixture {
    TRecorder Rec;
    std::unique_ptr<THidDeviceController> Con;
    uint32_t Inst = 0;

    // One interface; the first OnEnumerate claims it when claim is set.
    THidDevice* Start(sim::TSimInterface config, bool claim = true, int sleep = 10) {
        Inst = Sim.Plug(std::move(config));
        Con = std::make_unique<THidDeviceController>();
        Rec.Attach(*Con);
        Con->SetDevThreadSleepTime(sleep);
        EXPECT_TRUE(RunUntil([&] { return !Rec.Log.empty(); }));
        THidDevice* device = nullptr;
        Con->SetOnEnumerate(THidEnumerateEvent::Make(nullptr, [&](THidDevice* d, int) {
            device = d;
            if (claim) {
                EXPECT_TRUE(d->Claim());
            }
            return false;
        }));
        Con->EnumerateDevices();
        return device;
    }
    ~TDeviceTest() override { Con.reset(); }
};

TEST_F(TDeviceTest, ReportsReachTheGuiThreadWithTheIdSplitOff) {
    THidDevice* d = Start(Interface());
    ASSERT_NE(d, nullptr);
    ASSERT_NE(d->Reader(), nullptr);
    struct Row {
        std::vector<uint8_t> report;
        const char* seen;
    };
    std::vector<uint8_t> full(65, 0xAB);
    full[0] = 0;
    full[1] = 1;
    const Row rows[] = {
        {{0}, "0:0"},           // only the ID byte: Size 0
        {{7, 42}, "7:1:42:42"}, // the ID is not checked
        {full, "0:64:1:171"},
        {std::vector<uint8_t>(80, 9), "9:64:9:9"}, // longer than the buffer: cut to it
    };
    for (const Row& row : rows)
        Sim.QueueInputReport(Inst, row.report);
    ASSERT_TRUE(RunUntil([&] { return Rec.Reports.size() == std::size(rows); }));
    for (size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(Rec.Reports[i], rows[i].seen);
    EXPECT_EQ(d->Reader()->BytesRead(), 65u);
}

TEST_F(TDeviceTest, WritesGoToTheModelAndItsAnswersComeBack) {
    sim::TSimInterface config = Interface();
    config.Model = std::make_shared<TEchoModel>();
    THidDevice* d = Start(config);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->GetReportCaps().OutputReportByteLength, 65);
    std::vector<uint8_t> report(65, 0);
    report[1] = 0x35;
    report[64] = 0x77;
    uint32_t written = 0;
    EXPECT_TRUE(d->WriteReport(report.data(), 65, written));
    EXPECT_EQ(written, 65u);
    ASSERT_TRUE(RunUntil([&] { return Rec.Reports.size() == 1; }));
    EXPECT_EQ(Rec.Reports[0], "0:64:53:119");
    EXPECT_EQ(Sim.WrittenReports(Inst), std::vector<std::vector<uint8_t>>{report});
    EXPECT_NE(d->SyncHandle(), INVALID_HANDLE_VALUE); // kept open while claimed

    // Faults: a refused write, one too long, one with an ID the device does not use.
    written = 0;
    EXPECT_FALSE(d->WriteReport(report.data(), 66, written));
    report[0] = 1;
    EXPECT_FALSE(d->WriteReport(report.data(), 65, written));
    report[0] = 0;
    sim::TSimFaults f;
    f.WriteFails = true;
    Sim.SetFaults(Inst, f);
    EXPECT_FALSE(d->WriteReport(report.data(), 65, written));
    EXPECT_EQ(written, 0u);
}

TEST_F(TDeviceTest, ClaimRefusals) {
    THidDevice* d = Start(Interface(), false);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->Reader(), nullptr);
    d->SetController(nullptr);
    EXPECT_FALSE(d->Claim()); // no controller
    EXPECT_FALSE(d->Claimed());
    d->SetController(Con.get());
    EXPECT_TRUE(d->Claim());
    EXPECT_FALSE(d->Claim()); // already claimed
    EXPECT_TRUE(d->Claimed());
    Sim.Unplug(Inst);
    RunFor(30);
    EXPECT_FALSE(d->Plugged());
    EXPECT_FALSE(d->Claim());
}

TEST_F(TDeviceTest, ReportLengthsAreCachedOnceFetched) {
    THidDevice* d = Start(Interface(), false);
    ASSERT_NE(d, nullptr);
    // Unclaimed, outside an enumeration call, never fetched: zero.
    EXPECT_EQ(d->GetReportCaps().InputReportByteLength, 0);
    Con->SetOnEnumerate(THidEnumerateEvent::Make(nullptr, [](THidDevice* dev, int) {
        EXPECT_EQ(dev->GetReportCaps().InputReportByteLength, 65);
        return true;
    }));
    Con->EnumerateDevices();
    const HIDP_CAPS caps = d->GetReportCaps();
    EXPECT_EQ(caps.InputReportByteLength, 65);
    EXPECT_EQ(caps.OutputReportByteLength, 65);
    EXPECT_EQ(Sim.OpenHandles(), 0u);
}

TEST_F(TDeviceTest, QueryOnlyDeviceCanBeClaimedButNotRead) {
    sim::TSimInterface config = Interface();
    config.ReadWrite = false;
    THidDevice* d = Start(config);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->Identity().VendorID, 0x0416); // identified through a query handle
    EXPECT_EQ(d->Identity().ProductID, 0x5020);
    EXPECT_FALSE(d->ReadWriteAccess());
    EXPECT_TRUE(d->Claimed());
    EXPECT_EQ(d->Reader(), nullptr);
    uint8_t report[65] = {};
    uint32_t written = 0;
    EXPECT_FALSE(d->WriteReport(report, 65, written));
    Sim.QueueInputReport(Inst, {0, 1});
    RunFor(40);
    EXPECT_TRUE(Rec.Reports.empty());
}

TEST_F(TDeviceTest, SetterRanges) {
    THidDevice* d = Start(Interface(), false);
    ASSERT_NE(d, nullptr);
    struct Row {
        bool sleep;
        int32_t value;
        int32_t expect;
    };
    const Row rows[] = {{false, 10001, 0},    {false, -1, 0}, {false, 10000, 10000},
                        {false, 0, 0},        {true, 9, 10},  {true, 10000, 10000},
                        {true, 10001, 10000}, {true, 10, 10}, {true, -5, 10}};
    for (const Row& row : rows) {
        row.sleep ? d->SetSleepTime(row.value) : d->SetPollingDelay(row.value);
        EXPECT_EQ(row.sleep ? d->SleepTime() : d->PollingDelay(), row.expect) << row.value;
    }
}

TEST_F(TDeviceTest, StoppingWithAReadOutstandingDeliversNothing) {
    THidDevice* d = Start(Interface(), true, 10000);
    ASSERT_NE(d->Reader(), nullptr);
    RunFor(20); // the reader waits in its long read
    const auto before = std::chrono::steady_clock::now();
    Con->SetOnDeviceData({});
    EXPECT_EQ(d->Reader(), nullptr);
    // Stopping does not wait out the 10 s read.
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
    Sim.QueueInputReport(Inst, {0, 5});
    RunFor(30);
    EXPECT_TRUE(Rec.Reports.empty());
    // A new handler starts a new reader that gets the waiting report.
    Con->SetOnDeviceData({&Rec, &TRecorder::Data});
    ASSERT_NE(d->Reader(), nullptr);
    ASSERT_TRUE(RunUntil([&] { return Rec.Reports.size() == 1; }));
}

TEST_F(TDeviceTest, HandlerExceptionEndsTheReader) {
    THidDevice* d = Start(Interface());
    int calls = 0;
    Con->SetOnDeviceData(
        THidDataEvent::Make(nullptr, [&](THidDevice*, uint8_t, const uint8_t*, uint16_t) {
            ++calls;
            throw std::runtime_error("handler failed");
        }));
    ASSERT_NE(d->Reader(), nullptr);
    Sim.QueueInputReport(Inst, {0, 1});
    Sim.QueueInputReport(Inst, {0, 2});
    ASSERT_TRUE(RunUntil([&] { return d->Reader()->Finished(); }));
    RunFor(30);
    EXPECT_EQ(calls, 1);
    EXPECT_NE(d->Reader(), nullptr); // stays until stopped
    d->StopReader();
    EXPECT_EQ(d->Reader(), nullptr);
}

TEST_F(TDeviceTest, ReadStartFailuresAreReportedUntilStopped) {
    THidDevice* d = Start(Interface());
    sim::TSimFaults f;
    f.ReadStartFails = true;
    Sim.SetFaults(Inst, f);
    // A read already waiting ends with this report; the next ones cannot start.
    Sim.QueueInputReport(Inst, {0, 1});
    ASSERT_TRUE(RunUntil([&] { return Rec.Errors.size() >= 3; }));
    EXPECT_LE(Rec.Reports.size(), 1u); // 0 when no read had started yet
    EXPECT_EQ(Rec.Errors[0], ERROR_GEN_FAILURE);
    Sim.SetFaults(Inst, {});
    Sim.QueueInputReport(Inst, {0, 3});
    ASSERT_TRUE(RunUntil([&] { return Rec.Reports.size() == 2; }));
    EXPECT_NE(d->Reader(), nullptr);
}

TEST_F(TDeviceTest, UnplugWhileReadingOrWriting) {
    struct Row {
        bool duringRead;
    };
    for (const Row row : {Row{true}, Row{false}}) {
        SCOPED_TRACE(row.duringRead);
        Rec.Errors.clear();
        Rec.Log.clear();
        THidDevice* d = Start(Interface());
        ASSERT_NE(d->Reader(), nullptr);
        sim::TSimFaults f;
        (row.duringRead ? f.UnplugOnRead : f.UnplugOnWrite) = true;
        Sim.SetFaults(Inst, f);
        if (!row.duringRead) {
            uint8_t report[65] = {};
            uint32_t written = 0;
            EXPECT_FALSE(d->WriteReport(report, 65, written));
        }
        ASSERT_TRUE(RunUntil([&] { return !d->Plugged(); }));
        EXPECT_EQ(d->ReadHandle(), INVALID_HANDLE_VALUE);
        // The reader goes on, failing to start reads every SleepTime.
        ASSERT_TRUE(RunUntil([&] { return Rec.Errors.size() >= 2; }));
        EXPECT_NE(d->Reader(), nullptr);
        EXPECT_EQ(std::count(Rec.Log.begin(), Rec.Log.end(), "unplug " + std::to_string(Inst)), 1);
        Con.reset();
        EXPECT_EQ(Sim.OpenHandles(), 0u);
        Sim.Reset();
    }
}

#ifdef _WIN32
// The threads of this process whose description is name.
int ThreadsNamed(const std::string& name) {
    using GetThreadDescription_t = HRESULT(WINAPI*)(::HANDLE, PWSTR*);
    const auto get = reinterpret_cast<GetThreadDescription_t>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
    if (!get)
        return -1;
    const std::wstring wide(name.begin(), name.end());
    int count = 0;
    ::HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (bool more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != GetCurrentProcessId())
            continue;
        ::HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
        PWSTR text = nullptr;
        if (thread && SUCCEEDED(get(thread, &text)) && text) {
            count += wide == text;
            LocalFree(text);
        }
        if (thread)
            CloseHandle(thread);
    }
    CloseHandle(snapshot);
    return count;
}
// Windows keeps the whole name.
const char* const kReaderThreadName = "THidDeviceReadThread";
#else
int ThreadsNamed(const std::string& name) {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        std::getline(comm, line);
        count += line == name;
    }
    return count;
}
// The kernel keeps 15 characters.
const char* const kReaderThreadName = "THidDeviceReadT";
#endif

TEST_F(TDeviceTest, SilentDeviceDeliversNothingAndStopsCleanly) {
    sim::TSimInterface config = Interface();
    config.Faults.Silent = true;
    config.Model = std::make_shared<TEchoModel>();
    THidDevice* d = Start(config);
    ASSERT_NE(d->Reader(), nullptr);
    // The reader names its thread for debuggers and tools.
    EXPECT_TRUE(RunUntil([] { return ThreadsNamed(kReaderThreadName) == 1; }));
    EXPECT_EQ(d->Reader()->GetThreadName(), "THidDeviceReadThread");
    uint8_t report[65] = {0, 0x35};
    uint32_t written = 0;
    EXPECT_TRUE(d->WriteReport(report, 65, written)); // taken, never answered
    Sim.QueueInputReport(Inst, {0, 1});
    RunFor(60);
    EXPECT_TRUE(Rec.Reports.empty());
    EXPECT_TRUE(Rec.Errors.empty());
    d->StopReader();
    // The kernel lets the thread go a moment after the join.
    EXPECT_TRUE(RunUntil([] { return ThreadsNamed(kReaderThreadName) == 0; }, 1000));
}

TEST_F(TDeviceTest, GivingBackAClaimedDeviceLeavesAFreshOne) {
    Sim.Plug(Interface(0x1111, 1));
    THidDevice* d = Start(Interface());
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(Con->DeviceList().size(), 2u);
    ASSERT_EQ(Con->DeviceList()[0], d); // the first plugged one was claimed
    d->SetPollingDelay(3);
    d->SetSleepTime(40);
    const uint32_t inst = d->PnPInfo()->DevInst;
    delete d;
    ASSERT_EQ(Con->DeviceList().size(), 2u);
    THidDevice* fresh = Con->DeviceList()[0];
    EXPECT_EQ(fresh->PnPInfo()->DevInst, inst);
    EXPECT_FALSE(fresh->Claimed());
    EXPECT_TRUE(fresh->Plugged());
    EXPECT_EQ(fresh->PollingDelay(), 3);
    EXPECT_EQ(fresh->SleepTime(), 40);
    EXPECT_EQ(fresh->Reader(), nullptr);
    EXPECT_TRUE(fresh->OnReport() == THidDataEvent(&Rec, &TRecorder::Data));
    EXPECT_EQ(Sim.OpenHandles(), 0u);
    // It can be claimed again and reads.
    EXPECT_TRUE(fresh->Claim());
    Sim.QueueInputReport(inst, {0, 8});
    ASSERT_TRUE(RunUntil([&] { return Rec.Reports.size() == 1; }));
}

// Ends the process with the row's name when it does not finish in time: a
// hand-off that waits for itself never returns.
struct TWatchdog {
    std::mutex Lock;
    std::condition_variable Done;
    bool Finished = false;
    std::thread Thread;
    TWatchdog(std::string row, int seconds) {
        Thread = std::thread([this, row, seconds] {
            std::unique_lock lock(Lock);
            if (!Done.wait_for(lock, std::chrono::seconds(seconds), [this] { return Finished; })) {
                std::fprintf(stderr, "deadlock in row \"%s\"\n", row.c_str());
                std::_Exit(1);
            }
        });
    }
    ~TWatchdog() {
        {
            std::lock_guard lock(Lock);
            Finished = true;
        }
        Done.notify_all();
        Thread.join();
    }
};

TEST_F(TDeviceTest, HandlerGivesBackOrStopsItsDeviceFromEveryEvent) {
    enum TOn {
        Enumerate,
        Arrival,
        Unplug,
        Removal,
        Data,
        DataError,
        DataAtCheckIn,
        LastPassArrival
    };
    enum TDoes { GiveBack, ClearOnDeviceData, StopReader, RunEventLoop };
    struct Row {
        const char* name;
        TOn on;
        TDoes does;
    };
    const Row rows[] = {
        {"gives back from OnEnumerate", Enumerate, GiveBack},
        {"gives back from OnArrival", Arrival, GiveBack},
        {"gives back from OnDeviceUnplug", Unplug, GiveBack},
        {"gives back from OnRemoval", Removal, GiveBack},
        {"gives back from OnDeviceData", Data, GiveBack},
        {"clears OnDeviceData from OnDeviceData", Data, ClearOnDeviceData},
        {"stops the reader from OnDeviceData", Data, StopReader},
        {"gives back from OnDeviceDataError", DataError, GiveBack},
        {"gives back from OnDeviceData while being given back", DataAtCheckIn, GiveBack},
        {"runs the event loop from OnArrival in the last pass", LastPassArrival, RunEventLoop},
    };
    // The handlers outlive every row's controller.
    const Row* current = nullptr;
    int calls = 0;
    std::vector<uint32_t> arrivals;
    // What the handler does to the device it was called for.
    auto act = [&](THidDevice* dev) {
        ++calls;
        switch (current->does) {
        case GiveBack:
            delete dev;
            break;
        case ClearOnDeviceData:
            Con->SetOnDeviceData({});
            break;
        case StopReader:
            dev->StopReader();
            break;
        case RunEventLoop:
            arrivals.push_back(dev->PnPInfo()->DevInst);
            Sim.Broadcast();
            RunFor(20);
            break;
        }
    };
    const auto plug = THidPlugEvent::Make(nullptr, [&](THidDevice* dev) { act(dev); });
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TWatchdog watchdog(row.name, 30);
        current = &row;
        calls = 0;
        arrivals.clear();
        Rec = TRecorder{};
        sim::TSimInterface config = Interface();
        config.Faults.ReadStartFails = row.on == DataError;
        const bool claim = row.on == Unplug || row.on == Removal || row.on == Data ||
                           row.on == DataError || row.on == DataAtCheckIn;
        THidDevice* d = Start(config, claim);
        ASSERT_NE(d, nullptr);
        const uint32_t inst = Inst;
        Rec.Take();
        const auto passed = [&] { return !Rec.Log.empty() && Rec.Log.back() == "change"; };
        switch (row.on) {
        case Enumerate:
            Con->SetOnEnumerate(THidEnumerateEvent::Make(nullptr, [&](THidDevice* dev, int) {
                act(dev);
                return true;
            }));
            EXPECT_EQ(Con->EnumerateDevices(), 1);
            break;
        case Arrival:
            Con->SetOnArrival(plug);
            Sim.Plug(Interface(0x1111, 1));
            ASSERT_TRUE(RunUntil(passed));
            break;
        case Unplug:
        case Removal:
            if (row.on == Unplug)
                Con->SetOnDeviceUnplug(plug);
            else
                Con->SetOnRemoval(plug);
            Sim.Unplug(inst);
            ASSERT_TRUE(RunUntil(passed));
            break;
        case Data:
        case DataError:
            if (row.on == Data)
                Con->SetOnDeviceData(
                    THidDataEvent::Make(nullptr, [&](THidDevice* dev, uint8_t, const uint8_t*,
                                                     uint16_t) { act(dev); }));
            else
                Con->SetOnDeviceDataError(THidDataErrorEvent::Make(
                    nullptr, [&](THidDevice* dev, uint32_t) { act(dev); }));
            Sim.QueueInputReport(inst, {0, 1});
            ASSERT_TRUE(RunUntil([&] { return calls == 1; }));
            // The reader ends once the handler has returned, and nothing more
            // reaches the handler.
            Sim.QueueInputReport(inst, {0, 2});
            EXPECT_TRUE(RunUntil([] { return ThreadsNamed(kReaderThreadName) == 0; }));
            RunFor(30);
            break;
        case DataAtCheckIn:
            Con->SetOnDeviceData(THidDataEvent::Make(
                nullptr, [&](THidDevice* dev, uint8_t, const uint8_t*, uint16_t) { act(dev); }));
            // The report waits in its hand-off while the application gives the
            // device back: the stop runs queued hand-offs, and this one must not
            // reach the handler with the device half destroyed.
            Sim.QueueInputReport(inst, {0, 1});
            while (d->Reader()->BytesRead() == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            delete d;
            break;
        case LastPassArrival:
            // Two arrivals the controller has not seen yet; their broadcasts
            // and the handler's own reach the loop while it is destroyed.
            Con->SetOnArrival(plug);
            Sim.Plug(Interface(0x1111, 1));
            Sim.Plug(Interface(0x2222, 2));
            Con.reset();
            EXPECT_EQ(arrivals.size(), 2u);
            EXPECT_EQ(std::set<uint32_t>(arrivals.begin(), arrivals.end()).size(),
                      arrivals.size()); // no device made twice
            break;
        }
        EXPECT_EQ(calls, row.on == LastPassArrival ? 2 : row.on == DataAtCheckIn ? 0 : 1);
        if (Con) {
            // A device given back while plugged leaves a fresh one in its place;
            // one given back unplugged leaves nothing.
            const bool stopped = row.does != GiveBack;
            const bool gone = row.on == Unplug || row.on == Removal;
            const size_t listed = gone ? 0 : row.on == Arrival ? 2 : 1;
            ASSERT_EQ(Con->DeviceList().size(), listed);
            for (THidDevice* dev : Con->DeviceList()) {
                EXPECT_TRUE(dev->Plugged());
                EXPECT_EQ(dev->Claimed(), stopped);
                EXPECT_EQ(dev->Reader(), nullptr);
                EXPECT_FALSE(dev->InEnumeration());
            }
            Con.reset();
        }
        EXPECT_EQ(Sim.OpenHandles(), 0u);
        Sim.Reset();
    }
}

TEST_F(TDeviceTest, UnplugClearsPluggedBeforeWakingTheReader) {
    THidDevice* d = Start(Interface());
    ASSERT_NE(d->Reader(), nullptr);
    ASSERT_TRUE(RunUntil([&] { return d->ReadHandle() != INVALID_HANDLE_VALUE; }));
    // The woken reader may try to open its handle again at once; by then the
    // device must already count as gone.
    std::vector<bool> pluggedAtWake;
    Sim.SetOnReadWake([&](uint32_t) { pluggedAtWake.push_back(d->Plugged()); });
    Sim.Unplug(Inst);
    ASSERT_TRUE(RunUntil([&] { return !d->Plugged(); }));
    Sim.SetOnReadWake(nullptr);
    ASSERT_FALSE(pluggedAtWake.empty());
    EXPECT_FALSE(pluggedAtWake.front());
}

TEST_F(TDeviceTest, ReaderWithoutAnInputReportLength) {
    struct Row {
        const char* name;
        uint16_t inputLength;
        int openFailsAtClaim; // openings that fail while the device is claimed
        bool reader;
        bool delivered;
    };
    const Row rows[] = {
        {"the device sends no input reports", 0, 0, false, false},
        {"the lengths cannot be read at claim time", 65, 4, true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Rec = TRecorder{};
        sim::TSimInterface config = Interface();
        config.InputReportByteLength = row.inputLength;
        THidDevice* d = Start(config, false);
        ASSERT_NE(d, nullptr);
        sim::TSimFaults f;
        f.OpenFailsTimes = row.openFailsAtClaim;
        Sim.SetFaults(Inst, f);
        Con->SetOnEnumerate(THidEnumerateEvent::Make(nullptr, [](THidDevice* dev, int) {
            EXPECT_TRUE(dev->Claim());
            return true;
        }));
        Con->EnumerateDevices();
        EXPECT_EQ(d->Reader() != nullptr, row.reader);
        Sim.QueueInputReport(Inst, {0, 7});
        EXPECT_EQ(RunUntil([&] { return !Rec.Reports.empty(); }, 500), row.delivered);
        if (row.delivered && !Rec.Reports.empty()) {
            EXPECT_EQ(Rec.Reports[0], "0:1:7:7");
        }
        Con.reset();
        EXPECT_EQ(Sim.OpenHandles(), 0u);
        Sim.Reset();
    }
}

} // namespace
} // namespace korvalis
