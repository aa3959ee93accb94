#!/bin/sh
# Builds build-web/scatterdisk.html: the browser page as one file, its style, script and the tool's
# core (WebAssembly, by Debian's emscripten) inline, so that it works opened from the disk or from
# any static host and asks nothing of the network. Needs emscripten and cmake.
#   packaging/build-web.sh
set -eu
cd "$(dirname "$0")/.."
for tool in em++ cmake; do
    command -v "$tool" >/dev/null 2>&1 || { echo "build-web.sh: $tool is missing (apt-get install emscripten cmake)" >&2; exit 1; }
done
# Debian's emscripten finds its JavaScript modules there, also under a Node.js from elsewhere.
export NODE_PATH="${NODE_PATH:+$NODE_PATH:}/usr/share/nodejs"
root=$(em-config EMSCRIPTEN_ROOT)
cmake -S . -B build-web -DCMAKE_TOOLCHAIN_FILE="$root/cmake/Modules/Platform/Emscripten.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DSCATTERDISK_WERROR=ON -DSCATTERDISK_TESTS=OFF -DSCATTERDISK_BENCH=OFF >/dev/null
cmake --build build-web -j2 --target scatterdisk_web >/dev/null
# A script may not hold the text that ends it.
if grep -qi '</script' build-web/scatterdisk_web.js web/*.js; then
    echo "build-web.sh: a script holds </script>" >&2
    exit 1
fi
awk -v core=build-web/scatterdisk_web.js '
    function inline(file, tag,   line) {
        print "<" tag ">"
        while ((getline line < file) > 0) print line
        close(file)
        print "</" tag ">"
    }
    $0 == "<link rel=\"stylesheet\" href=\"style.css\">" { inline("web/style.css", "style"); next }
    $0 == "<script src=\"scatterdisk.js\"></script>" { inline(core, "script"); next }
    /^<script src="[a-z]+\.js"><\/script>$/ {
        split($0, part, "\"")
        inline("web/" part[2], "script")
        next
    }
    { print }
' web/index.html > build-web/scatterdisk.html.new
if grep -q '<script src=' build-web/scatterdisk.html.new; then
    echo "build-web.sh: a script of the page was not inlined" >&2
    exit 1
fi
for part in '<style>' 'createScatterdisk' "'use strict'"; do
    grep -q "$part" build-web/scatterdisk.html.new || { echo "build-web.sh: $part did not go into the page" >&2; exit 1; }
done
mv build-web/scatterdisk.html.new build-web/scatterdisk.html
echo build-web/scatterdisk.html
