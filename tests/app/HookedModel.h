#pragma once

// The emulated Korvalis device with a hook that runs after every report it
// takes. The window writes from the GUI thread, so during an upload the hook
// runs inside the Upload handler, while whatever the desktop sends waits.

#include "emulator/KorvalisSimModel.h"

#include <functional>
#include <memory>

namespace korvalis {

class THookedModel : public sim::ISimDeviceModel,
                     public std::enable_shared_from_this<THookedModel> {
  public:
    explicit THookedModel(std::shared_ptr<sim::TKorvalisSimModel> inner)
        : Inner(std::move(inner)) {}
    sim::TSimWriteResult OutputReport(sim::ISimDevicePort& port,
                                      std::span<const uint8_t> report) override {
        const auto result = Inner->OutputReport(port, report);
        if (OnReport)
            OnReport(Inner->BundleReports());
        return result;
    }
    // A 0416:5020 interface whose reports pass through the hook.
    sim::TSimInterface Interface() {
        sim::TSimInterface config = sim::KorvalisInterface(Inner);
        config.Model = shared_from_this();
        return config;
    }

    std::shared_ptr<sim::TKorvalisSimModel> Inner;
    std::function<void(uint64_t bundleReports)> OnReport;
};

} // namespace korvalis
