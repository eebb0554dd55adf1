#pragma once

// The window operations of the connection, for a terminal: status texts become
// lines, the progress bar a bar drawn in place on a terminal. A view made
// without a stream prints nothing.

#include "protocol/Connection.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvalis::cli {

class THeadlessStatus : public IStatusPanel {
  public:
    explicit THeadlessStatus(std::FILE* out) : FOut(out) {}
    void SetText(const std::string& text) override;
    std::string Text() const override { return FText; }

  private:
    std::FILE* FOut;
    std::string FText;
};

class THeadlessButton : public IButton {
  public:
    void SetEnabled(bool enabled) override { FEnabled = enabled; }
    bool Enabled() const override { return FEnabled; }

  private:
    bool FEnabled = true;
};

class THeadlessCursor : public IWindowCursor, public IRepaintable {
  public:
    void SetCursor(TCursorKind) override {}
    void RepaintNow() override {}
};

// The connection's timer on the installed HID GUI loop: ticks every interval
// while enabled, like the window's timer. Each start, stop or new interval
// begins a new generation; a tick posted by an earlier one is dropped, so a
// stop really cancels and a restart never ticks early.
class TLoopTimer : public IOneShotTimer {
  public:
    void SetEnabled(bool enabled) override;
    bool Enabled() const override { return FEnabled; }
    void SetInterval(uint32_t milliseconds) override;
    uint32_t Interval() const override { return FInterval; }
    void SetOnTimer(std::function<void()> handler) override { FOnTimer = std::move(handler); }

  private:
    void Schedule();

    bool FEnabled = false;
    uint32_t FInterval = 1000;
    uint64_t FGeneration = 0;
    std::function<void()> FOnTimer;
    // Ticks still queued when the timer goes find it gone.
    std::shared_ptr<TLoopTimer*> FSelf = std::make_shared<TLoopTimer*>(this);
};

// Draws "[#####     ]  45%" in place when the output is a terminal; otherwise
// prints nothing until the end, so logs stay readable.
class TTerminalProgress : public IProgressBar {
  public:
    explicit TTerminalProgress(std::FILE* out);
    void SetMax(int max) override { FMax = max; }
    void SetPosition(int position) override { FPosition = position; }
    void SetVisible(bool visible) override;
    void RepaintNow() override;
    int Position() const { return FPosition; }
    int Max() const { return FMax; }
    // Before a status line: a bar on the terminal line is finished, full when
    // the work completed, so the status gets a line of its own.
    void EndLine(bool completed);

  private:
    void Draw(int percent);

    std::FILE* FOut;
    bool FTerminal;
    bool FVisible = false;
    bool FDrawn = false; // a bar stands on the current terminal line
    int FPercent = 0;
    int FMax = 100;
    int FPosition = 0;
};

// Everything a TConnection needs, headless.
struct THeadlessView {
    explicit THeadlessView(std::FILE* out);
    TTerminalProgress Progress;
    THeadlessStatus Status;
    THeadlessButton Upload;
    THeadlessCursor Cursor;
    TLoopTimer Dataflash;
    TConnectionView View();
};

} // namespace korvalis::cli
