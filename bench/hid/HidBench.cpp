// One device-change pass over 1, 10, 100 and 1,000 simulated interfaces. A
// pass opens, identifies and closes every present interface and snapshots its
// properties, so its cost per interface should stay flat as the count grows.
// The peer is the platform work alone for the same interfaces (scan, open,
// identify, close), measured in the same run; the ratio is the controller's
// own overhead.
#include "hid/Hid.h"
#include "hid/HidControllerClass.h"
#include "hid/SetupApi.h"
#include "hid/platform/qt/QtGuiLoop.h"
#include "hid/platform/sim/SimPlatform.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>

using namespace korvalis;

namespace {

void PlugInterfaces(int n) {
    sim::TSimPlatform& s = sim::TSimPlatform::Instance();
    s.Reset();
    for (int i = 0; i < n; ++i) {
        sim::TSimInterface config;
        config.VendorID = 0x0416;
        config.ProductID = uint16_t(i);
        s.Plug(config);
    }
    QCoreApplication::processEvents(); // drop the plug broadcasts
}

void BM_DeviceChangePass(benchmark::State& state) {
    const int n = int(state.range(0));
    sim::TSimPlatform::Select();
    PlugInterfaces(n);
    THidDeviceController con;
    con.Loaded();
    con.DeviceChange(); // the devices are known: later passes change nothing
    if (con.DeviceList().size() != size_t(n))
        state.SkipWithError("scan incomplete");
    for (auto _ : state)
        con.DeviceChange();
    state.SetItemsProcessed(state.iterations() * n);
    state.SetComplexityN(n);
}

void BM_PlatformOnly(benchmark::State& state) {
    const int n = int(state.range(0));
    sim::TSimPlatform::Select();
    PlugInterfaces(n);
    THidDeviceController con; // binds the modules
    const TSetupApi& setup = SetupApi();
    const THidApi& hid = HidApi();
    GUID guid = con.InterfaceClassGuid();
    for (auto _ : state) {
        HDEVINFO info = setup.SetupDiGetClassDevsA(&guid, nullptr, nullptr, 0x12);
        SP_DEVICE_INTERFACE_DATA data;
        for (uint32_t i = 0; setup.SetupDiEnumDeviceInterfaces(info, nullptr, &guid, i, &data);
             ++i) {
            char detail[256];
            uint32_t size = 0;
            SP_DEVINFO_DATA devInfo;
            setup.SetupDiGetDeviceInterfaceDetailA(info, &data, detail, sizeof detail, &size,
                                                   &devInfo);
            HANDLE h = hid.CreateFileA(detail + kDetailDataHeader, GENERIC_READ | GENERIC_WRITE, 3,
                                       OPEN_EXISTING, 0);
            HIDD_ATTRIBUTES a{12};
            hid.HidD_GetAttributes(h, &a);
            hid.CloseHandle(h);
            benchmark::DoNotOptimize(a);
        }
        setup.SetupDiDestroyDeviceInfoList(info);
    }
    state.SetItemsProcessed(state.iterations() * n);
    state.SetComplexityN(n);
}

BENCHMARK(BM_DeviceChangePass)->Arg(1)->Arg(10)->Arg(100)->Arg(1000)->Complexity(benchmark::oN);
BENCHMARK(BM_PlatformOnly)->Arg(1)->Arg(10)->Arg(100)->Arg(1000)->Complexity(benchmark::oN);

// Keeps each run's time per interface for the table at the end.
class TTableReporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, std::map<int64_t, double>> Micros;
    std::map<std::string, std::map<int64_t, double>> CpuMicros;
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration || r.error_occurred)
                continue;
            const std::string name = r.run_name.function_name;
            const int64_t n = std::stoll(r.run_name.args);
            Micros[name][n] = r.GetAdjustedRealTime() * 1e-3 / double(n); // ns to us
            CpuMicros[name][n] = r.GetAdjustedCPUTime() * 1e-3 / double(n);
        }
    }
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    korvalis::UseQtHidGuiLoop();
    benchmark::Initialize(&argc, argv);
    TTableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto& pass = reporter.CpuMicros["BM_DeviceChangePass"];
    auto& peer = reporter.CpuMicros["BM_PlatformOnly"];
    std::printf("\nCPU time per interface (wall time varies with the machine's load)\n\n"
                "| interfaces | pass us/interface | platform only us/interface | pass / platform | "
                "pass growth vs 1 |\n|---:|---:|---:|---:|---:|\n");
    for (auto& [n, us] : pass) {
        const double p = peer.count(n) ? peer[n] : 0;
        std::printf("| %lld | %.2f | %.2f | %.1f | %.2f |\n", static_cast<long long>(n), us, p,
                    p > 0 ? us / p : 0.0, pass.count(1) ? us / pass[1] : 0.0);
    }
    benchmark::Shutdown();
    return 0;
}
