#!/bin/sh
# Fails unless another build of the tool writes the same bytes as a reference build on the sample,
# the disks of make-disks.sh and a disk of noise. OTHER is a command, such as a build run by qemu:
#   tests/samebytes.sh REFERENCE OTHER...
set -eu
here=$(cd "$(dirname "$0")" && pwd)
ref=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$here/make-disks.sh" "$work"
cp "$here/../examples/sample.d64" "$work/sample.d64"
LC_ALL=C awk 'BEGIN { srand(1541); for (i = 0; i < 174848; i++) printf "%c", int(rand() * 256) }' > "$work/noise.d64"
n=0
for disk in "$work"/*.d64; do
    "$ref" -i "$disk" -o "$work/reference.out"
    "$@" -i "$disk" -o "$work/other.out"
    if ! cmp -s "$work/reference.out" "$work/other.out"; then
        echo "$(basename "$disk"): the outputs differ" >&2
        exit 1
    fi
    n=$((n + 1))
done
echo "$n disks, the same bytes"
