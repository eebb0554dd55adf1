#pragma once

// The main window's stored layout: every component with its kind, name, place,
// caption and keyboard order, in creation order. Any toolkit builds the window
// from this one table; the form behaviour finds the components by these names.

#include "toolkit/Layout.h"

#include <span>
#include <string>

namespace korvalis {

std::span<const TComponentLayout> MainFormLayout();

// The row of the component of that name; throws std::out_of_range when none.
const TComponentLayout& MainFormComponent(const char* name);

// The filter of the open dialog, as the user reads it in the dialog.
std::string OpenImageFilter();

} // namespace korvalis
