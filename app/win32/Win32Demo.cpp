#include "Win32Demo.h"

#include "hid/platform/sim/SimPlatform.h"

#include <string>

namespace korvalis {

namespace {
std::shared_ptr<sim::TKorvalisSimModel>
SelectSimulation(const TKorvalisDeviceModel::TOptions& options) {
    sim::TSimPlatform::Select();
    return std::make_shared<sim::TKorvalisSimModel>(options);
}
} // namespace

TWin32Demo::TWin32Demo(const TKorvalisDeviceModel::TOptions& options)
    : FModel(SelectSimulation(options)), FMain(std::make_unique<TWin32MainWindow>()) {
    FPlug.SetInterval(1000);
    FPlug.SetOnTimer([this] {
        FPlug.SetEnabled(false);
        sim::TSimPlatform::Instance().Plug(sim::KorvalisInterface(FModel));
    });
    FPoll.SetInterval(200);
    FPoll.SetOnTimer([this] { Poll(); });
}

TWin32Demo::~TWin32Demo() {
    FPoll.SetEnabled(false);
    FPlug.SetEnabled(false);
    FMain.reset();
    sim::TSimPlatform::Instance().Reset();
}

void TWin32Demo::Show(int showCommand) {
    FMain->Show(showCommand);
    FScreen.ShowBeside(FMain->Handle());
    FPlug.SetEnabled(true);
    FPoll.SetEnabled(true);
}

void TWin32Demo::Poll() {
    const uint64_t reports = FModel->BundleReports();
    if (reports == FShown)
        return;
    FShown = reports;
    const auto bundle = FModel->ReceivedBundle();
    std::wstring caption = L"Received " + std::to_wstring(bundle.size()) + L" bytes";
    if (FModel->BundleComplete())
        caption += L": upload complete";
    FScreen.ShowBundle(bundle, caption);
}

} // namespace korvalis
