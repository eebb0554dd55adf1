// What the Linux platform gives the HID core: its backend modules
// (korvalis-hidraw, korvalis-udev), the dynamic loader, the kernel's version
// and thread names.
#include "LinuxPlatform.h"
#include "hid/Hid.h"
#include "hid/HidSystem.h"
#include "hid/platform/Platforms.h"

#include <cstdio>
#include <dlfcn.h>
#include <pthread.h>
#include <sys/utsname.h>

namespace korvalis {

const THidModuleNames kLinuxModules{"korvalis-hidraw", "korvalis-udev"};

THidModuleNames PlatformHidModules() {
    return kLinuxModules;
}

void RegisterPlatformHidModules() {
    RegisterLinuxHidrawModule();
    RegisterLinuxUdevModule();
}

void* SystemLoadModule(const char* name) {
    return dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

void* SystemResolve(void* module, const char* name) {
    return dlsym(module, name);
}

void SystemReleaseModule(void* module) {
    dlclose(module);
}

uint32_t SystemVersion() {
    utsname name{};
    if (uname(&name) != 0)
        return 0;
    unsigned major = 0, minor = 0, patch = 0;
    std::sscanf(name.release, "%u.%u.%u", &major, &minor, &patch);
    return major << 16 | minor << 8 | (patch > 255 ? 255 : patch);
}

void SystemNameThread(const std::string& name) {
    // The kernel keeps 15 characters and the terminating zero.
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

} // namespace korvalis
