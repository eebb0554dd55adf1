# The slots of the window: Default, Open..., Clear and the start-up pictures,
# driven through the buttons with a scripted open-file dialog.
add_executable(app_imaging_tests ${CMAKE_CURRENT_LIST_DIR}/ImagingWindowTest.cpp
                                 ${CMAKE_CURRENT_LIST_DIR}/QtTestMain.cpp)
korvalis_require(Qt6 COMPONENTS Test)
target_link_libraries(app_imaging_tests PRIVATE korvalis_app imaging_test_support Qt6::Test
                                                GTest::gtest)
# The command-line tool must write the very bundle the window uploads.
add_dependencies(app_imaging_tests korvalis)
target_compile_definitions(app_imaging_tests PRIVATE KORVALIS_CLI="$<TARGET_FILE:korvalis>")
gtest_discover_tests(app_imaging_tests PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
                     DISCOVERY_TIMEOUT 30)
