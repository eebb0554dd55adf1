#include "AltBugFixes.h"

#include <algorithm>

namespace korvalis {

TAltBugFix::TAltBugFix(ITimerFactory& timers, const IVisualStyles& visualStyles)
    : FVisualStyles(visualStyles), FTimer(timers.CreateTimer()) {
    FTimer->SetInterval(FTimerDelayMsec);
    FTimer->SetEnabled(false);
    FTimer->SetOnTimer([this] { TimerTick(); });
}

TAltBugFix::~TAltBugFix() = default;

void TAltBugFix::KeyDownCheck(IFormWindow& form, uint16_t key) {
    const bool isAlt = key == vk::Alt;
    const bool isCueKey = key == vk::Tab || (key >= vk::Left && key <= vk::Down);
    if (!isAlt && !isCueKey)
        return;
    if (!FEnabled || !FVisualStyles.Active())
        return;
    // TAB and the arrows move the focus cue only once ALT has revealed the cues.
    if (!isAlt && !FAltSeen)
        return;
    FAltSeen = isAlt;
    FForm = &form;
    if (FDelayType == TAltBugFixDelayType::dtPostMsg) {
        form.FormMessages().PostMessage(WM_AltBugForceSelfRepaint, 0, 0);
    } else {
        // An armed timer keeps its schedule: only a changed delay restarts it.
        FTimer->SetInterval(std::min(FTimerDelayMsec, kMaxTimerDelayMsec));
        FTimer->SetEnabled(true);
    }
}

void TAltBugFix::TimerTick() {
    ForceControlRepaint();
    FTimer->SetEnabled(false);
}

void TAltBugFix::ForceControlRepaint() {
    if (FForm)
        RepaintButtonControls(FForm->FormControl());
}

void TAltBugFix::RepaintButtonControls(IControl& control) {
    if (!control.IsWindowed())
        return;
    if (control.IsButton()) {
        control.RepaintNow();
        return;
    }
    for (int i = 0; i < control.ControlCount(); ++i)
        RepaintButtonControls(control.Control(i));
}

} // namespace korvalis
