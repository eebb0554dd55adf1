#pragma once

// <windows.h> for the window code, included through here only. The HID
// layer's platform records carry the desktop's own names (HANDLE, GUID,
// GENERIC_READ, ...) in its namespace, and the toolkit has a PostMessage of
// its own: their headers are read before the desktop's macros exist, and the
// macros that would rename the project's functions are taken back.

#include "form/MainForm.h"
#include "hid/HidControllerClass.h"
#include "hid/HidPlatform.h"
#include "hid/platform/sim/SimPlatform.h"
#include "toolkit/Toolkit.h"

#include <windows.h>
// File drops (HDROP).
#include <shellapi.h>

#undef PostMessage
#undef LoadImage
