#pragma once

// Binding of the platform's device set-up module: finding the present HID
// interfaces and the device-change broadcast.

#include "HidPlatform.h"
#include "ModuleLoader.h"

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
    SetupMonitorFd_t SetupMonitorFd = nullptr;
    SetupMonitorReceive_t SetupMonitorReceive = nullptr;
    SetupMonitorClose_t SetupMonitorClose = nullptr;
};

// Answers whether the set-up module is loaded with every name resolved.
bool LoadSetupLibrary();
void UnloadSetupLibrary();
bool IsSetupLibraryLoaded();
int32_t SetupLibraryLoadCount();
const TSetupApi& SetupApi();
// Every name the binding resolves.
std::vector<std::string> SetupEntryPointNames();

} // namespace korvalis
