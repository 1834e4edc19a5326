#!/usr/bin/env bash
# The scripts' choices: the folder run.sh measures, against the mount tables findmnt shows in a
# plain chroot (only the bound /proc, /sys and /dev) and elsewhere, through a fake findmnt; and
# the build folder of each user in one checkout, as root and as another user.
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

# Rows: USER picks a build folder in a checkout of CHECKOUT_OWNER's whose build/ holds a file of
# FILE_OWNER's ("-": no build/); EXPECTED is the folder, or a part of the refusal.
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: the build folder of each user: changing owners needs root"
else
    chmod 755 "$scratch"
    install -m 644 "$1/scripts/build-folder.sh" "$scratch"
    while read -r name user checkout_owner file_owner expected; do
        checkout=$(mktemp -d "$scratch/checkout.XXXXXX") && chmod 755 "$checkout"
        [ "$file_owner" = - ] || { mkdir "$checkout/build" && touch "$checkout/build/CMakeCache.txt" &&
            chown -R "$file_owner" "$checkout/build"; }
        chown "$checkout_owner" "$checkout"
        # shellcheck disable=SC2016
        # The default choice, whatever folder the caller (CI) named for its own build.
        out=$(cd "$checkout" && runuser -u "$user" -- env -u BUILD_DIR bash -c 'source "$1" && pick_build_folder &&
            echo "chose $build_dir"' sh "$scratch/build-folder.sh" 2>&1) || true
        [[ $out == *"$expected"* ]] || { echo "FAIL $name: '$out'" && failures=$((failures + 1)); }
    done <<'ROWS'
owner-builds-in-build        root   root   -      chose build
root-in-a-users-checkout     root   nobody -      chose build-root
root-after-the-user          root   nobody nobody chose build-root
user-after-root              nobody nobody root   holds files of root's
user-in-roots-checkout       nobody root   -      may not create build-nobody/
ROWS
fi
[ "$failures" -eq 0 ] && echo "PASS: every choice"
exit "$failures"
