# The manual pages against the options the programs list in their --help.
if(TARGET korvalis)
    add_executable(cli_man_pages_tests ${CMAKE_CURRENT_LIST_DIR}/ManPagesTest.cpp)
    target_link_libraries(cli_man_pages_tests PRIVATE GTest::gtest_main)
    target_compile_definitions(cli_man_pages_tests PRIVATE
        KORVALIS_CLI="$<TARGET_FILE:korvalis>" KORVALIS_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    add_dependencies(cli_man_pages_tests korvalis)
    if(TARGET korvalis-uploader-demo)
        target_compile_definitions(cli_man_pages_tests PRIVATE
            KORVALIS_DEMO="$<TARGET_FILE:korvalis-uploader-demo>")
        add_dependencies(cli_man_pages_tests korvalis-uploader-demo)
    endif()
    if(TARGET korvalis-uploader)
        target_compile_definitions(cli_man_pages_tests PRIVATE
            KORVALIS_UPLOADER="$<TARGET_FILE:korvalis-uploader>")
        add_dependencies(cli_man_pages_tests korvalis-uploader)
    endif()
    gtest_discover_tests(cli_man_pages_tests)
endif()
