#!/usr/bin/env bash
# run.sh's choice of a folder to measure, against the mount tables findmnt shows in a plain
# chroot (only the bound /proc, /sys and /dev) and elsewhere, through a fake findmnt.
set -euo pipefail
source "$1/scripts/drive-choice.sh"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/home" "$scratch/shm" "$scratch/tmp"
FINDMNT=$scratch/findmnt
failures=0

# check NAME TABLE EXPECTED: TABLE maps each folder to its findmnt line ("" where none holds it).
check() {
    # shellcheck disable=SC2016
    printf '#!/bin/sh\ncase "$6" in\n%s\nesac\n' "$2" >"$FINDMNT"
    chmod +x "$FINDMNT"
    choose_measure_folder "$scratch/home" "$scratch/shm" "$scratch/tmp"
    if [ "$measure_dir" != "$3" ]; then
        echo "FAIL $1: chose '$measure_dir', not '$3'; passed over: ${skipped[*]}"
        failures=$((failures + 1))
    fi
}
reason() { # INDEX TEXT: the folder passed over at INDEX names TEXT as its reason
    [[ ${skipped[$1]} == *"$2"* ]] || { echo "FAIL: reason '${skipped[$1]}'"; failures=$((failures + 1)); }
}
line() { echo "*/$1) echo '$scratch $2 $3' ;;"; }

check "plain chroot" "$(line shm devtmpfs rw,size=1k)" ""
reason 0 "no mounted drive holds it"
reason 1 "on devtmpfs, a file system of the kernel's"
check "plain chroot, /tmp a RAM disk" "$(line shm devtmpfs rw)
$(line tmp tmpfs rw,nosuid)" "$scratch/tmp"
check "home on a disk" "$(line home ext4 rw,relatime)" "$scratch/home"
check "home mounted read-only, /dev/shm a RAM disk" "$(line home ext4 ro,relatime)
$(line shm tmpfs rw)" "$scratch/shm"
reason 0 "is mounted read-only"
[ "$failures" -eq 0 ] && echo "PASS: every choice"
exit "$failures"
