# Cross-builds a binary for macOS 11.0 and later on arm64, linked against libSystem alone, with zig (see zig.cmake).
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(zig_target aarch64-macos.11.0)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
