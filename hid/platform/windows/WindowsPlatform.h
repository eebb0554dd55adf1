#pragma once

// What the Windows backend's two modules share. Nothing here includes
// <windows.h>: its macros (INVALID_HANDLE_VALUE, ERROR_INVALID_HANDLE, ...)
// would clash with the seam's names, so every file includes the seam first.

#include "hid/Hid.h"

#include <string>

namespace korvalis {

extern const THidModuleNames kWindowsModules;

// korvalis-winhid over hid.dll, korvalis-winsetup over setupapi.dll.
void RegisterWindowsHidModule();
void RegisterWindowsSetupModule();

// Text is UTF-8 inside the layer and UTF-16 at every Windows call.
std::wstring Utf16(const std::string& text);
std::string Utf8(const wchar_t* text, size_t length);
std::string Utf8(const std::wstring& text);

} // namespace korvalis
