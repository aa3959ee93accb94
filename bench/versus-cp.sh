#!/bin/sh
# Whole runs of the tool side by side with cp of the same image, on the disks of
# tests/make-disks.sh: one full of a single file, and ones with 1, 2, 5 and 16 pickable links.
# The runs are split into rounds that alternate between cp and the tool, so that a busy spell of
# a shared machine weighs on both; prints the median of the rounds' medians and of their ratios.
# Needs hyperfine and cc1541.
#   bench/versus-cp.sh [path/to/scatterdisk] [runs] [rounds]
set -eu
tool=$(realpath "${1:-build/scatterdisk}")
runs=${2:-300}
rounds=${3:-5}
disks=$(cd "$(dirname "$0")/../tests" && pwd)/make-disks.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$disks" .

median() { sort -g | awk '{ v[NR] = $1 } END { print (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2 }'; }
printf '%-10s %12s %12s %8s\n' disk 'cp ms' 'tool ms' ratio
for disk in full links1 links2 links5 links16; do
    : > "$disk.rounds"
    round=0
    while [ "$round" -lt "$rounds" ]; do
        round=$((round + 1))
        hyperfine -N --warmup 20 --runs $((runs / rounds)) --export-csv round.csv \
            "cp $disk.d64 copy.d64" "$tool -i $disk.d64 -o out.d64" >/dev/null 2>&1
        # Columns: command,mean,stddev,median,...; rows: cp, then the tool.
        awk -F, 'NR == 2 { cp = $4 } NR == 3 { t = $4 } END { print cp * 1000, t * 1000, t / cp }' round.csv >> "$disk.rounds"
    done
    printf '%-10s %12.3f %12.3f %8.2f\n' "$disk" "$(cut -d' ' -f1 "$disk.rounds" | median)" \
        "$(cut -d' ' -f2 "$disk.rounds" | median)" "$(cut -d' ' -f3 "$disk.rounds" | median)"
done
