#!/bin/sh
# Writes test disks with cc1541 into a folder: full.d64, one file over the whole disk; linksN.d64,
# N files of two blocks, so exactly N pickable links (1, 2, 5, 16); many.d64, 100 files of four
# blocks (300 links, more than the block draws take); mixed.d64, files of many lengths.
#   tests/make-disks.sh FOLDER
set -eu
cd "$1"
LC_ALL=C awk 'BEGIN { for (i = 0; i < 168656; i++) printf "%c", 65 + i % 26 }' > full.bin
LC_ALL=C awk 'BEGIN { for (i = 0; i < 508; i++) printf "%c", 97 + i % 26 }' > two.bin
LC_ALL=C awk 'BEGIN { for (i = 0; i < 1016; i++) printf "%c", 48 + i % 10 }' > four.bin
cc1541 -q -f full -w full.bin full.d64 >/dev/null
disk() {  # disk NAME COUNT DATA: COUNT files of that data
    name=$1 count=$2 data=$3
    set --
    i=0
    while [ "$i" -lt "$count" ]; do
        i=$((i + 1))
        set -- "$@" -f "f$i" -w "$data"
    done
    cc1541 -q "$@" "$name" >/dev/null
}
for links in 1 2 5 16; do
    disk "links$links.d64" "$links" two.bin
done
disk many.d64 100 four.bin
set --
for size in 300 5000 20000 41000 900 12345; do
    head -c "$size" full.bin > "part$size.bin"
    set -- "$@" -f "p$size" -w "part$size.bin"
done
cc1541 -q "$@" mixed.d64 >/dev/null
rm -f ./*.bin
