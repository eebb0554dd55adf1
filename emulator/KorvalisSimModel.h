#pragma once

// The Korvalis device model behind a simulated HID interface.

#include "KorvalisDeviceModel.h"
#include "hid/platform/sim/SimPlatform.h"

#include <chrono>
#include <mutex>

namespace korvalis::sim {

class TKorvalisSimModel : public ISimDeviceModel {
  public:
    explicit TKorvalisSimModel(TKorvalisDeviceModel::TOptions options = {})
        : FModel(std::move(options)) {}

    TSimWriteResult OutputReport(ISimDevicePort& port, std::span<const uint8_t> report) override;

    // Copies of the model's state, safe from any thread.
    std::vector<uint8_t> ReceivedBundle() const;
    bool BundleComplete() const;
    uint64_t BundleReports() const;
    uint64_t RejectedPackets() const;
    uint64_t ReadCommands() const;
    // Runs f with the model locked, for anything else a caller needs.
    template <typename F> auto With(F f) const {
        std::lock_guard lock(FLock);
        return f(FModel);
    }

  private:
    mutable std::mutex FLock;
    TKorvalisDeviceModel FModel;
    // The wire's clock: a report completes at the next boundary of a fixed grid
    // of the per-report delay, as interrupt transfers take the next USB frame,
    // so a late wake-up never pushes later reports back.
    std::chrono::steady_clock::time_point FOrigin{};
    std::chrono::steady_clock::time_point FLastSlot{};
};

// A 0416:5020 interface with 65-byte reports, as the real device declares.
TSimInterface KorvalisInterface(std::shared_ptr<TKorvalisSimModel> model);

} // namespace korvalis::sim
