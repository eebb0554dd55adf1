#pragma once

#include <QIcon>
#include <QImage>

namespace korvalis {

// The application's emblem, drawn rather than shipped so every size is sharp:
// a device screen with a "K" on it.
QImage KorvalisIconImage(int size);
QIcon KorvalisIcon();

} // namespace korvalis
