# Cross-builds a static binary for any Linux on aarch64, against musl, with zig (see zig.cmake).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(zig_target aarch64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
# Run by qemu-user (qemu-user-static), for the tests and scripts.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static CACHE STRING "")
