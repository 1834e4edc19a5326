#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it.
#
#   scripts/run.sh                     with a display: opens the window; without one: one run
#                                      of 10 MB on the current folder's drive, no window needed
#   scripts/run.sh --screenshot [PATH] the window at work on a virtual X display: one START of
#                                      10 MB, its times from the clipboard and a screenshot
#
# Both measure the drive of the current folder where the program can measure it (and this user
# may write its root); else the RAM disk /dev/shm where it is one; else the drive of the temporary
# folder. Where none of these will do (a plain chroot, whose mount table shows only the kernel's
# folders), a run as root measures a RAM disk of its own, mounted where only it sees it. All this
# is settled before anything is installed or built. Installs only what building and running need
# (and for --screenshot what drives the window); scripts/test.sh installs the rest.
#
#   BUILD_DIR   build folder (default: build/ for the checkout's owner, else build-NAME/)
#   SCREENSHOT  where --screenshot saves the picture when PATH is not given
#               (default: <build>/screenshot.png)
set -euo pipefail

usage() {
    echo "Usage: scripts/run.sh [--screenshot [PATH]]" >&2
    exit 2
}
screenshot=
shot=${SCREENSHOT:-}
case $# in
    0) ;;
    1 | 2)
        [ "$1" = --screenshot ] || usage
        screenshot=yes
        [ $# -eq 1 ] || shot=$2
        ;;
    *) usage ;;
esac

# A plain chroot: its mount table holds only the bound /proc, /sys and /dev, so nothing is a
# drive. Root may mount a RAM disk on /dev/shm in a mount namespace of the run's own, with /dev
# made private there first so that the mount never reaches the system's /dev ("/" of a chroot is
# no mount point, so its propagation cannot be changed; /dev's can). Tried once, on 1 MB.
# shellcheck disable=SC2016
ram_disk_mount='mount --make-rprivate /dev && mount -t tmpfs -o size=$0,mode=1777 dov-run /dev/shm'
may_mount_private_ram_disk() {
    [ "$(id -u)" -eq 0 ] && [ -d /dev/shm ] && mountpoint -q /dev && command -v unshare >/dev/null &&
        unshare --mount --propagation unchanged sh -c "$ram_disk_mount" 1m 2>/dev/null
}

# Runs "$@" in the folder to measure, in the run's own mount namespace where that holds it.
in_measure_folder() {
    if [ -n "$private_ram_disk" ]; then
        unshare --mount --propagation unchanged sh -c "$ram_disk_mount"' && cd /dev/shm &&
            exec "$@"' 64m "$@"
    else
        (cd "$measure_dir" && exec "$@")
    fi
}

start_dir=$PWD
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/build-folder.sh
pick_build_folder || exit 1

