#include "Win32BusyWindow.h"

namespace korvalis {

namespace {

// The queued messages that are the user's input.
constexpr UINT kInputRanges[][2] = {
    {WM_KEYFIRST, WM_KEYLAST},
    {WM_MOUSEFIRST, WM_MOUSELAST},
    {WM_NCMOUSEMOVE, WM_NCXBUTTONDBLCLK},
    {WM_NCMOUSEHOVER, WM_MOUSELEAVE},
};

void DiscardInput() {
    MSG msg;
    for (const auto& range : kInputRanges)
        while (PeekMessageW(&msg, nullptr, range[0], range[1], PM_REMOVE | PM_NOYIELD)) {
        }
    // A file dropped meanwhile is input too; its list is ours to free.
    while (PeekMessageW(&msg, nullptr, WM_DROPFILES, WM_DROPFILES, PM_REMOVE | PM_NOYIELD))
        DragFinish(HDROP(msg.wParam));
}

void PaintDue() {
    // A window that does not validate itself would come back for ever.
    MSG msg;
    for (int i = 0; i < 64 && PeekMessageW(&msg, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE); ++i)
        DispatchMessageW(&msg);
}

} // namespace

void TWin32BusyWindow::BeginBusy() {
    ++FDepth;
}

void TWin32BusyWindow::KeepAlive() {
    if (FDepth == 0)
        return;
    DiscardInput();
    PaintDue();
}

void TWin32BusyWindow::EndBusy() {
    if (FDepth == 0)
        return;
    // Input that came in since the last turn is thrown away like the rest;
    // only what arrives after this is the user's next action.
    DiscardInput();
    PaintDue();
    --FDepth;
}

} // namespace korvalis
