#!/bin/sh
# Whole runs of the tool side by side with cp of the same image, on the disks of
# tests/make-disks.sh: one full of a single file, and ones with 1, 2, 5 and 16 pickable links.
# The tool writes a new output (nothing forced to the disk) and replaces an existing one (the file
# and its folder forced). The runs are split into rounds that alternate between the commands, so
# that a busy spell of a shared machine weighs on all; prints the median of the rounds' medians and
# of their ratios to cp, then what a bare fsync of an image costs on the same disk.
# Needs hyperfine and cc1541. The scratch folder is made in $TMPDIR (default /tmp).
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
# Runs the commands in rounds into FILE.rounds, one line a round: each command's median in ms.
rounds() {
    out=$1.rounds
    shift
    : > "$out"
    round=0
    while [ "$round" -lt "$rounds" ]; do
        round=$((round + 1))
        hyperfine -N --warmup 20 --runs $((runs / rounds)) --export-csv round.csv "$@" >/dev/null 2>&1
        # Columns: command,mean,stddev,median,...; a row a command.
        awk -F, 'NR > 1 { printf "%s%s", (NR > 2 ? " " : ""), $4 * 1000 } END { print "" }' round.csv >> "$out"
    done
}
column() { cut -d' ' -f"$2" "$1.rounds" | median; }
ratio() { awk -v a="$2" -v b="$3" '{ print $a / $b }' "$1.rounds" | median; }

printf '%-8s %8s %8s %11s %8s %11s\n' disk 'cp ms' 'new ms' 'replace ms' 'new/cp' 'replace/cp'
for disk in full links1 links2 links5 links16; do
    cp "$disk.d64" out.d64
    rounds "$disk" --prepare true --prepare 'rm -f new.d64' --prepare true \
        "cp $disk.d64 copy.d64" "$tool -i $disk.d64 -o new.d64" "$tool -i $disk.d64 -o out.d64"
    printf '%-8s %8.3f %8.3f %11.3f %8.2f %11.2f\n' "$disk" "$(column "$disk" 1)" "$(column "$disk" 2)" \
        "$(column "$disk" 3)" "$(ratio "$disk" 2 1)" "$(ratio "$disk" 3 1)"
done
rounds fsync "dd if=full.d64 of=dd.d64 bs=174848 status=none" "dd if=full.d64 of=dd.d64 bs=174848 status=none conv=fsync"
printf 'a bare fsync of an image here: %.3f ms (dd with and without conv=fsync: %.3f and %.3f ms)\n' \
    "$(awk '{ print $2 - $1 }' fsync.rounds | median)" "$(column fsync 2)" "$(column fsync 1)"
