#include "QtTimer.h"

namespace korvalis {

TQtTimer::TQtTimer(QObject* parent) : QObject(parent) {
    connect(&FTimer, &QTimer::timeout, this, [this] {
        if (FOnTimer)
            FOnTimer();
    });
}

void TQtTimer::SetEnabled(bool enabled) {
    if (enabled == FTimer.isActive())
        return;
    if (enabled)
        FTimer.start();
    else
        FTimer.stop();
}

void TQtTimer::SetInterval(uint32_t milliseconds) {
    if (int(milliseconds) != FTimer.interval())
        FTimer.setInterval(int(milliseconds));
}

} // namespace korvalis
