# Shared by the Linux cross toolchain files: Debian's cross compiler for CMAKE_SYSTEM_PROCESSOR
# (package g++-<triple> and libc6-dev-<arch>-cross). The builds run under qemu-user:
#   qemu-aarch64-static -L /usr/aarch64-linux-gnu build-aarch64/scatterdisk ...
set(CMAKE_SYSTEM_NAME Linux)
set(cross_triple ${CMAKE_SYSTEM_PROCESSOR}-linux-gnu)
set(CMAKE_CXX_COMPILER ${cross_triple}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${cross_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The tests drive the tool through a shell and GoogleTest of the build machine; they run on the
# native build, and CI compares what the cross builds write with what it writes.
set(SCATTERDISK_TESTS OFF CACHE STRING "")
set(SCATTERDISK_BENCH OFF CACHE BOOL "")
