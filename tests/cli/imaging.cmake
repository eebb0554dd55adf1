# decode, bundle and preview of the korvalis tool, run as a program.
korvalis_require(JPEG)
add_executable(cli_imaging_tests ${CMAKE_CURRENT_LIST_DIR}/ImagingCommandsTest.cpp)
target_link_libraries(cli_imaging_tests PRIVATE korvalis_imaging korvalis_bundle
                      imaging_test_support JPEG::JPEG GTest::gtest_main)
add_dependencies(cli_imaging_tests korvalis)
target_compile_definitions(cli_imaging_tests PRIVATE KORVALIS_CLI="$<TARGET_FILE:korvalis>"
                           KORVALIS_VERSION="${PROJECT_VERSION}")
gtest_discover_tests(cli_imaging_tests)
