#pragma once

// TAltBugFix: with the desktop's visual styles active, themed buttons do not
// redraw when ALT reveals the keyboard cues, so their accelerator underlines
// and focus rectangles stay stale. The fix watches the host's key-downs and
// repaints every button control of the host shortly after ALT, and after TAB
// or an arrow key that follows ALT.

#include "toolkit/KeyboardCue.h"
#include "toolkit/Toolkit.h"

#include <cstdint>
#include <memory>

namespace korvalis {

// Private window message the fix posts to its host; the host answers it with
// ForceControlRepaint. Both parameters are 0.
inline constexpr uint32_t WM_AltBugForceSelfRepaint = 0x81A9;

// How the repaint is deferred until the key has been processed.
enum class TAltBugFixDelayType : uint8_t {
    dtPostMsg = 0, // post WM_AltBugForceSelfRepaint to the host
    dtTimer = 1,   // arm a one-shot timer of TimerDelayMsec
};

class TAltBugFix {
  public:
    // The host owns the fix and outlives it, as do the styles query and the
    // timer factory. The fix owns its timer.
    TAltBugFix(ITimerFactory& timers, const IVisualStyles& visualStyles);
    ~TAltBugFix();
    TAltBugFix(const TAltBugFix&) = delete;
    TAltBugFix& operator=(const TAltBugFix&) = delete;

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool enabled) { FEnabled = enabled; }
    TAltBugFixDelayType DelayType() const { return FDelayType; }
    void SetDelayType(TAltBugFixDelayType delayType) { FDelayType = delayType; }
    uint32_t TimerDelayMsec() const { return FTimerDelayMsec; }
    void SetTimerDelayMsec(uint32_t milliseconds) { FTimerDelayMsec = milliseconds; }

    // Called for every key-down that reaches form, before form acts on it;
    // key is the virtual-key code. Never consumes the key.
    void KeyDownCheck(IFormWindow& form, uint16_t key);
    // Repaints every button control of the form recorded last, now. Runs even
    // when the fix has been disabled since the repaint was scheduled.
    void ForceControlRepaint();

    // Longest delay a timer can be armed with; longer ones are cut to it.
    static constexpr uint32_t kMaxTimerDelayMsec = 0x7FFFFFFF;

  private:
    void TimerTick();
    static void RepaintButtonControls(IControl& control);

    bool FEnabled = true;
    TAltBugFixDelayType FDelayType = TAltBugFixDelayType::dtTimer;
    uint32_t FTimerDelayMsec = 10;
    const IVisualStyles& FVisualStyles;
    std::unique_ptr<IOneShotTimer> FTimer;
    IFormWindow* FForm = nullptr;
    bool FAltSeen = false;
};

} // namespace korvalis
