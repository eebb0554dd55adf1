# The device commands' timer on the plain loop, in-process.
add_executable(cli_loop_timer_tests ${CMAKE_CURRENT_LIST_DIR}/LoopTimerTest.cpp
               ${PROJECT_SOURCE_DIR}/cli/HeadlessView.cpp ${PROJECT_SOURCE_DIR}/tests/hid/HidTestMain.cpp)
target_include_directories(cli_loop_timer_tests PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(cli_loop_timer_tests PRIVATE korvalis_protocol korvalis_hid GTest::gtest)
gtest_discover_tests(cli_loop_timer_tests)
