#include "HeadlessView.h"

#include <QThread>

#include <algorithm>

#include <unistd.h>

namespace korvalis::cli {

void THeadlessStatus::SetText(const std::string& text) {
    FText = text;
    if (!FOut)
        return;
    std::fprintf(FOut, "%s\n", text.c_str());
    std::fflush(FOut);
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
            [](int ms) { QThread::msleep(ulong(ms)); },
            // A new state always gets a status line of its own.
            [this](TConnectionState state) {
                Progress.EndLine(state == TConnectionState::csSucceeded);
            }};
}

} // namespace korvalis::cli
