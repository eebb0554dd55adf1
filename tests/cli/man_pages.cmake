# The manual pages against the options the programs list in their --help.
add_executable(cli_man_pages_tests ${CMAKE_CURRENT_LIST_DIR}/ManPagesTest.cpp)
target_link_libraries(cli_man_pages_tests PRIVATE GTest::gtest_main)
target_compile_definitions(cli_man_pages_tests PRIVATE
    KORVALIS_CLI="$<TARGET_FILE:korvalis>" KORVALIS_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
add_dependencies(cli_man_pages_tests korvalis)
if(KORVALIS_GUI)
    target_compile_definitions(cli_man_pages_tests PRIVATE
        KORVALIS_DEMO="$<TARGET_FILE:korvalis-uploader-demo>"
        KORVALIS_UPLOADER="$<TARGET_FILE:korvalis-uploader>")
    add_dependencies(cli_man_pages_tests korvalis-uploader-demo korvalis-uploader)
endif()
gtest_discover_tests(cli_man_pages_tests)
