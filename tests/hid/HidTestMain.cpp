// The HID layer runs its events on the GUI thread of the installed loop;
// these tests use the plain loop, so the core is tested without a toolkit.
#include "hid/PlainGuiLoop.h"

#include <gtest/gtest.h>

namespace korvalis::testing {
THidPlainLoop* gLoop = nullptr;
} // namespace korvalis::testing

int main(int argc, char** argv) {
    korvalis::THidPlainLoop loop;
    korvalis::testing::gLoop = &loop;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