window=
if [ -z "$screenshot" ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
    window=yes
fi

# The drive to measure, known before anything is installed or built: the current folder's, where
# the program can measure it; else the RAM disk /dev/shm, where it is one (in a chroot it is
# often a plain folder of the kernel's /dev); else the temporary folder's drive.
private_ram_disk=
if [ -z "$window" ]; then
    source scripts/drive-choice.sh
    choose_measure_folder "$start_dir" /dev/shm "${TMPDIR:-/tmp}"
    if [ ${#skipped[@]} -gt 0 ]; then
        echo "Folders passed over, because the program cannot measure their drives:"
        printf '  %s\n' "${skipped[@]}"
    fi
    if [ -z "$measure_dir" ] && may_mount_private_ram_disk; then
        private_ram_disk=yes
        measure_dir=/dev/shm
        drive_root=/dev/shm
        echo "Measuring a RAM disk of this run's own instead: a tmpfs on /dev/shm that only this"
        echo "run sees, gone when it ends; the system's /dev stays as it is."
    elif [ -z "$measure_dir" ]; then
        echo "run: no folder here is on a drive the program can measure." >&2
        echo "Mount one (as root: mount -t tmpfs -o size=64m,mode=1777 tmpfs /mnt), or, for a" >&2
        echo "chroot, bind /dev with its mounts (mount --rbind /dev CHROOT/dev) so /dev/shm is" >&2
        echo "a RAM disk; then run this again from that folder." >&2
        exit 1
    elif [ "$measure_dir" != "$start_dir" ]; then
        echo "Measuring $measure_dir instead (its drive: $drive_root)."
    fi
fi

if [ -n "$screenshot" ]; then scripts/install-deps.sh screenshot; else scripts/install-deps.sh run; fi

configure=(cmake -S . -B "$build_dir")
# A folder the test command already set up keeps its settings instead of being rebuilt; a new
# one builds the program alone, which needs none of the test tools.
[ -f "$build_dir/CMakeCache.txt" ] ||
    configure+=(-DCMAKE_BUILD_TYPE=Release -DDOV_BUILD_TESTS=OFF -DDOV_BUILD_BENCH=OFF)
"${configure[@]}"
cmake --build "$build_dir" --target dov-uruvivuz -j "$(nproc)"

build_dir=$(cd "$build_dir" && pwd)
program="$build_dir/bin/dov-uruvivuz"
program_dir=$(dirname "$program")

if [ -n "$window" ]; then
    # The working folder decides which drive the window shows first.
    cd "$start_dir"
    exec "$program"
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

if [ -z "$screenshot" ]; then
    echo
    echo "No display found (neither DISPLAY nor WAYLAND_DISPLAY is set): one run of 10 MB on"
    echo "$drive_root without a window."
    echo "DATA CREATE, WRITE TIME, READ TIME in seconds, tab-separated, then a summary:"
    status=0
    in_measure_folder "$program" --drive "$measure_dir" --size 10 --human || status=$?
    echo
    echo "The program is $program."
    echo "To measure a drive of yours, a USB stick for example (findmnt --real lists the mounted"
    echo "drives; the window opens where a display is):"
    echo "  $program --drive /media/$(id -un)/STICK --size 100 --human"
    exit "$status"
fi

echo
echo "Running the window on a virtual X display for one START of 10 MB on $drive_root."
shot=${shot:-$build_dir/screenshot.png}
[[ $shot == /* ]] || shot="$start_dir/$shot"

xvfb_pid=
program_pid=
finished=
# Test files that were already there are the user's and stay; ours go if the run is cut short.
leftovers=()
candidates=("$program_dir/TEST.TXT")
# A RAM disk of the run's own goes, with its test file, when the program ends.
[ -n "$private_ram_disk" ] || candidates+=("$drive_root/TEST.TXT")
for file in "${candidates[@]}"; do
    [ -e "$file" ] || leftovers+=("$file")
done

cleanup() {
    if [ -n "$program_pid" ] && kill -0 "$program_pid" 2>/dev/null; then
        kill "$program_pid" 2>/dev/null || true
        wait "$program_pid" 2>/dev/null || true
    fi
    if [ -n "$xvfb_pid" ] && kill -0 "$xvfb_pid" 2>/dev/null; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    if [ -z "$finished" ]; then
        for file in "${leftovers[@]}"; do rm -f "$file"; done
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
    echo "run: $*" >&2
    if [ -s "$scratch/program.log" ]; then
        echo "--- program output ---" >&2
        cat "$scratch/program.log" >&2
    fi
    exit 1
}

# Xvfb picks a free display number itself and reports it once it accepts clients.
Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp -noreset >"$scratch/display" 2>"$scratch/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -s "$scratch/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start: $(cat "$scratch/xvfb.log")"
    sleep 0.1
done
[ -s "$scratch/display" ] || fail "Xvfb did not report its display"
DISPLAY=":$(head -n 1 "$scratch/display")"
export DISPLAY

# A runtime folder of this run's own: the program's single-instance lock lives there.
mkdir -m 700 "$scratch/runtime"
in_measure_folder env XDG_RUNTIME_DIR="$scratch/runtime" QT_QPA_PLATFORM=xcb "$program" \
    >"$scratch/program.log" 2>&1 &
program_pid=$!

title='^DOV Uruvivuz Ver\.1\.1   by Zelvik$'
window=
for _ in $(seq 200); do
    window=$(xdotool search --onlyvisible --name "$title" 2>/dev/null | head -n 1 || true)
    [ -n "$window" ] && break
    kill -0 "$program_pid" 2>/dev/null || fail "the program ended before showing its window"
    sleep 0.1
done
[ -n "$window" ] || fail "the program's window did not appear"
sleep 0.5

# Places in the window's client area: the size box, START and QUIT.
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; }
click 140 95
xdotool key ctrl+a
xdotool type --delay 30 10
click 284 136

echo "START pressed: 10 MB on $drive_root; waiting for the times..."
line=
number='[0-9]+([.,][0-9]+)?'
times="^$number"$'\t'"$number"$'\t'"$number\$"
for _ in $(seq 6000); do
    line=$(xclip -selection clipboard -o 2>/dev/null || true)
    [[ $line =~ $times ]] && break
    line=
    if xdotool search --onlyvisible --name '^Tarvello$' >/dev/null 2>&1; then
        import -window root "$shot" 2>/dev/null || true
        fail "START failed; the program's message is in the screenshot $shot"
    fi
    kill -0 "$program_pid" 2>/dev/null || fail "the program ended during the run"
    sleep 0.1
done
[ -n "$line" ] || fail "no times reached the clipboard within ten minutes"

echo
echo "Clipboard (DATA CREATE, WRITE TIME, READ TIME in seconds, tab-separated):"
printf '%s\n' "$line"

xdotool mousemove 0 0  # off the window, so no button shows as hovered
sleep 0.5              # and let the window paint the last time
import -window "$window" "$shot"
echo
echo "Screenshot of the window: $shot"

click 284 200
for _ in $(seq 100); do
    kill -0 "$program_pid" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$program_pid" 2>/dev/null; then
    fail "QUIT did not end the program"
fi
wait "$program_pid" || true
program_pid=
finished=yes
