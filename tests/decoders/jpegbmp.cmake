# JPEG and BMP reading: tests against libjpeg and stb_image as oracles.
korvalis_require(JPEG)
korvalis_require_header(KORVALIS_STB_INCLUDE_DIR stb/stb_image.h DEBIAN libstb-dev)

add_executable(jpeg_tests
    ${CMAKE_CURRENT_LIST_DIR}/JpegPictureTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/JpegTestSupport.cpp)
target_link_libraries(jpeg_tests PRIVATE korvalis_decoders JPEG::JPEG GTest::gtest_main)
target_compile_definitions(jpeg_tests PRIVATE KORVALIS_CORPUS_DIR="${KORVALIS_CORPUS_DIR}")
gtest_discover_tests(jpeg_tests)

add_executable(bmp_tests
    ${CMAKE_CURRENT_LIST_DIR}/BmpReaderTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/BmpStbOracle.cpp)
# stb_image is a trusted peer, not our code: build it quietly and unchecked.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/BmpStbOracle.cpp PROPERTIES
    COMPILE_OPTIONS "-w;-fno-sanitize=undefined")
target_include_directories(bmp_tests SYSTEM PRIVATE ${KORVALIS_STB_INCLUDE_DIR})
target_link_libraries(bmp_tests PRIVATE korvalis_decoders GTest::gtest_main)
target_compile_definitions(bmp_tests PRIVATE KORVALIS_CORPUS_DIR="${KORVALIS_CORPUS_DIR}")
gtest_discover_tests(bmp_tests)
