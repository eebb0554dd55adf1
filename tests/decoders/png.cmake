# PNG reader: tests against libpng as the oracle, which the product never links.
if("png" IN_LIST KORVALIS_TESTS_LEFT_OUT)
    return()
endif()
korvalis_require(PNG)
korvalis_require(ZLIB)

add_executable(png_tests
    ${CMAKE_CURRENT_LIST_DIR}/PngTestSupport.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PngConformanceTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PngChunkTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PngIdatDecoderTest.cpp)
target_link_libraries(png_tests PRIVATE korvalis_decoders PNG::PNG ZLIB::ZLIB GTest::gtest_main)
target_compile_definitions(png_tests PRIVATE KORVALIS_CORPUS_DIR="${KORVALIS_CORPUS_DIR}"
    KORVALIS_SPLASH_PNG="${PROJECT_SOURCE_DIR}/resources/splash.png")
gtest_discover_tests(png_tests)
