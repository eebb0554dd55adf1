#pragma once

namespace korvalis {

// Registers the backends built into the program as in-process modules under
// their names (kLinuxModules, kSimModules); safe to call often.
void RegisterBuiltinHidModules();

void RegisterLinuxHidModules();
void RegisterLinuxHidrawModule();
void RegisterLinuxUdevModule();
void RegisterSimHidModules();

} // namespace korvalis
