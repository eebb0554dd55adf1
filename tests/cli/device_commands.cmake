# korvalis info and upload as programs, on the simulated platform.
add_executable(cli_device_commands_tests ${CMAKE_CURRENT_LIST_DIR}/DeviceCommandsTest.cpp)
target_link_libraries(cli_device_commands_tests PRIVATE GTest::gtest_main)
target_compile_definitions(cli_device_commands_tests PRIVATE KORVALIS_CLI="$<TARGET_FILE:korvalis>")
add_dependencies(cli_device_commands_tests korvalis)
gtest_discover_tests(cli_device_commands_tests)
