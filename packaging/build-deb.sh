#!/bin/sh
# Builds the Debian package the way Debian builds its own: with the hardening flags of
# dpkg-buildflags, in its own build folder (build-deb unless named).
#   packaging/build-deb.sh [folder]
set -eu
cd "$(dirname "$0")/.."
dir=${1:-build-deb}
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=None -DSCATTERDISK_TESTS=OFF -DSCATTERDISK_BENCH=OFF >/dev/null
cmake --build "$dir" -j2
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$dir"/scatterdisk_*.deb
