#!/bin/sh
# Whole runs of the tool side by side with cp of the same image, on disks written by cc1541: one
# full of a single file, and ones with 1, 2, 5 and 16 pickable links (files of two blocks).
# Prints each median and the ratio to cp's. Needs hyperfine and cc1541.
#   bench/versus-cp.sh [path/to/scatterdisk] [runs]
set -eu
tool=$(realpath "${1:-build/scatterdisk}")
runs=${2:-300}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

awk 'BEGIN { for (i = 0; i < 168656; i++) printf "%c", 65 + i % 26 }' > full.bin
awk 'BEGIN { for (i = 0; i < 508; i++) printf "%c", 97 + i % 26 }' > two.bin
cc1541 -q -f full -w full.bin full.d64 >/dev/null
for links in 1 2 5 16; do
    set --
    i=0
    while [ "$i" -lt "$links" ]; do
        i=$((i + 1))
        set -- "$@" -f "f$i" -w two.bin
    done
    cc1541 -q "$@" "links$links.d64" >/dev/null
done

printf '%-10s %12s %12s %8s\n' disk 'cp ms' 'tool ms' ratio
for disk in full links1 links2 links5 links16; do
    hyperfine -N --warmup 20 --runs "$runs" --export-csv "$disk.csv" \
        "cp $disk.d64 copy.d64" "$tool -i $disk.d64 -o out.d64" >/dev/null 2>&1
    # Columns: command,mean,stddev,median,...; rows: cp, then the tool.
    awk -F, -v disk="$disk" 'NR == 2 { cp = $4 } NR == 3 { t = $4 }
        END { printf "%-10s %12.3f %12.3f %8.2f\n", disk, cp * 1000, t * 1000, t / cp }' "$disk.csv"
done
