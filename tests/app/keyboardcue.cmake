# Keyboard-cue fix on the Qt side and in the main window.
korvalis_require(Qt6 COMPONENTS Test)
add_executable(keyboardcue_tests ${CMAKE_CURRENT_LIST_DIR}/KeyboardCueTest.cpp
                                 ${CMAKE_CURRENT_LIST_DIR}/QtTestMain.cpp)
target_link_libraries(keyboardcue_tests PRIVATE korvalis_app Qt6::Test GTest::gtest)
gtest_discover_tests(keyboardcue_tests PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
                     DISCOVERY_TIMEOUT 30)
