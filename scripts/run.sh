#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it.
#
#   scripts/run.sh                     with a display: opens the window; without one: one run
#                                      of 10 MB on the current folder's drive, no window needed
#   scripts/run.sh --screenshot [PATH] the window at work on a virtual X display: one START of
#                                      10 MB, its times from the clipboard and a screenshot
#
# Both measure the drive of the current folder, or the RAM disk /dev/shm when the root of that
# drive is not writable or no mounted drive holds the folder (as in a plain chroot); without
# /dev/shm too, a temporary folder. Installs only what building and running need (and for
# --screenshot what drives the window); scripts/test.sh installs the rest.
#
#   BUILD_DIR   build folder (default: build)
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

start_dir=$PWD
cd "$(dirname "${BASH_SOURCE[0]}")/.."

if [ -n "$screenshot" ]; then scripts/install-deps.sh screenshot; else scripts/install-deps.sh run; fi

build_dir=${BUILD_DIR:-build}
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

if [ -z "$screenshot" ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
    # The working folder decides which drive the window shows first.
    cd "$start_dir"
    exec "$program"
fi

# The drive to measure: the volume of the current folder, when its root takes a new file.
# Otherwise /dev/shm, a RAM disk every user may write to, so the run can still show its work;
# where that is missing too, a folder of this run's own.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
measure_dir=$start_dir
drive_root=$(findmnt --noheadings --output TARGET --target "$measure_dir" 2>/dev/null | tail -n 1 || true)
if [ -z "$drive_root" ]; then
    echo "No mounted drive holds $measure_dir (findmnt lists none, as in a chroot without /proc);"
elif [ ! -w "$drive_root" ]; then
    echo "The root of $drive_root (the drive of $measure_dir) is not writable for $(id -un);"
fi
if [ -z "$drive_root" ] || [ ! -w "$drive_root" ]; then
    if [ -d /dev/shm ] && [ -w /dev/shm ]; then
        echo "measuring the RAM disk /dev/shm instead."
        measure_dir=/dev/shm
    else
        echo "/dev/shm, the RAM disk tried next, is missing or not writable too;"
        echo "measuring a temporary folder, $scratch/drive, instead."
        mkdir "$scratch/drive"
        measure_dir=$scratch/drive
    fi
    drive_root=$measure_dir
fi

if [ -z "$screenshot" ]; then
    echo
    echo "No display found (neither DISPLAY nor WAYLAND_DISPLAY is set): one run of 10 MB on"
    echo "$drive_root without a window."
    echo "DATA CREATE, WRITE TIME, READ TIME in seconds, tab-separated, then a summary:"
    status=0
    "$program" --drive "$measure_dir" --size 10 --human || status=$?
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
for file in "$program_dir/TEST.TXT" "$drive_root/TEST.TXT"; do
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
(cd "$measure_dir" && XDG_RUNTIME_DIR="$scratch/runtime" QT_QPA_PLATFORM=xcb \
    exec "$program" >"$scratch/program.log" 2>&1) &
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
