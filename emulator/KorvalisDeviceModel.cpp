#include "KorvalisDeviceModel.h"

#include <algorithm>
#include <charconv>
#include <numeric>

namespace korvalis {

namespace {

uint32_t LittleEndian32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

} // namespace

TKorvalisDeviceModel::TWriteResult
TKorvalisDeviceModel::OutputReport(std::span<const uint8_t> report) {
    if (FUnplugged)
        return TWriteResult::wrUnplugged;
    const int64_t index = int64_t(FOutputReports);
    if (FOptions.UnplugAt >= 0 && index >= FOptions.UnplugAt) {
        FUnplugged = true;
        return TWriteResult::wrUnplugged;
    }
    if (FOptions.FailWritesFrom >= 0 && index >= FOptions.FailWritesFrom)
        return TWriteResult::wrRefused;
    ++FOutputReports;
    if (report.empty())
        return TWriteResult::wrAccepted;
    const std::span<const uint8_t> payload = report.subspan(1);
    if (FBundleExpected > 0) {
        // Bundle data: 64 bytes a report, whatever the report carries beyond that.
        const size_t n = std::min<size_t>({payload.size(), 64, FBundleExpected});
        FBundle.insert(FBundle.end(), payload.begin(), payload.begin() + n);
        FBundleExpected -= uint32_t(n);
        ++FBundleReports;
        return TWriteResult::wrAccepted;
    }
    HandleCommand(payload);
    return TWriteResult::wrAccepted;
}

void TKorvalisDeviceModel::HandleCommand(std::span<const uint8_t> payload) {
    // A packet is checked as the firmware would: length byte, signature, sum.
    if (payload.size() < 18 || payload[1] != 14 || payload[10] != 'H' || payload[11] != 'I' ||
        payload[12] != 'D' || payload[13] != 'C') {
        ++FRejectedPackets;
        return;
    }
    const uint32_t sum = std::accumulate(payload.begin(), payload.begin() + 14, 0u);
    if (sum != LittleEndian32(&payload[14])) {
        ++FRejectedPackets;
        return;
    }
    const uint32_t argument2 = LittleEndian32(&payload[6]);
    switch (payload[0]) {
    case 0x35:
        ++FReadCommands;
        if (!FOptions.Silent)
            QueueAnswer();
        break;
    case 0x5A:
        FBundle.clear();
        FBundle.reserve(std::min(argument2, kBundleSize));
        FBundleExpected = std::min(argument2, kBundleSize);
        FBundleStarted = true;
        break;
    default:
        ++FRejectedPackets;
        break;
    }
}

std::array<uint8_t, TKorvalisDeviceModel::kConfigBlockSize>
TKorvalisDeviceModel::ConfigBlock() const {
    std::array<uint8_t, kConfigBlockSize> block{};
    // Recognisable filler, so a test sees the block arrive in order.
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = uint8_t(i * 7 + 3);
    block[12] = FOptions.Marker;
    block[516] = FOptions.Firmware[0];
    block[517] = FOptions.Firmware[1];
    block[518] = FOptions.Firmware[2];
    return block;
}

void TKorvalisDeviceModel::QueueAnswer() {
    const auto block = ConfigBlock();
    std::vector<uint8_t> data(block.begin(), block.end());
    for (uint32_t i = 0; i < FOptions.ExtraAnswerBytes; ++i)
        data.push_back(uint8_t(0xE0 + i % 16));
    std::vector<uint16_t> split = FOptions.AnswerSplit;
    // A split of nothing but empty reports would never finish the block.
    if (std::all_of(split.begin(), split.end(), [](uint16_t n) { return n == 0; }))
        split = {64};
    size_t at = 0;
    for (size_t piece = 0; at < data.size(); ++piece) {
        const size_t n = std::min<size_t>({split[piece % split.size()], 64, data.size() - at});
        // A report carries exactly the bytes meant; an empty piece is a report
        // of the ID byte alone.
        std::vector<uint8_t> report(1 + n, 0);
        std::copy_n(data.begin() + at, n, report.begin() + 1);
        FInput.push_back(std::move(report));
        at += n;
    }
}

std::vector<uint8_t> TKorvalisDeviceModel::TakeInputReport() {
    if (FInput.empty())
        return {};
    std::vector<uint8_t> report = std::move(FInput.front());
    FInput.pop_front();
    return report;
}

bool ParseFirmwareVersion(const std::string& text, std::array<uint8_t, 3>& out) {
    std::array<uint8_t, 3> parts{};
    const char* p = text.data();
    const char* end = text.data() + text.size();
    for (size_t i = 0; i < 3; ++i) {
        unsigned value = 0;
        const auto [next, ec] = std::from_chars(p, end, value);
        if (ec != std::errc() || next == p || value > 255)
            return false;
        parts[i] = uint8_t(value);
        p = next;
        if (i < 2) {
            if (p == end || *p != '.')
                return false;
            ++p;
        }
    }
    if (p != end)
        return false;
    out = parts;
    return true;
}

} // namespace korvalis
