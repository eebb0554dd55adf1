# `korvalis devices`: the listing in-process on the simulated platform, and the
# tool itself end to end.
add_executable(cli_devices_tests ${CMAKE_CURRENT_LIST_DIR}/DevicesCommandTest.cpp
               ${PROJECT_SOURCE_DIR}/cli/Devices.cpp ${PROJECT_SOURCE_DIR}/cli/Command.cpp
               ${PROJECT_SOURCE_DIR}/tests/hid/HidTestMain.cpp)
target_include_directories(cli_devices_tests PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/cli)
target_link_libraries(cli_devices_tests PRIVATE korvalis_hid korvalis_emulator GTest::gtest)
gtest_discover_tests(cli_devices_tests DISCOVERY_TIMEOUT 30)

add_test(NAME cli_devices_simulate COMMAND korvalis devices --simulate)
set_tests_properties(cli_devices_simulate PROPERTIES PASS_REGULAR_EXPRESSION
    "0416:5020  0100 .* read/write  <- Korvalis device.*046d:c31c .* query-only\n2 HID interfaces, 1 Korvalis device\\.")
# Whatever this machine has plugged, the listing ends well.
add_test(NAME cli_devices_host COMMAND korvalis devices)
set_tests_properties(cli_devices_host PROPERTIES PASS_REGULAR_EXPRESSION
    "No HID devices found\\.|HID interfaces?, [0-9]+ Korvalis device")
add_test(NAME cli_devices_bad_option COMMAND korvalis devices --bogus)
set_tests_properties(cli_devices_bad_option PROPERTIES WILL_FAIL TRUE)
