# The Windows build (cross-built with cmake/mingw-w64.cmake, `make windows`).
# What it leaves out is listed here and printed, never dropped quietly.
if(KORVALIS_QT)
    message(FATAL_ERROR "Qt is not built for Windows here: configure with -DKORVALIS_QT=OFF "
                        "-DKORVALIS_GUI=OFF (`make windows` does).")
endif()
if(KORVALIS_SANITIZE)
    message(FATAL_ERROR "MinGW-w64 has no sanitizers: configure without KORVALIS_SANITIZE")
endif()
if(KORVALIS_BENCH)
    message(FATAL_ERROR "The benchmarks are not built for Windows: configure with -DKORVALIS_BENCH=OFF")
endif()

# Test folders and test lists without a Windows build yet, and why.
set(KORVALIS_TESTS_LEFT_OUT
    # the Qt window and the Qt adapters
    qtloop app
    # drive korvalis through a POSIX shell, sockets and /dev/uhid; tests/windows
    # runs korvalis.exe against the Linux korvalis instead
    cli)
message(STATUS "Windows build: korvalis.exe, the native window (app/win32), the plain-C++ "
               "libraries and their tests; left out: the Qt window, the Linux backend's tests "
               "and fuzz replay")

# Static C and C++ runtimes and zlib, so the programs need no DLL beside them
# (the toolchain file links with -static).
if(NOT CMAKE_EXE_LINKER_FLAGS MATCHES "-static")
    message(FATAL_ERROR "The Windows build links statically: use cmake/mingw-w64.cmake as "
                        "CMAKE_TOOLCHAIN_FILE")
endif()
set(ZLIB_USE_STATIC_LIBS ON)
set(KORVALIS_DEBIAN_ZLIB "libz-mingw-w64-dev")
set(KORVALIS_DEBIAN_JPEG "nasm dpkg-dev, then scripts/windows-deps")
set(KORVALIS_DEBIAN_GTest "googletest, then scripts/windows-deps")
set(KORVALIS_DEBIAN_PNG "libpng-dev, then scripts/windows-deps")
# Unicode entry points (CreateFileW, ...) whatever a header defaults to.
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)

# stb_image (a test oracle, one header) is the same for every target: the
# host's copy, through a folder of its own so no other host header is seen.
set(stb_dir ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${stb_dir})
if(EXISTS /usr/include/stb AND NOT EXISTS ${stb_dir}/stb)
    file(CREATE_LINK /usr/include/stb ${stb_dir}/stb SYMBOLIC)
endif()
if(EXISTS ${stb_dir}/stb/stb_image.h)
    set(KORVALIS_STB_INCLUDE_DIR ${stb_dir} CACHE PATH "stb_image for the test oracle")
endif()
