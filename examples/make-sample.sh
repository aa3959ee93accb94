#!/bin/sh
# Rebuilds examples/sample.d64 from files written here; needs cc1541. Names are given in lower
# case, which cc1541 writes as the PETSCII that a C64 lists in capital letters.
set -eu
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'THIS DISK WAS MADE FOR SCATTERDISK.\rEVERY FILE ON IT READS THE SAME AFTER A SCATTER.\r' > "$work/readme"
seq 1 4000 | tr '\n' '\r' > "$work/numbers"
awk 'BEGIN { for (i = 0; i < 12000; i++) printf "%c", 65 + (i * 7) % 26 }' > "$work/letters"
printf '\001\010\013\010\012\000\231"HELLO"\000\000\000' > "$work/hello"
cc1541 -q -n "scatterdisk" -i "sd" \
    -f "readme" -T SEQ -w "$work/readme" \
    -f "hello" -w "$work/hello" \
    -f "numbers" -T SEQ -w "$work/numbers" \
    -f "letters" -T SEQ -w "$work/letters" \
    "$work/sample.d64"
mv "$work/sample.d64" sample.d64
