#!/bin/sh
# The crash-state test's steps that need a mount namespace of their own (crash_test.cpp).
#   crashrun.sh record: in the current folder, a file system $FS (made by mkfs.$FS $MKFS, $SIZE
#     bytes) on a loop device over blockrecorder ($RECORDER), mounted at m/; $SETUP, a sync, mark 1,
#     $RUN, mark 1000 plus its exit status, unmounted. Leaves rec.log.
#   crashrun.sh state: mounts the image $STATE (with options $OPT) at c/ so that its journal
#     replays, copies what is at c/$OUT to out.bin (none if nothing is) and lists its folder in list.
set -eu
case $1 in
record)
    exec unshare -m sh -ec '
        loop=
        trap "umount m 2>/dev/null || :; [ -z \"\$loop\" ] || losetup -d \"\$loop\"; umount f 2>/dev/null || :" EXIT
        mkdir f m
        "$RECORDER" "$PWD/f" "$PWD/backing.img" "$PWD/rec.log" "$SIZE"
        loop=$(losetup -f --show f/disk.img)
        mkfs.$FS $MKFS "$loop" >/dev/null
        mount -o noatime "$loop" m
        eval "$SETUP"
        sync
        echo 1 > f/mark
        s=0
        eval "$RUN" || s=$?
        echo $((1000 + s)) > f/mark
        umount m
        losetup -d "$loop"
        loop='
    ;;
state)
    exec unshare -m sh -ec '
        rm -f out.bin list
        mkdir -p c
        mount -o "loop,noatime$OPT" "$STATE" c
        if [ -e "c/$OUT" ]; then cp "c/$OUT" out.bin; fi
        ls -A "c/$(dirname "$OUT")" > list
        umount c'
    ;;
esac
