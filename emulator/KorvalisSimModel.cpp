#include "KorvalisSimModel.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace korvalis::sim {

TSimWriteResult TKorvalisSimModel::OutputReport(ISimDevicePort& port,
                                                std::span<const uint8_t> report) {
    TKorvalisDeviceModel::TWriteResult result;
    std::vector<std::vector<uint8_t>> answers;
    std::chrono::steady_clock::time_point done{};
    {
        std::lock_guard lock(FLock);
        result = FModel.OutputReport(report);
        while (FModel.HasInputReport())
            answers.push_back(FModel.TakeInputReport());
        const auto delay = std::chrono::microseconds(FModel.Options().ReportDelayMicroseconds);
        if (delay.count() > 0 && result == TKorvalisDeviceModel::TWriteResult::wrAccepted) {
            const auto now = std::chrono::steady_clock::now();
            if (FOrigin == std::chrono::steady_clock::time_point{})
                FOrigin = now;
            const auto frames = (now - FOrigin + delay - std::chrono::nanoseconds(1)) / delay;
            auto slot = FOrigin + std::max<int64_t>(frames, 1) * delay;
            if (slot <= FLastSlot)
                slot = FLastSlot + delay;
            FLastSlot = slot;
            done = slot;
        }
    }
    // The write returns once the device has taken the report, as on the wire.
    if (done != std::chrono::steady_clock::time_point{})
        std::this_thread::sleep_until(done);
    for (auto& answer : answers)
        port.QueueInputReport(std::move(answer));
    switch (result) {
    case TKorvalisDeviceModel::TWriteResult::wrAccepted:
        return TSimWriteResult::Accepted;
    case TKorvalisDeviceModel::TWriteResult::wrRefused:
        return TSimWriteResult::Refused;
    case TKorvalisDeviceModel::TWriteResult::wrUnplugged:
        break;
    }
    return TSimWriteResult::Unplugged;
}

std::vector<uint8_t> TKorvalisSimModel::ReceivedBundle() const {
    return With([](const TKorvalisDeviceModel& m) { return m.ReceivedBundle(); });
}
bool TKorvalisSimModel::BundleComplete() const {
    return With([](const TKorvalisDeviceModel& m) { return m.BundleComplete(); });
}
uint64_t TKorvalisSimModel::BundleReports() const {
    return With([](const TKorvalisDeviceModel& m) { return m.BundleReports(); });
}
uint64_t TKorvalisSimModel::RejectedPackets() const {
    return With([](const TKorvalisDeviceModel& m) { return m.RejectedPackets(); });
}
uint64_t TKorvalisSimModel::ReadCommands() const {
    return With([](const TKorvalisDeviceModel& m) { return m.ReadCommands(); });
}

TSimInterface KorvalisInterface(std::shared_ptr<TKorvalisSimModel> model) {
    TSimInterface config;
    config.VendorID = 0x0416;
    config.ProductID = 0x5020;
    config.VersionNumber = 0x0100;
    config.InputReportByteLength = 65;
    config.OutputReportByteLength = 65;
    config.Product = "Korvalis display (emulated)";
    config.Manufacturer = "Korvalis";
    config.Model = std::move(model);
    return config;
}

} // namespace korvalis::sim
