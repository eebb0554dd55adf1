#pragma once

// Small fakes of the window operations, recording what the connection does.

#include "protocol/Connection.h"

#include <string>
#include <vector>

namespace korvalis::testing {

struct TFakeStatus : IStatusPanel {
    std::vector<std::string> History;
    void SetText(const std::string& text) override { History.push_back(text); }
    std::string Text() const override { return History.empty() ? "" : History.back(); }
};

struct TFakeButton : IButton {
    bool IsEnabled = true;
    void SetEnabled(bool enabled) override { IsEnabled = enabled; }
    bool Enabled() const override { return IsEnabled; }
};

struct TFakeCursor : IWindowCursor {
    std::vector<TCursorKind> History;
    void SetCursor(TCursorKind cursor) override { History.push_back(cursor); }
};

struct TFakeProgress : IProgressBar {
    int Max = 100, Position = 0, Repaints = 0;
    bool Visible = false;
    std::vector<int> RepaintedPositions;
    int MaxWhileVisible = 0;
    void SetMax(int max) override { Max = max; }
    void SetPosition(int position) override { Position = position; }
    void SetVisible(bool visible) override { Visible = visible; }
    void RepaintNow() override {
        RepaintedPositions.push_back(Position);
        MaxWhileVisible = Max;
    }
};

struct TFakeWindow : IRepaintable {
    int Repaints = 0;
    void RepaintNow() override { ++Repaints; }
};

struct TFakeTimer : IOneShotTimer {
    bool IsEnabled = false;
    int Starts = 0;
    uint32_t Ms = 500;
    std::function<void()> Handler;
    void SetEnabled(bool enabled) override {
        if (enabled && !IsEnabled)
            ++Starts;
        IsEnabled = enabled;
    }
    bool Enabled() const override { return IsEnabled; }
    void SetInterval(uint32_t ms) override { Ms = ms; }
    uint32_t Interval() const override { return Ms; }
    void SetOnTimer(std::function<void()> h) override { Handler = std::move(h); }
};

struct TFakeView {
    TFakeStatus Status;
    TFakeButton Upload;
    TFakeCursor Cursor;
    TFakeProgress Progress;
    TFakeWindow Window;
    TFakeTimer Timer;
    std::vector<int> Sleeps;
    std::vector<TConnectionState> States;
    TConnectionView View() {
        return {Status,
                Upload,
                Cursor,
                Progress,
                Window,
                Timer,
                [this](int ms) { Sleeps.push_back(ms); },
                [this](TConnectionState state) { States.push_back(state); }};
    }
};

// A device that records every report and can refuse writes from a given one on.
struct TFakeDevice : IProtocolDevice {
    uint16_t Vendor = 0x0416, Product = 0x5020, OutputLength = 65;
    int Claims = 0;
    bool Claimed = false;
    int FailFromWrite = -1; // index of the first refused write; -1 never
    std::vector<std::vector<uint8_t>> Writes;
    uint16_t VendorID() const override { return Vendor; }
    uint16_t ProductID() const override { return Product; }
    bool Claim() override {
        ++Claims;
        if (Claimed)
            return false;
        Claimed = true;
        return true;
    }
    uint16_t OutputReportByteLength() override { return OutputLength; }
    bool WriteReport(const uint8_t* report, uint32_t length) override {
        if (FailFromWrite >= 0 && int(Writes.size()) >= FailFromWrite)
            return false;
        Writes.emplace_back(report, report + length);
        return true;
    }
};

} // namespace korvalis::testing
