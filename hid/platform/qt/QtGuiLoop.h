#pragma once

// The HID layer's GUI loop on Qt: the event loop of the running
// QCoreApplication (the window's QApplication, a Qt bench's
// QCoreApplication).

namespace korvalis {

// Installs the running application's event loop as the HID layer's GUI loop
// (call it on the application's thread, after the application object is
// made). The adapter goes with the application object; calling again while
// it is installed changes nothing.
void UseQtHidGuiLoop();

} // namespace korvalis
