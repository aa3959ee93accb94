#!/bin/sh
# Builds the Debian package the way Debian builds its own: with the hardening flags of
# dpkg-buildflags, in its own build folder (build-deb unless named).
#   packaging/build-deb.sh [folder]
# The flags are given on every run, so whatever an earlier run left in the folder's cache, the
# package is never built without them.
set -eu
cd "$(dirname "$0")/.."
dir=${1:-build-deb}
for tool in dpkg-buildflags dpkg-deb dpkg-shlibdeps cmake cpack file gzip strip; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "build-deb.sh: $tool is missing (Debian: apt-get install cmake g++ dpkg-dev file binutils gzip)" >&2
        exit 1
    fi
done
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
flag() {
    value=$(dpkg-buildflags --get "$1") || { echo "build-deb.sh: dpkg-buildflags --get $1 failed" >&2; exit 1; }
    printf '%s' "$value"
}
# One call an assignment: the status of a second substitution in one word would hide the first's.
cppflags=$(flag CPPFLAGS)
cxxflags=$(flag CXXFLAGS)
cxxflags="$cppflags $cxxflags"
ldflags=$(flag LDFLAGS)
case "$cxxflags" in
*-O2*-D_FORTIFY_SOURCE*|*-D_FORTIFY_SOURCE*-O2*) ;;
*) echo "build-deb.sh: dpkg-buildflags gave no optimising or hardening flags: $cxxflags" >&2; exit 1 ;;
esac
# CMake ignores CPPFLAGS, so they ride with CXXFLAGS.
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=None -DSCATTERDISK_TESTS=OFF -DSCATTERDISK_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$dir" -j2
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$dir"/scatterdisk_*.deb
