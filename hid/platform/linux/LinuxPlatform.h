#pragma once

#include "hid/Hid.h"

namespace korvalis {

extern const THidModuleNames kLinuxModules;

// The Linux backend's two modules, registered under kLinuxModules.
void RegisterLinuxHidrawModule();
void RegisterLinuxUdevModule();

} // namespace korvalis
