# The living window under a real X server: expose and the window manager's
# ping exist only there. Run under xvfb-run.
korvalis_require_program(XVFB_RUN xvfb-run DEBIAN xvfb xauth)
korvalis_require_modules(XCB xcb DEBIAN libxcb1-dev)
add_executable(app_x11_tests ${CMAKE_CURRENT_LIST_DIR}/X11WindowTest.cpp
                             ${CMAKE_CURRENT_LIST_DIR}/QtTestMain.cpp)
target_link_libraries(app_x11_tests PRIVATE korvalis_app GTest::gtest PkgConfig::XCB)
add_test(NAME X11Window.UploadRepairsDamageAnswersPingsAndDropsClicks
         COMMAND ${XVFB_RUN} -a -s "-screen 0 1280x1024x24" $<TARGET_FILE:app_x11_tests>)
set_tests_properties(X11Window.UploadRepairsDamageAnswersPingsAndDropsClicks
                     PROPERTIES TIMEOUT 120 ENVIRONMENT
                     "QT_QPA_PLATFORM=xcb;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/lsan.supp")
