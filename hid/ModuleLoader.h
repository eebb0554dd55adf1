#pragma once

// Run-time binding by name. A module is either a shared library found by the
// system's loader or one registered in-process under a name (a backend built
// into the program, or a stand-in a test registers); both are loaded, resolved
// and released the same way.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

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

// One name of a binding and the typed slot of its table it fills.
template <class TTable> struct TBindingEntry {
    const char* Name;
    uint32_t MinVersion; // 0: any; a newer name is neither looked up nor required
    void (*Set)(TTable& table, void* routine);
    void* (*Get)(const TTable& table);
};

#define KORVALIS_BINDING_ENTRY(Table, name, gate)                                                  \
    ::korvalis::TBindingEntry<Table> {                                                             \
#name, gate,                                                                               \
            [](Table& t, void* r) { t.name = reinterpret_cast<decltype(Table::name)>(r); },        \
            [](const Table& t) { return reinterpret_cast<void*>(t.name); }       \
    }

// The binding of one module by name into a table of typed slots, the same for
// the layer's two bindings and for a backend's own shared library: load
// counts, every name resolved, all found or nothing bound, release.
template <class TTable> class TModuleBinding {
  public:
    explicit TModuleBinding(std::vector<TBindingEntry<TTable>> entries)
        : FEntries(std::move(entries)) {}

    // Raises the count; the first load loads name and resolves every entry.
    // A module that lacks a name is released and its count given back; one
    // that is missing keeps its count raised and is not tried again until the
    // count is back at 0. Answers whether the module is bound.
    bool Load(const char* name) {
        if (++FLoadCount > 1)
            return FHandle != nullptr;
        if (!LoadModule(FHandle, name))
            return false;
        bool all = true;
        const uint32_t version = PlatformVersion();
        for (const TBindingEntry<TTable>& e : FEntries)
            if (version >= e.MinVersion)
                e.Set(FTable, ResolveName(FHandle, e.Name, all));
        if (!all) {
            Unload();
            return false;
        }
        return true;
    }
    // Load for a module's load hook, which sees no unload when it fails: a
    // failed load gives back the count it raised, whether the module was
    // missing or lacked a name, so the next load tries name again.
    bool LoadOrGiveBack(const char* name) {
        const int32_t before = FLoadCount;
        if (Load(name))
            return true;
        if (FLoadCount > before)
            Unload();
        return false;
    }
    void Unload() {
        if (--FLoadCount > 0)
            return;
        ReleaseModule(FHandle);
        FTable = TTable{};
    }
    bool Loaded() const { return FHandle != nullptr; }
    int32_t LoadCount() const { return FLoadCount; }
    TModuleHandle Handle() const { return FHandle; }
    const TTable& Table() const { return FTable; }
    const std::vector<TBindingEntry<TTable>>& Entries() const { return FEntries; }

    // An in-process module made of a backend's typed table; an empty slot is
    // a name the module lacks.
    TModuleDefinition Module(const TTable& table) const {
        TModuleDefinition module;
        for (const TBindingEntry<TTable>& e : FEntries)
            if (void* routine = e.Get(table))
                module.Symbols[e.Name] = routine;
        return module;
    }

  private:
    std::vector<TBindingEntry<TTable>> FEntries;
    TModuleHandle FHandle = nullptr;
    int32_t FLoadCount = 0;
    TTable FTable{};
};

} // namespace korvalis
