#pragma once

// Binding of the platform's device set-up module: finding the present HID
// interfaces and the device-change broadcast.

#include "HidPlatform.h"
#include "ModuleLoader.h"

#include <functional>
#include <string>
#include <vector>

namespace korvalis {

struct TSetupApi {
    SetupDiGetClassDevsA_t SetupDiGetClassDevsA = nullptr;
    SetupDiEnumDeviceInterfaces_t SetupDiEnumDeviceInterfaces = nullptr;
    SetupDiGetDeviceInterfaceDetailA_t SetupDiGetDeviceInterfaceDetailA = nullptr;
    SetupDiGetDeviceRegistryPropertyA_t SetupDiGetDeviceRegistryPropertyA = nullptr;
    SetupDiDestroyDeviceInfoList_t SetupDiDestroyDeviceInfoList = nullptr;
    SetupGetLastError_t SetupGetLastError = nullptr;
    SetupMonitorOpen_t SetupMonitorOpen = nullptr;
    SetupMonitorReceive_t SetupMonitorReceive = nullptr;
    SetupMonitorClose_t SetupMonitorClose = nullptr;
};

// Answers whether the set-up module is loaded with every name resolved.
bool LoadSetupLibrary();
void UnloadSetupLibrary();
bool IsSetupLibraryLoaded();
int32_t SetupLibraryLoadCount();
const TSetupApi& SetupApi();
// Registers a backend built into the program as an in-process set-up module,
// from a typed table (see RegisterHidModule); onLoad and onUnload run at its
// first load and last release.
void RegisterSetupModule(const std::string& name, const TSetupApi& api,
                         std::function<bool()> onLoad = {}, std::function<void()> onUnload = {});
// Every name the binding resolves.
std::vector<std::string> SetupEntryPointNames();

} // namespace korvalis
