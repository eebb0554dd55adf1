# What bundle, decode, preview and upload --capture do to the file, link, pipe
# or device node they write, run as programs.
add_executable(cli_output_files_tests ${CMAKE_CURRENT_LIST_DIR}/OutputFilesTest.cpp)
target_link_libraries(cli_output_files_tests PRIVATE GTest::gtest_main)
target_compile_definitions(cli_output_files_tests PRIVATE
    KORVALIS_CLI="$<TARGET_FILE:korvalis>"
    KORVALIS_SPLASH="${PROJECT_SOURCE_DIR}/resources/splash.png")
add_dependencies(cli_output_files_tests korvalis)
gtest_discover_tests(cli_output_files_tests)
