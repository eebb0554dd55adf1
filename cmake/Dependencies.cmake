# Every outside dependency of the build and the tests, with the Debian package
# that brings it (scripts/setup-deps installs them all). A missing one stops the
# configuration and says what to install: nothing is left out quietly.

set(KORVALIS_DEBIAN_Qt6 "qt6-base-dev libgl-dev")
set(KORVALIS_DEBIAN_ZLIB "zlib1g-dev")
set(KORVALIS_DEBIAN_JPEG "libjpeg62-turbo-dev")
set(KORVALIS_DEBIAN_PNG "libpng-dev")
set(KORVALIS_DEBIAN_GTest "libgtest-dev")
set(KORVALIS_DEBIAN_benchmark "libbenchmark-dev")
set(KORVALIS_DEBIAN_PkgConfig "pkg-config")
set(KORVALIS_DEBIAN_Threads "libc6-dev")

function(korvalis_missing what packages)
    message(FATAL_ERROR "Missing ${what}. Install the Debian package(s): "
                        "apt-get install ${packages} (or run scripts/setup-deps).")
endfunction()

# korvalis_require(<package> [COMPONENTS <components>])
# find_package() that stops with the Debian package when the package is missing.
# A macro, so the package's variables reach the caller as find_package's would.
macro(korvalis_require package)
    cmake_parse_arguments(_korvalis_req "" "" "COMPONENTS" ${ARGN})
    if(NOT DEFINED KORVALIS_DEBIAN_${package})
        message(FATAL_ERROR "korvalis_require: no Debian package known for ${package}; "
                            "add it to cmake/Dependencies.cmake and scripts/setup-deps")
    endif()
    if(_korvalis_req_COMPONENTS)
        find_package(${package} QUIET COMPONENTS ${_korvalis_req_COMPONENTS})
    else()
        find_package(${package} QUIET)
    endif()
    if(NOT ${package}_FOUND)
        list(JOIN _korvalis_req_COMPONENTS " " _korvalis_req_names)
        string(STRIP "${package} ${_korvalis_req_names}" _korvalis_req_names)
        korvalis_missing("${_korvalis_req_names}" "${KORVALIS_DEBIAN_${package}}")
    endif()
endmacro()

# korvalis_require_modules(<prefix> <pkg-config modules> DEBIAN <packages>)
# pkg_check_modules(<prefix> IMPORTED_TARGET ...) that stops with the Debian
# packages when a module is missing; the target is PkgConfig::<prefix>.
macro(korvalis_require_modules prefix)
    cmake_parse_arguments(_korvalis_mod "" "" "DEBIAN" ${ARGN})
    korvalis_require(PkgConfig)
    pkg_check_modules(${prefix} QUIET IMPORTED_TARGET ${_korvalis_mod_UNPARSED_ARGUMENTS})
    if(NOT ${prefix}_FOUND)
        list(JOIN _korvalis_mod_DEBIAN " " _korvalis_mod_list)
        list(JOIN _korvalis_mod_UNPARSED_ARGUMENTS " " _korvalis_mod_names)
        korvalis_missing("pkg-config module(s) ${_korvalis_mod_names}" "${_korvalis_mod_list}")
    endif()
endmacro()

# <finder> (find_path or find_program) that stops with the Debian packages
# when nothing is found; <what> names the kind of thing in the message.
function(_korvalis_require_found finder what variable name)
    cmake_parse_arguments(_korvalis_fnd "" "" "DEBIAN" ${ARGN})
    cmake_language(CALL ${finder} ${variable} ${name})
    if(NOT ${variable})
        list(JOIN _korvalis_fnd_DEBIAN " " list)
        korvalis_missing("${what} ${name}" "${list}")
    endif()
endfunction()

# korvalis_require_header(<variable> <header> DEBIAN <packages>)
# Sets <variable> to the include directory that holds <header>.
function(korvalis_require_header variable header)
    _korvalis_require_found(find_path "the header" ${variable} ${header} ${ARGN})
endfunction()

# korvalis_require_program(<variable> <program> DEBIAN <packages>)
function(korvalis_require_program variable program)
    _korvalis_require_found(find_program "the program" ${variable} ${program} ${ARGN})
endfunction()
