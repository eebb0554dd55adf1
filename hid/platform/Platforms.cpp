#include "Platforms.h"

#include <mutex>

namespace korvalis {

void RegisterBuiltinHidModules() {
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterPlatformHidModules();
        RegisterSimHidModules();
    });
}

} // namespace korvalis
