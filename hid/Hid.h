#pragma once

// Binding of the platform's HID module: its entry points, looked up by name
// when the module is loaded.

#include "HidPlatform.h"
#include "ModuleLoader.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace korvalis {

struct THidApi {
    HidD_GetHidGuid_t HidD_GetHidGuid = nullptr;
    HidD_GetAttributes_t HidD_GetAttributes = nullptr;
    HidD_GetPreparsedData_t HidD_GetPreparsedData = nullptr;
    HidD_FreePreparsedData_t HidD_FreePreparsedData = nullptr;
    HidD_FlushQueue_t HidD_FlushQueue = nullptr;
    HidD_GetNumInputBuffers_t HidD_GetNumInputBuffers = nullptr;
    HidD_SetNumInputBuffers_t HidD_SetNumInputBuffers = nullptr;
    // Only from kernel 5.11 on, which added the ioctls behind them.
    HidD_GetInputReport_t HidD_GetInputReport = nullptr;
    HidD_SetOutputReport_t HidD_SetOutputReport = nullptr;
    HidP_GetCaps_t HidP_GetCaps = nullptr;
    CreateFileA_t CreateFileA = nullptr;
    CloseHandle_t CloseHandle = nullptr;
    WriteFile_t WriteFile = nullptr;
    ReadFileEx_t ReadFileEx = nullptr;
    ReadWait_t ReadWait = nullptr;
    ReadWake_t ReadWake = nullptr;
    GetOverlappedResult_t GetOverlappedResult = nullptr;
    GetLastError_t GetLastError = nullptr;
};

inline constexpr uint32_t kInputReportGate = MakePlatformVersion(5, 11);

// The module names the two bindings load; the platform's own backend unless
// a caller chooses another (the simulated platform, or a test's own modules).
struct THidModuleNames {
    std::string Hid;
    std::string Setup;
};
extern const THidModuleNames kSimModules;
void SelectHidModules(THidModuleNames names);
THidModuleNames SelectedHidModules();

void LoadHidLibrary();
void UnloadHidLibrary();
bool IsHidLibraryLoaded();
int32_t HidLibraryLoadCount();
const THidApi& HidApi();
// Every name the binding resolves, with the kernel version it needs (0: any).
std::vector<std::pair<std::string, uint32_t>> HidEntryPointNames();

// Registers a backend built into the program as an in-process HID module,
// from a typed table: a routine of the wrong signature does not compile, and
// an empty slot is a name the module lacks. CancelIo is optional; onLoad and
// onUnload run at the module's first load and last release (a backend that
// binds a system library there).
void RegisterHidModule(const std::string& name, const THidApi& api, CancelIo_t cancel = nullptr,
                       std::function<bool()> onLoad = {}, std::function<void()> onUnload = {});

// Looks CancelIo up in the loaded HID module each time, as the reader needs it
// only on the way out; false when the module or the name is missing.
bool HidCancelIo(HANDLE handle);

} // namespace korvalis
