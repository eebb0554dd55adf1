#include "ModuleLoader.h"

#include "HidSystem.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <set>

namespace korvalis {

namespace {

// One loaded in-process module; its address is the handle.
struct TModuleInstance {
    std::string Name;
    TModuleDefinition Definition;
    int References = 0;
};

struct TRegistry {
    std::mutex Lock;
    std::map<std::string, std::shared_ptr<TModuleDefinition>> Definitions;
    std::map<std::string, std::unique_ptr<TModuleInstance>> Loaded;
    std::set<const void*> Instances;
};

TRegistry& Registry() {
    static TRegistry registry;
    return registry;
}

std::atomic<uint32_t> gVersionOverride{0};

} // namespace

void RegisterModule(const std::string& name, TModuleDefinition definition) {
    TRegistry& r = Registry();
    std::lock_guard lock(r.Lock);
    r.Definitions[name] = std::make_shared<TModuleDefinition>(std::move(definition));
}

void UnregisterModule(const std::string& name) {
    TRegistry& r = Registry();
    std::lock_guard lock(r.Lock);
    r.Definitions.erase(name);
}

bool LoadModule(TModuleHandle& handle, const char* name) {
    if (handle)
        return true;
    TRegistry& r = Registry();
    std::unique_lock lock(r.Lock);
    if (auto loaded = r.Loaded.find(name); loaded != r.Loaded.end()) {
        ++loaded->second->References;
        handle = loaded->second.get();
        return true;
    }
    if (auto def = r.Definitions.find(name); def != r.Definitions.end()) {
        auto instance = std::make_unique<TModuleInstance>();
        instance->Name = name;
        instance->Definition = *def->second;
        instance->References = 1;
        // The hook may itself bind other modules, so it runs unlocked.
        lock.unlock();
        if (instance->Definition.OnLoad && !instance->Definition.OnLoad())
            return false;
        lock.lock();
        handle = instance.get();
        r.Instances.insert(instance.get());
        r.Loaded[name] = std::move(instance);
        return true;
    }
    lock.unlock();
    handle = SystemLoadModule(name);
    return handle != nullptr;
}

void ReleaseModule(TModuleHandle& handle) {
    if (!handle)
        return;
    TRegistry& r = Registry();
    std::unique_lock lock(r.Lock);
    if (r.Instances.count(handle)) {
        auto* instance = static_cast<TModuleInstance*>(handle);
        handle = nullptr;
        if (--instance->References > 0)
            return;
        std::unique_ptr<TModuleInstance> owned = std::move(r.Loaded[instance->Name]);
        r.Loaded.erase(instance->Name);
        r.Instances.erase(instance);
        lock.unlock();
        if (owned->Definition.OnUnload)
            owned->Definition.OnUnload();
        return;
    }
    lock.unlock();
    SystemReleaseModule(handle);
    handle = nullptr;
}

void* ResolveName(TModuleHandle handle, const char* name, bool& allFound) {
    void* found = nullptr;
    if (handle) {
        TRegistry& r = Registry();
        std::unique_lock lock(r.Lock);
        if (r.Instances.count(handle)) {
            const auto& symbols = static_cast<TModuleInstance*>(handle)->Definition.Symbols;
            if (auto s = symbols.find(name); s != symbols.end())
                found = s->second;
        } else {
            lock.unlock();
            found = SystemResolve(handle, name);
        }
    }
    allFound = allFound && found != nullptr;
    return found;
}

uint32_t PlatformVersion() {
    if (uint32_t v = gVersionOverride.load())
        return v;
    return SystemVersion();
}

void SetPlatformVersionForTesting(uint32_t version) {
    gVersionOverride = version;
}

} // namespace korvalis
