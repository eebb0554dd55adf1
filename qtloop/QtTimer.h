#pragma once

// The one-shot timer of the toolkit on a QTimer. QtCore only, so it is tested
// without a window.

#include "toolkit/Toolkit.h"

#include <QObject>
#include <QTimer>

namespace korvalis {

// Keeps its schedule when it is enabled again or given the interval it
// already has; a changed interval restarts a running timer.
class TQtTimer : public QObject, public IOneShotTimer {
  public:
    explicit TQtTimer(QObject* parent = nullptr);
    void SetEnabled(bool enabled) override;
    bool Enabled() const override { return FTimer.isActive(); }
    void SetInterval(uint32_t milliseconds) override;
    uint32_t Interval() const override { return uint32_t(FTimer.interval()); }
    void SetOnTimer(std::function<void()> handler) override { FOnTimer = std::move(handler); }

  private:
    QTimer FTimer;
    std::function<void()> FOnTimer;
};

} // namespace korvalis
