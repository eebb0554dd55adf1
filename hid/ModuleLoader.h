#pragma once

// Run-time binding by name. A module is either a shared library found by the
// system's loader or one registered in-process under a name (a backend built
// into the program, or a stand-in a test registers); both are loaded, resolved
// and released the same way.

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace korvalis {

using TModuleHandle = void*;

struct TModuleDefinition {
    std::map<std::string, void*> Symbols;
    // Runs at the first load; false fails the load, as a library whose
    // initialisation fails does.
    std::function<bool()> OnLoad;
    // Runs when the last load is released.
    std::function<void()> OnUnload;
};

// Registers (or replaces) an in-process module. Registered names are looked up
// before the system loader is asked.
void RegisterModule(const std::string& name, TModuleDefinition definition);
void UnregisterModule(const std::string& name);

// Loads name into handle, only when handle holds none yet. Answers whether a
// handle is held afterwards.
bool LoadModule(TModuleHandle& handle, const char* name);
// Releases the module when handle holds one; handle holds none afterwards.
void ReleaseModule(TModuleHandle& handle);
// The entry point name of the module, or none (also when handle holds none);
// allFound stays true only while every name was found.
void* ResolveName(TModuleHandle handle, const char* name, bool& allFound);

// The running system's version (on Linux the kernel's) as major << 16 | minor << 8 | patch, for
// entry points that exist only from some version on.
uint32_t PlatformVersion();
// Tests pretend another version; 0 returns to the real one.
void SetPlatformVersionForTesting(uint32_t version);
constexpr uint32_t MakePlatformVersion(uint32_t major, uint32_t minor, uint32_t patch = 0) {
    return major << 16 | minor << 8 | patch;
}

template <class T> T ResolveAs(TModuleHandle handle, const char* name, bool& allFound) {
    return reinterpret_cast<T>(ResolveName(handle, name, allFound));
}

} // namespace korvalis
