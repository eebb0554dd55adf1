# Installing the demo, the install tests and the Debian package (`make
# package`). Included at the end of the top-level CMakeLists.txt, so every
# program target exists by the time this runs.

# The demo lives in app/, built with the window.
if(KORVALIS_GUI)
    install(TARGETS korvalis-uploader-demo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    korvalis_install_man_page(korvalis-uploader-demo.1)
endif()

if(KORVALIS_TESTS)
    add_subdirectory(${PROJECT_SOURCE_DIR}/tests/install ${PROJECT_BINARY_DIR}/tests/install)
endif()

set(KORVALIS_PACKAGE_MAINTAINER "Korvalis Graphics Uploader developers <uploader@korvalis.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvalis-uploader)
set(CPACK_PACKAGE_VENDOR "Korvalis Graphics Uploader developers")
set(CPACK_PACKAGE_CONTACT "${KORVALIS_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "put your own pictures on a Korvalis device's display")
set(CPACK_PACKAGE_DESCRIPTION
    "Prepares the Splash, Logo and Screensaver pictures of a Korvalis USB device
with a 240 x 320 colour display from BMP, JPEG or PNG files, and uploads them
after checking the device's firmware.

Contains the desktop program korvalis-uploader, the command-line tool korvalis,
a demo that runs the window against an emulated device, and a udev rule that
gives the logged-in user access to the device.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends comes from the libraries the programs actually link (Qt 6, zlib,
# libjpeg62-turbo and the C++ runtime). libudev is opened at run time, so
# dpkg-shlibdeps cannot see it: without it there is no hot-plug, hence only
# recommended.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libudev1)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/resources/debian/postinst
                                       ${PROJECT_SOURCE_DIR}/resources/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
