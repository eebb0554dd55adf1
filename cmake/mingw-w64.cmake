# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (posix threads).
# Libraries are looked up in MinGW's own root and in our cross sysroot
# (KORVALIS_WINDOWS_SYSROOT, filled by scripts/windows-deps); programs run
# under Wine when the build or the tests execute them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KORVALIS_MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${KORVALIS_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVALIS_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVALIS_MINGW_TRIPLET}-windres)

if(NOT KORVALIS_WINDOWS_SYSROOT)
    get_filename_component(KORVALIS_WINDOWS_SYSROOT
                           "${CMAKE_CURRENT_LIST_DIR}/../build/windows-sysroot" ABSOLUTE)
endif()
set(KORVALIS_WINDOWS_SYSROOT "${KORVALIS_WINDOWS_SYSROOT}" CACHE PATH
    "Cross sysroot with the static libjpeg-turbo and GoogleTest (scripts/windows-deps)")
set(CMAKE_FIND_ROOT_PATH /usr/${KORVALIS_MINGW_TRIPLET} ${KORVALIS_WINDOWS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Without -static every program needs libwinpthread-1.dll, libstdc++-6.dll and
# libgcc_s_seh-1.dll beside it; a bare Windows has none of them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(ZLIB_USE_STATIC_LIBS ON)

# Wine in the build's own prefix (scripts/wine-run), for tests and for any
# program the build runs.
get_filename_component(KORVALIS_WINE_RUN "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${KORVALIS_WINE_RUN}")
