#include "SetupApi.h"

#include "Hid.h"
#include "platform/Platforms.h"

#include <cstddef>
#include <cstring>
#include <vector>

namespace korvalis {

namespace {

struct TSetupBinding {
    TModuleHandle Handle = nullptr;
    int32_t LoadCount = 0;
    TSetupApi Api;
};
TSetupBinding gSetup;

struct TSetupEntry {
    const char* Name;
    size_t Offset;
};

#define KORVALIS_SETUP_ENTRY(name)                                                                 \
    { #name, offsetof(TSetupApi, name) }

const std::vector<TSetupEntry>& Entries() {
    static const std::vector<TSetupEntry> entries{
        KORVALIS_SETUP_ENTRY(SetupDiGetClassDevsA),
        KORVALIS_SETUP_ENTRY(SetupDiEnumDeviceInterfaces),
        KORVALIS_SETUP_ENTRY(SetupDiGetDeviceInterfaceDetailA),
        KORVALIS_SETUP_ENTRY(SetupDiGetDeviceRegistryPropertyA),
        KORVALIS_SETUP_ENTRY(SetupDiDestroyDeviceInfoList),
        KORVALIS_SETUP_ENTRY(SetupGetLastError),
        KORVALIS_SETUP_ENTRY(SetupMonitorOpen),
        KORVALIS_SETUP_ENTRY(SetupMonitorReceive),
        KORVALIS_SETUP_ENTRY(SetupMonitorClose),
    };
    return entries;
}

} // namespace

std::vector<std::string> SetupEntryPointNames() {
    std::vector<std::string> names;
    for (const TSetupEntry& e : Entries())
        names.emplace_back(e.Name);
    return names;
}

void RegisterSetupModule(const std::string& name, const TSetupApi& api,
                         std::function<bool()> onLoad, std::function<void()> onUnload) {
    TModuleDefinition module;
    for (const TSetupEntry& e : Entries()) {
        void* routine;
        std::memcpy(&routine, reinterpret_cast<const char*>(&api) + e.Offset, sizeof routine);
        if (routine)
            module.Symbols[e.Name] = routine;
    }
    module.OnLoad = std::move(onLoad);
    module.OnUnload = std::move(onUnload);
    RegisterModule(name, std::move(module));
}

bool LoadSetupLibrary() {
    // A module that failed to load keeps its count raised and is not tried
    // again; say so instead of claiming success with nothing bound.
    if (++gSetup.LoadCount > 1)
        return gSetup.Handle != nullptr;
    RegisterBuiltinHidModules();
    if (!LoadModule(gSetup.Handle, SelectedHidModules().Setup.c_str()))
        return false;
    bool all = true;
    for (const TSetupEntry& e : Entries()) {
        void* found = ResolveName(gSetup.Handle, e.Name, all);
        std::memcpy(reinterpret_cast<char*>(&gSetup.Api) + e.Offset, &found, sizeof found);
    }
    if (!all) {
        UnloadSetupLibrary();
        return false;
    }
    return true;
}

void UnloadSetupLibrary() {
    if (--gSetup.LoadCount > 0)
        return;
    ReleaseModule(gSetup.Handle);
    gSetup.Api = TSetupApi{};
}

bool IsSetupLibraryLoaded() {
    return gSetup.Handle != nullptr;
}
int32_t SetupLibraryLoadCount() {
    return gSetup.LoadCount;
}
const TSetupApi& SetupApi() {
    return gSetup.Api;
}

} // namespace korvalis
