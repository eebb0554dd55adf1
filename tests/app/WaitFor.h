#pragma once

// Spins the Qt event loop until a condition holds, so a test can wait for the
// window to react without fixed sleeps, or for a set time.

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

// Runs the event loop for ms whatever happens, so late effects can show up.
inline void Settle(int ms) {
    QElapsedTimer watch;
    watch.start();
    while (watch.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
}

} // namespace korvalis
