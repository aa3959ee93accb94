# Cross-builds a binary for macOS 11.0 and later on x86_64, linked against libSystem alone, with zig (see zig.cmake).
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(zig_target x86_64-macos.11.0)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
