#pragma once

#include "hid/Hid.h"

namespace korvalis {

// Registers the backends built into the program as in-process modules under
// their names (the platform's and kSimModules); safe to call often.
void RegisterBuiltinHidModules();

// Every platform folder provides these two, beside the system services of
// hid/HidSystem.h.
// The module names the layer binds unless a caller chooses others.
THidModuleNames PlatformHidModules();
// Registers the platform's own backend modules.
void RegisterPlatformHidModules();

// The simulated platform, the same on every system.
void RegisterSimHidModules();

} // namespace korvalis
