// What the Windows platform gives the HID core: its backend modules
// (korvalis-winhid over hid.dll, korvalis-winsetup over setupapi.dll), the
// system's loader, its version and thread names.
#include "WindowsPlatform.h"

#include "hid/HidSystem.h"
#include "hid/platform/Platforms.h"

#include <windows.h>

#include <string>

namespace korvalis {

const THidModuleNames kWindowsModules{"korvalis-winhid", "korvalis-winsetup"};

THidModuleNames PlatformHidModules() {
    return kWindowsModules;
}

void RegisterPlatformHidModules() {
    RegisterWindowsHidModule();
    RegisterWindowsSetupModule();
}

void* SystemLoadModule(const char* name) {
    // Only the system directory: a DLL of the same name beside the program
    // or in the working directory is never picked up.
    return LoadLibraryExW(Utf16(name).c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

void* SystemResolve(void* module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void SystemReleaseModule(void* module) {
    FreeLibrary(static_cast<HMODULE>(module));
}

uint32_t SystemVersion() {
    // GetVersionEx lies to programs without a manifest; ntdll tells the truth.
    struct TOsVersion {
        ULONG Size, Major, Minor, Build, Platform;
        WCHAR ServicePack[128];
    };
    using RtlGetVersion_t = LONG(WINAPI*)(TOsVersion*);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto get = ntdll ? reinterpret_cast<RtlGetVersion_t>(
                                 reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
                           : nullptr;
    TOsVersion v{};
    v.Size = sizeof v;
    if (!get || get(&v) != 0)
        return 0;
    return v.Major << 16 | v.Minor << 8 | (v.Build > 255 ? 255 : v.Build);
}

void SystemNameThread(const std::string& name) {
    // From Windows 10 1607 on; older systems keep no thread names.
    using SetThreadDescription_t = HRESULT(WINAPI*)(::HANDLE, PCWSTR);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto set = kernel ? reinterpret_cast<SetThreadDescription_t>(reinterpret_cast<void*>(
                                  GetProcAddress(kernel, "SetThreadDescription")))
                            : nullptr;
    if (set)
        set(GetCurrentThread(), Utf16(name).c_str());
}

} // namespace korvalis
