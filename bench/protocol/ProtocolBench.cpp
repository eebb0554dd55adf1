// The upload through the real controller, device and connection against the
// emulated device on the simulated platform:
// - with no device delay: the host's cost per report, against a bare write()
//   of 65 bytes to a pipe;
// - with 1 ms per report (full-speed USB): the whole upload against the wire's
//   own 7.264 s plus the 100 ms pause.
#include "bundle/ResourceBundle.h"
#include "emulator/KorvalisSimModel.h"
#include "hid/platform/qt/QtGuiLoop.h"
#include "protocol/DevConBinding.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <benchmark/benchmark.h>

#include <thread>
#include <unistd.h>

using namespace korvalis;

namespace {

struct TNullView : IStatusPanel, IButton, IWindowCursor, IProgressBar, IRepaintable, IOneShotTimer {
    std::string FText;
    bool FEnabled = false;
    std::function<void()> FOnTimer;
    void SetText(const std::string& t) override { FText = t; }
    std::string Text() const override { return FText; }
    void SetEnabled(bool e) override {
        FEnabled = e;
        // The firmware check's timer fires at once here.
        if (e && FOnTimer)
            QTimer::singleShot(0, [this] { FOnTimer(); });
    }
    bool Enabled() const override { return FEnabled; }
    void SetCursor(TCursorKind) override {}
    void SetMax(int) override {}
    void SetPosition(int) override {}
    void SetVisible(bool) override {}
    void RepaintNow() override {}
    void SetInterval(uint32_t) override {}
    uint32_t Interval() const override { return 500; }
    void SetOnTimer(std::function<void()> h) override { FOnTimer = std::move(h); }
};

struct TRig {
    TNullView Status, Button, Timer;
    TNullView Misc;
    TConnection Connection;
    TResourceBundle Bundle;
    TRaster Slots[3] = {TRaster(240, 320), TRaster(240, 320), TRaster(240, 320)};
    std::shared_ptr<sim::TKorvalisSimModel> Model;
    std::unique_ptr<THidDeviceController> Controller;
    std::unique_ptr<TDevConBinding> Binding;

    // pause: whether the 100 ms pause after the write command really waits.
    TRig(uint32_t delayMicroseconds, bool pause)
        : Connection({Status, Button, Misc, Misc, Misc, Timer, [pause](int ms) {
                          if (pause)
                              std::this_thread::sleep_for(std::chrono::milliseconds(ms));
                      }}) {
        Bundle.Initialise();
        Timer.SetOnTimer([this] { Connection.tmrDataflashTimer(); });
        sim::TSimPlatform::Select();
        sim::TSimPlatform::Instance().Reset();
        TKorvalisDeviceModel::TOptions options;
        options.ReportDelayMicroseconds = delayMicroseconds;
        Model = std::make_shared<sim::TKorvalisSimModel>(options);
        sim::TSimPlatform::Instance().Plug(sim::KorvalisInterface(Model));
        Controller = std::make_unique<THidDeviceController>();
        Binding = std::make_unique<TDevConBinding>(*Controller, Connection);
        QElapsedTimer watch;
        watch.start();
        while (Status.Text() != "Connected" && watch.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    ~TRig() {
        Binding.reset();
        Controller.reset();
        sim::TSimPlatform::Instance().Reset();
    }
    bool Upload() {
        Connection.btnUploadClick(Bundle, {&Slots[0], &Slots[1], &Slots[2]});
        return Status.Text() == "Upload succeeded";
    }
};

constexpr int kReports = 7264 + 1; // the bundle and the write command

void BM_UploadHostCostPerReport(benchmark::State& state) {
    // The 100 ms pause is the protocol's, not the host's: it is left out here.
    TRig rig(0, false);
    if (rig.Status.Text() != "Connected") {
        state.SkipWithError("the emulated device did not connect");
        return;
    }
    for (auto _ : state) {
        if (!rig.Upload())
            state.SkipWithError("upload failed");
    }
}

void BM_BareWriteToPipe65Bytes(benchmark::State& state) {
    int fds[2];
    if (::pipe(fds) != 0) {
        state.SkipWithError("no pipe");
        return;
    }
    std::thread drain([fd = fds[0]] {
        char buffer[65536];
        while (::read(fd, buffer, sizeof buffer) > 0) {
        }
    });
    uint8_t report[65] = {};
    for (auto _ : state)
        for (int i = 0; i < kReports; ++i)
            benchmark::DoNotOptimize(::write(fds[1], report, sizeof report));
    ::close(fds[1]);
    drain.join();
    ::close(fds[0]);
}

void BM_UploadAtFullSpeedUsb(benchmark::State& state) {
    TRig rig(1000, true);
    if (rig.Status.Text() != "Connected") {
        state.SkipWithError("the emulated device did not connect");
        return;
    }
    for (auto _ : state)
        if (!rig.Upload())
            state.SkipWithError("upload failed");
    state.counters["wire_s"] = 7.264 + 0.100;
}

} // namespace

BENCHMARK(BM_UploadHostCostPerReport)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareWriteToPipe65Bytes)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UploadAtFullSpeedUsb)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// Prints the two ratios after the table.
class TRatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const std::string name = run.benchmark_name();
            const double seconds = run.GetAdjustedRealTime() / 1e3; // reported in ms
            if (name.find("HostCost") != std::string::npos)
                FHost = seconds;
            else if (name.find("BareWrite") != std::string::npos)
                FPipe = seconds;
            else if (name.find("FullSpeed") != std::string::npos)
                FFull = seconds;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        if (FHost > 0 && FPipe > 0)
            std::printf(
                "host cost per report: %.2f us, bare 65-byte pipe write: %.2f us, ratio %.2f\n",
                FHost / kReports * 1e6, FPipe / kReports * 1e6, FHost / FPipe);
        if (FFull > 0)
            std::printf("upload at 1 ms per report / (7.264 s + 0.100 s): %.4f\n", FFull / 7.364);
    }

  private:
    double FHost = 0, FPipe = 0, FFull = 0;
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    korvalis::UseQtHidGuiLoop();
    benchmark::Initialize(&argc, argv);
    TRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
