#include "SetupApi.h"

#include "Hid.h"
#include "platform/Platforms.h"

#include <vector>

namespace korvalis {

namespace {

#define KORVALIS_SETUP_ENTRY(name) KORVALIS_BINDING_ENTRY(TSetupApi, name, 0)

TModuleBinding<TSetupApi>& Binding() {
    static TModuleBinding<TSetupApi> binding({
        KORVALIS_SETUP_ENTRY(SetupDiGetClassDevsA),
        KORVALIS_SETUP_ENTRY(SetupDiEnumDeviceInterfaces),
        KORVALIS_SETUP_ENTRY(SetupDiGetDeviceInterfaceDetailA),
        KORVALIS_SETUP_ENTRY(SetupDiGetDeviceRegistryPropertyA),
        KORVALIS_SETUP_ENTRY(SetupDiDestroyDeviceInfoList),
        KORVALIS_SETUP_ENTRY(SetupGetLastError),
        KORVALIS_SETUP_ENTRY(SetupMonitorOpen),
        KORVALIS_SETUP_ENTRY(SetupMonitorReceive),
        KORVALIS_SETUP_ENTRY(SetupMonitorClose),
    });
    return binding;
}

} // namespace

std::vector<std::string> SetupEntryPointNames() {
    std::vector<std::string> names;
    for (const auto& e : Binding().Entries())
        names.emplace_back(e.Name);
    return names;
}

void RegisterSetupModule(const std::string& name, const TSetupApi& api,
                         std::function<bool()> onLoad, std::function<void()> onUnload) {
    TModuleDefinition module = Binding().Module(api);
    module.OnLoad = std::move(onLoad);
    module.OnUnload = std::move(onUnload);
    RegisterModule(name, std::move(module));
}

bool LoadSetupLibrary() {
    RegisterBuiltinHidModules();
    return Binding().Load(SelectedHidModules().Setup.c_str());
}

void UnloadSetupLibrary() {
    Binding().Unload();
}

bool IsSetupLibraryLoaded() {
    return Binding().Loaded();
}
int32_t SetupLibraryLoadCount() {
    return Binding().LoadCount();
}
const TSetupApi& SetupApi() {
    return Binding().Table();
}

} // namespace korvalis
