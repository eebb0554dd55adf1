# korvalis emulate with the test in the kernel's place (a socket pair for
# /dev/uhid), and on the real kernel path in a virtual machine (label vm).
korvalis_require(PNG)
add_executable(emulate_tests ${CMAKE_CURRENT_LIST_DIR}/EmulateTest.cpp)
target_link_libraries(emulate_tests PRIVATE PNG::PNG GTest::gtest_main)
target_compile_definitions(emulate_tests PRIVATE KORVALIS_CLI="$<TARGET_FILE:korvalis>")
add_dependencies(emulate_tests korvalis)
gtest_discover_tests(emulate_tests)
add_subdirectory(${PROJECT_SOURCE_DIR}/tests/vm ${PROJECT_BINARY_DIR}/tests/vm)
