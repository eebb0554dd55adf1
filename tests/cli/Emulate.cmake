# korvalis emulate on the real kernel path: a virtual machine (label vm).
add_subdirectory(${PROJECT_SOURCE_DIR}/tests/vm ${PROJECT_BINARY_DIR}/tests/vm)
