#pragma once

// The operating-system services the HID core needs besides the two bindings.
// Each platform folder implements them once (platform/linux/LinuxSystem.cpp);
// the core calls nothing of the system directly.

#include <cstdint>
#include <string>

namespace korvalis {

// A shared library loaded by the system's loader, or none.
void* SystemLoadModule(const char* name);
// The named entry point of module, or none.
void* SystemResolve(void* module, const char* name);
void SystemReleaseModule(void* module);
// The running system's version as major << 16 | minor << 8 | patch, 0 when
// it cannot be told.
uint32_t SystemVersion();
// Names the calling thread for debuggers and tools, as far as the system
// keeps it.
void SystemNameThread(const std::string& name);

} // namespace korvalis
