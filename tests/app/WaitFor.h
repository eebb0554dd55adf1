#pragma once

// Spins the Qt event loop until a condition holds, so a test can wait for the
// window to react without fixed sleeps.

#include <QApplication>
#include <QElapsedTimer>

#include <functional>

namespace korvalis {

// False when the condition still fails after timeoutMs.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 3000) {
    QElapsedTimer watch;
    watch.start();
    while (!done()) {
        if (watch.elapsed() > timeoutMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

} // namespace korvalis
