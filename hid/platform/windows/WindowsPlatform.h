#pragma once

// What the Windows backend's two modules share. Nothing here includes
// <windows.h>: its macros (INVALID_HANDLE_VALUE, ERROR_INVALID_HANDLE, ...)
// would clash with the seam's names, so every file includes the seam first.

#include "graphics/Stream.h" // Utf16, Utf8: UTF-8 inside, UTF-16 at every Windows call
#include "hid/Hid.h"

#include <string>

namespace korvalis {

extern const THidModuleNames kWindowsModules;

// korvalis-winhid over hid.dll, korvalis-winsetup over setupapi.dll.
void RegisterWindowsHidModule();
void RegisterWindowsSetupModule();

} // namespace korvalis
