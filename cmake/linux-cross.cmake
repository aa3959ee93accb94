# Shared by the Linux cross toolchain files: Debian's cross compiler for CMAKE_SYSTEM_PROCESSOR
# (package g++-<triple> and libc6-dev-<arch>-cross). The builds run under qemu-user
# (qemu-user-static), which CTest uses for the tests too:
#   qemu-aarch64-static -L /usr/aarch64-linux-gnu build-aarch64/scatterdisk ...
set(CMAKE_SYSTEM_NAME Linux)
set(cross_triple ${CMAKE_SYSTEM_PROCESSOR}-linux-gnu)
set(CMAKE_CXX_COMPILER ${cross_triple}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${cross_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(cross_qemu ${CMAKE_SYSTEM_PROCESSOR})
if(cross_qemu MATCHES "^i.86$")
  set(cross_qemu i386)
endif()
# Cached, so that scripts find the emulator in the build folder's CMakeCache.txt.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${cross_qemu}-static -L /usr/${cross_triple} CACHE STRING "")
# GoogleTest for the other processor has to be built from its sources
# (-DSCATTERDISK_TESTS=ON -DSCATTERDISK_GTEST_SOURCE=/usr/src/googletest); the tests that run the
# built tool through the shell cannot start it without a binfmt handler for qemu.
set(SCATTERDISK_TESTS OFF CACHE STRING "")
set(SCATTERDISK_BENCH OFF CACHE BOOL "")
