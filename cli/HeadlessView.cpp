#include "HeadlessView.h"

#include "hid/HidGuiLoop.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

#include <unistd.h>

namespace korvalis::cli {

void THeadlessStatus::SetText(const std::string& text) {
    FText = text;
    if (!FOut)
        return;
    std::fprintf(FOut, "%s\n", text.c_str());
    std::fflush(FOut);
}

void TLoopTimer::SetEnabled(bool enabled) {
    if (enabled == FEnabled)
        return;
    FEnabled = enabled;
    ++FGeneration;
    if (enabled)
        Schedule();
}

void TLoopTimer::SetInterval(uint32_t milliseconds) {
    if (milliseconds == FInterval)
        return;
    FInterval = milliseconds;
    if (!FEnabled)
        return;
    ++FGeneration;
    Schedule();
}

void TLoopTimer::Schedule() {
    IHidGuiLoop* loop = HidGuiLoop();
    if (!loop)
        throw std::logic_error("a timer needs an installed event loop");
    loop->PostDelayed(int(FInterval),
                      [self = std::weak_ptr<TLoopTimer*>(FSelf), generation = FGeneration] {
                          const auto alive = self.lock();
                          if (!alive)
                              return;
                          TLoopTimer& timer = **alive;
                          if (!timer.FEnabled || timer.FGeneration != generation)
                              return;
                          // The next tick first: the handler may stop the timer.
                          timer.Schedule();
                          if (timer.FOnTimer)
                              timer.FOnTimer();
                      });
}

TTerminalProgress::TTerminalProgress(std::FILE* out)
    : FOut(out), FTerminal(out && ::isatty(::fileno(out)) != 0) {}

void TTerminalProgress::SetVisible(bool visible) {
    if (FVisible && !visible && FDrawn) {
        std::fprintf(FOut, "\r\033[K");
        std::fflush(FOut);
        FDrawn = false;
    }
    FVisible = visible;
}

void TTerminalProgress::Draw(int percent) {
    constexpr int kWidth = 40;
    const int filled = std::clamp(percent * kWidth / 100, 0, kWidth);
    std::string bar(size_t(filled), '#');
    bar.append(size_t(kWidth - filled), ' ');
    std::fprintf(FOut, "\r[%s] %3d%%", bar.c_str(), percent);
    std::fflush(FOut);
    FDrawn = true;
    FPercent = percent;
}

void TTerminalProgress::RepaintNow() {
    if (!FVisible || !FTerminal || FMax <= 0)
        return;
    Draw(std::clamp(FPosition * 100 / FMax, 0, 100));
}

void TTerminalProgress::EndLine(bool completed) {
    if (!FDrawn)
        return;
    // The last step is drawn before its reports go out, so the bar never
    // reaches the end by itself.
    if (completed && FPercent < 100)
        Draw(100);
    std::fprintf(FOut, "\n");
    std::fflush(FOut);
    FDrawn = false;
}

THeadlessView::THeadlessView(std::FILE* out) : Progress(out), Status(out) {
    Dataflash.SetInterval(500);
}

TConnectionView THeadlessView::View() {
    return {Status, Upload, Cursor, Progress, Cursor, Dataflash,
            [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); },
            // A new state always gets a status line of its own.
            [this](TConnectionState state) {
                Progress.EndLine(state == TConnectionState::csSucceeded);
            }};
}

} // namespace korvalis::cli
