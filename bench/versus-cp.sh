#!/bin/sh
# Whole runs of the tool side by side with cp of the same image, on the disks of
# tests/make-disks.sh: one full of a single file, and ones with 1, 2, 5 and 16 pickable links.
# Prints each median and the ratio to cp's. Needs hyperfine and cc1541.
#   bench/versus-cp.sh [path/to/scatterdisk] [runs]
set -eu
tool=$(realpath "${1:-build/scatterdisk}")
runs=${2:-300}
disks=$(cd "$(dirname "$0")/../tests" && pwd)/make-disks.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$disks" .

printf '%-10s %12s %12s %8s\n' disk 'cp ms' 'tool ms' ratio
for disk in full links1 links2 links5 links16; do
    hyperfine -N --warmup 20 --runs "$runs" --export-csv "$disk.csv" \
        "cp $disk.d64 copy.d64" "$tool -i $disk.d64 -o out.d64" >/dev/null 2>&1
    # Columns: command,mean,stddev,median,...; rows: cp, then the tool.
    awk -F, -v disk="$disk" 'NR == 2 { cp = $4 } NR == 3 { t = $4 }
        END { printf "%-10s %12.3f %12.3f %8.2f\n", disk, cp * 1000, t * 1000, t / cp }' "$disk.csv"
done
