# Cross-builds a static binary for any Linux on x86_64, against musl, with zig (see zig.cmake).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(zig_target x86_64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
