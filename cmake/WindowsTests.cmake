# The tests of the Windows build run under Wine (label windows).
#
# Each test binary is one test: listing a binary's tests at build time would
# start Wine once more per binary, and a failing binary's output names the
# failing cases anyway. Replaces GoogleTest's gtest_discover_tests for this
# build only.
function(gtest_discover_tests target)
    add_test(NAME ${target} COMMAND ${target})
    set_tests_properties(${target} PROPERTIES LABELS windows TIMEOUT 180)
endfunction()

# Every program must start on a bare Windows: only system DLLs may be imported.
# Wine ships zlib1.dll and the MinGW runtime DLLs itself, so running the tests
# under Wine alone would not notice such an import.
# korvalis.exe is named, so the check fails if it was not built.
add_test(NAME windows_imports
         COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-windows-imports ${PROJECT_BINARY_DIR}
                 $<TARGET_FILE:korvalis>)
set_tests_properties(windows_imports PROPERTIES LABELS windows)
