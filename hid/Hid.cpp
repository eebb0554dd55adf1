#include "Hid.h"

#include "platform/Platforms.h"

#include <mutex>
#include <optional>
#include <vector>

namespace korvalis {

const THidModuleNames kSimModules{"korvalis-sim-hid", "korvalis-sim-setup"};

namespace {

std::mutex gNamesLock;
// The platform's own modules until a caller chooses others.
std::optional<THidModuleNames> gNames;

#define KORVALIS_HID_ENTRY(name, gate) KORVALIS_BINDING_ENTRY(THidApi, name, gate)

TModuleBinding<THidApi>& Binding() {
    static TModuleBinding<THidApi> binding({
        KORVALIS_HID_ENTRY(HidD_GetHidGuid, 0),
        KORVALIS_HID_ENTRY(HidD_GetPreparsedData, 0),
        KORVALIS_HID_ENTRY(HidD_FreePreparsedData, 0),
        KORVALIS_HID_ENTRY(HidD_FlushQueue, 0),
        KORVALIS_HID_ENTRY(HidD_GetNumInputBuffers, 0),
        KORVALIS_HID_ENTRY(HidD_SetNumInputBuffers, 0),
        KORVALIS_HID_ENTRY(HidD_GetAttributes, 0),
        KORVALIS_HID_ENTRY(HidD_GetInputReport, kInputReportGate),
        KORVALIS_HID_ENTRY(HidD_SetOutputReport, kInputReportGate),
        KORVALIS_HID_ENTRY(HidP_GetCaps, 0),
        KORVALIS_HID_ENTRY(CreateFileA, 0),
        KORVALIS_HID_ENTRY(CloseHandle, 0),
        KORVALIS_HID_ENTRY(WriteFile, 0),
        KORVALIS_HID_ENTRY(ReadFileEx, 0),
        KORVALIS_HID_ENTRY(ReadWait, 0),
        KORVALIS_HID_ENTRY(ReadWake, 0),
        KORVALIS_HID_ENTRY(GetOverlappedResult, 0),
        KORVALIS_HID_ENTRY(GetLastError, 0),
    });
    return binding;
}

} // namespace

std::vector<std::pair<std::string, uint32_t>> HidEntryPointNames() {
    std::vector<std::pair<std::string, uint32_t>> names;
    for (const auto& e : Binding().Entries())
        names.emplace_back(e.Name, e.MinVersion);
    return names;
}

void RegisterHidModule(const std::string& name, const THidApi& api, CancelIo_t cancel,
                       std::function<bool()> onLoad, std::function<void()> onUnload) {
    TModuleDefinition module = Binding().Module(api);
    if (cancel)
        module.Symbols["CancelIo"] = reinterpret_cast<void*>(cancel);
    module.OnLoad = std::move(onLoad);
    module.OnUnload = std::move(onUnload);
    RegisterModule(name, std::move(module));
}

void SelectHidModules(THidModuleNames names) {
    std::lock_guard lock(gNamesLock);
    gNames = std::move(names);
}

THidModuleNames SelectedHidModules() {
    std::lock_guard lock(gNamesLock);
    if (!gNames)
        gNames = PlatformHidModules();
    return *gNames;
}

void LoadHidLibrary() {
    RegisterBuiltinHidModules();
    Binding().Load(SelectedHidModules().Hid.c_str());
}

void UnloadHidLibrary() {
    Binding().Unload();
}

bool IsHidLibraryLoaded() {
    return Binding().Loaded();
}
int32_t HidLibraryLoadCount() {
    return Binding().LoadCount();
}
const THidApi& HidApi() {
    return Binding().Table();
}

bool HidCancelIo(HANDLE handle) {
    bool found = true;
    auto cancel = ResolveAs<CancelIo_t>(Binding().Handle(), "CancelIo", found);
    return cancel && cancel(handle);
}

} // namespace korvalis
