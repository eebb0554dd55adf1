#include "KorvalisSimModel.h"

#include <chrono>
#include <thread>

namespace korvalis::sim {

TSimWriteResult TKorvalisSimModel::OutputReport(ISimDevicePort& port, std::span<const uint8_t> report) {
    TKorvalisDeviceModel::TWriteResult result;
    std::vector<std::vector<uint8_t>> answers;
    uint32_t delay;
    {
        std::lock_guard lock(FLock);
        result = FModel.OutputReport(report);
        while (FModel.HasInputReport())
            answers.push_back(FModel.TakeInputReport());
        delay = FModel.Options().ReportDelayMicroseconds;
    }
    // The write returns once the device has taken the report, as on the wire.
    if (delay > 0 && result == TKorvalisDeviceModel::TWriteResult::wrAccepted)
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
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
