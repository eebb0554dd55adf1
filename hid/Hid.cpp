#include "Hid.h"

#include "platform/Platforms.h"

#include <cstddef>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

namespace korvalis {

const THidModuleNames kSimModules{"korvalis-sim-hid", "korvalis-sim-setup"};

namespace {

std::mutex gNamesLock;
// The platform's own modules until a caller chooses others.
std::optional<THidModuleNames> gNames;

struct THidBinding {
    TModuleHandle Handle = nullptr;
    int32_t LoadCount = 0;
    THidApi Api;
};
THidBinding gHid;

struct THidEntry {
    const char* Name;
    size_t Offset;
    uint32_t MinVersion;
};

#define KORVALIS_HID_ENTRY(name, gate)                                                             \
    { #name, offsetof(THidApi, name), gate }

const std::vector<THidEntry>& Entries() {
    static const std::vector<THidEntry> entries{
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
    };
    return entries;
}

} // namespace

std::vector<std::pair<std::string, uint32_t>> HidEntryPointNames() {
    std::vector<std::pair<std::string, uint32_t>> names;
    for (const THidEntry& e : Entries())
        names.emplace_back(e.Name, e.MinVersion);
    return names;
}

void RegisterHidModule(const std::string& name, const THidApi& api, CancelIo_t cancel) {
    TModuleDefinition module;
    for (const THidEntry& e : Entries()) {
        void* routine;
        std::memcpy(&routine, reinterpret_cast<const char*>(&api) + e.Offset, sizeof routine);
        if (routine)
            module.Symbols[e.Name] = routine;
    }
    if (cancel)
        module.Symbols["CancelIo"] = reinterpret_cast<void*>(cancel);
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
    if (++gHid.LoadCount > 1)
        return;
    RegisterBuiltinHidModules();
    if (!LoadModule(gHid.Handle, SelectedHidModules().Hid.c_str()))
        return;
    bool all = true;
    const uint32_t version = PlatformVersion();
    for (const THidEntry& e : Entries()) {
        if (version < e.MinVersion)
            continue;
        void* found = ResolveName(gHid.Handle, e.Name, all);
        std::memcpy(reinterpret_cast<char*>(&gHid.Api) + e.Offset, &found, sizeof found);
    }
    if (!all)
        UnloadHidLibrary();
}

void UnloadHidLibrary() {
    if (--gHid.LoadCount > 0)
        return;
    ReleaseModule(gHid.Handle);
    gHid.Api = THidApi{};
}

bool IsHidLibraryLoaded() {
    return gHid.Handle != nullptr;
}
int32_t HidLibraryLoadCount() {
    return gHid.LoadCount;
}
const THidApi& HidApi() {
    return gHid.Api;
}

bool HidCancelIo(HANDLE handle) {
    bool found = true;
    auto cancel = ResolveAs<CancelIo_t>(gHid.Handle, "CancelIo", found);
    return cancel && cancel(handle);
}

} // namespace korvalis
