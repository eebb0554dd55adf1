#include "HeadlessView.h"

#include <QThread>

#include <algorithm>

#include <unistd.h>

namespace korvalis::cli {

void THeadlessStatus::SetText(const std::string& text) {
    FText = text;
    FHistory.push_back(text);
    std::fprintf(FOut, "%s\n", text.c_str());
    std::fflush(FOut);
}

TTerminalProgress::TTerminalProgress(std::FILE* out)
    : FOut(out), FTerminal(::isatty(::fileno(out)) != 0) {}

void TTerminalProgress::SetVisible(bool visible) {
    if (FVisible && !visible && FTerminal) {
        std::fprintf(FOut, "\r\033[K");
        std::fflush(FOut);
    }
    FVisible = visible;
}

void TTerminalProgress::RepaintNow() {
    if (!FVisible || !FTerminal || FMax <= 0)
        return;
    constexpr int kWidth = 40;
    const int filled = std::clamp(FPosition * kWidth / FMax, 0, kWidth);
    std::string bar(size_t(filled), '#');
    bar.append(size_t(kWidth - filled), ' ');
    std::fprintf(FOut, "\r[%s] %3d%%", bar.c_str(), FPosition * 100 / FMax);
    std::fflush(FOut);
}

THeadlessView::THeadlessView(std::FILE* out) : Status(out), Progress(out) {
    Dataflash.SetInterval(500);
}

TConnectionView THeadlessView::View() {
    return {Status,
            Upload,
            Cursor,
            Progress,
            Cursor,
            Dataflash,
            [](int ms) { QThread::msleep(ulong(ms)); }};
}

} // namespace korvalis::cli
