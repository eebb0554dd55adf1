#pragma once

// The device side of the Korvalis protocol, in plain C++: what a 0416:5020
// device does with the reports it receives. The simulated HID platform, the
// uhid emulator and the tests put it behind a virtual device.

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

namespace korvalis {

class TKorvalisDeviceModel {
  public:
    static constexpr size_t kReportLength = 65; // ID byte plus 64 data bytes
    static constexpr size_t kConfigBlockSize = 576;
    static constexpr uint32_t kBundleSize = 0x71800;

    struct TOptions {
        // Firmware version bytes of the configuration block (516..518) and the
        // marker byte (12).
        std::array<uint8_t, 3> Firmware{19, 2, 16};
        uint8_t Marker = 0xCF;
        // Never answers the read command.
        bool Silent = false;
        // Data bytes per answering input report; the sizes repeat until the
        // block is sent. Default: 64 per report, nine reports.
        std::vector<uint16_t> AnswerSplit{64};
        // Bytes sent after the block, as if the device answered too long.
        uint32_t ExtraAnswerBytes = 0;
        // The device refuses every output report from this one on (0-based; -1 never).
        int64_t FailWritesFrom = -1;
        // The device disappears when this output report arrives (-1 never).
        int64_t UnplugAt = -1;
        // Time the device takes per output report, microseconds (1000 is full-speed USB).
        uint32_t ReportDelayMicroseconds = 0;
    };

    enum class TWriteResult { wrAccepted, wrRefused, wrUnplugged };

    TKorvalisDeviceModel() = default;
    explicit TKorvalisDeviceModel(TOptions options) : FOptions(std::move(options)) {}

    // One output report, report-ID byte first. Answers what became of it; the
    // caller applies ReportDelayMicroseconds.
    TWriteResult OutputReport(std::span<const uint8_t> report);

    // Input reports waiting to be read: ID 0, then at most 64 data bytes.
    bool HasInputReport() const { return !FInput.empty(); }
    std::vector<uint8_t> TakeInputReport();

    std::array<uint8_t, kConfigBlockSize> ConfigBlock() const;

    const TOptions& Options() const { return FOptions; }
    bool Unplugged() const { return FUnplugged; }
    // The bundle as reassembled so far, and whether all of it arrived.
    const std::vector<uint8_t>& ReceivedBundle() const { return FBundle; }
    bool BundleComplete() const { return FBundleExpected == 0 && FBundleStarted; }
    uint64_t OutputReports() const { return FOutputReports; }
    uint64_t BundleReports() const { return FBundleReports; }
    uint64_t RejectedPackets() const { return FRejectedPackets; }
    uint64_t ReadCommands() const { return FReadCommands; }

  private:
    void HandleCommand(std::span<const uint8_t> payload);
    void QueueAnswer();

    TOptions FOptions;
    std::deque<std::vector<uint8_t>> FInput;
    std::vector<uint8_t> FBundle;
    uint32_t FBundleExpected = 0;
    bool FBundleStarted = false;
    bool FUnplugged = false;
    uint64_t FOutputReports = 0;
    uint64_t FBundleReports = 0;
    uint64_t FRejectedPackets = 0;
    uint64_t FReadCommands = 0;
};

// Parses "A.B.C" (each 0..255) into firmware bytes; false when malformed.
bool ParseFirmwareVersion(const std::string& text, std::array<uint8_t, 3>& out);

} // namespace korvalis
