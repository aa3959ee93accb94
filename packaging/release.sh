#!/usr/bin/env bash
# Builds the ready-made files of a release into dist/, one archive a platform, each holding the
# binary, LICENSE, README.md with the docs/ it links to, and the manual page, and SHA256SUMS over them:
#   scatterdisk-VERSION-x86_64-linux.tar.gz, -aarch64-linux.tar.gz   static, against musl: any Linux
#   scatterdisk-VERSION-x86_64-macos.tar.gz, -arm64-macos.tar.gz     macOS 11.0 and later
#   scatterdisk-VERSION-x86_64-windows.zip                           mingw-w64, static
#   scatterdisk-VERSION.html                                         the browser page (build-web.sh)
# The version is the CMake project's, the archives' date the last commit's (git) or
# $SOURCE_DATE_EPOCH. Needs zig 0.11 on the PATH or in $ZIG (packaging/fetch-zig.sh gets it),
# g++-mingw-w64-x86-64, zip, cmake and emscripten. Warnings in this project's sources are errors; what the
# compilers say goes to build-release-*/build.log, shown where a build fails.
#   ZIG=$(packaging/fetch-zig.sh) packaging/release.sh
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(scatterdisk VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "release.sh: no version in CMakeLists.txt" >&2; exit 1; }
for tool in "${ZIG:-zig}" x86_64-w64-mingw32-g++ zip cmake sha256sum em++; do
    command -v "$tool" >/dev/null 2>&1 || { echo "release.sh: $tool is missing" >&2; exit 1; }
done
# Archives that are the same bytes for the same sources, dated by them rather than by the clock.
stamp=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || true)}
if [ -z "$stamp" ]; then
    echo "release.sh: no date for the archives: run it in the git checkout, or set SOURCE_DATE_EPOCH" >&2
    exit 1
fi
# The compilers read it too: the linker stamps the Windows executable with it rather than the clock.
SOURCE_DATE_EPOCH=$stamp
export SOURCE_DATE_EPOCH
# One staged folder of dist/ into its archive: a zip for Windows, a tarball with fixed owners and
# dates for the others.
pack() {
    case $2 in
    *.zip) (cd dist && zip -qrX "../$2" "$1") ;;
    *) tar -C dist --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$stamp" -cf - "$1" | gzip -9n > "$2" ;;
    esac
}
rm -rf dist
mkdir dist
echo "release.sh: 5 archives and the page into dist/; the first time, zig fills its cache for each Linux archive: minutes each"
for pair in x86_64-linux:zig-x86_64-linux-musl aarch64-linux:zig-aarch64-linux-musl \
            x86_64-macos:zig-x86_64-macos arm64-macos:zig-aarch64-macos \
            x86_64-windows:mingw-w64-x86_64; do
    name=${pair%%:*} toolchain=${pair#*:}
    build=build-release-$name
    start=$(date +%s)
    echo "$name: building"
    mkdir -p "$build"
    if ! { cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain.cmake" -DCMAKE_BUILD_TYPE=Release \
             -DCMAKE_EXE_LINKER_FLAGS_RELEASE=-s -DSCATTERDISK_WERROR=ON -DSCATTERDISK_TESTS=OFF -DSCATTERDISK_BENCH=OFF &&
           cmake --build "$build" -j2 --target scatterdisk; } >"$build/build.log" 2>&1; then
        echo "release.sh: $name failed; the end of $build/build.log:" >&2
        tail -n 40 "$build/build.log" >&2
        exit 1
    fi
    stage=dist/scatterdisk-$version-$name
    mkdir "$stage"
    bin=scatterdisk
    [ "$name" = x86_64-windows ] && bin=scatterdisk.exe
    cp "$build/$bin" LICENSE README.md man/scatterdisk.1 "$stage/"
    # The README's links lead into docs/.
    mkdir "$stage/docs"
    cp docs/*.md docs/*.png "$stage/docs/"
    touch -d "@$stamp" "$stage" "$stage"/* "$stage"/docs/*
    archive=$stage.tar.gz
    [ "$name" = x86_64-windows ] && archive=$stage.zip
    if ! pack "scatterdisk-$version-$name" "$archive" || [ ! -s "$archive" ]; then
        echo "release.sh: $archive was not made" >&2
        exit 1
    fi
    rm -r "$stage"
    echo "$archive ($(($(date +%s) - start)) s)"
done
if ! page=$(packaging/build-web.sh | tail -n 1) || [ ! -s "$page" ]; then
    echo "release.sh: the browser page did not build (packaging/build-web.sh)" >&2
    exit 1
fi
cp "$page" "dist/scatterdisk-$version.html"
touch -d "@$stamp" "dist/scatterdisk-$version.html"
echo "dist/scatterdisk-$version.html"
(cd dist && sha256sum ./*.tar.gz ./*.zip ./*.html | sed 's| \./| |' > SHA256SUMS)
echo "dist/SHA256SUMS"
