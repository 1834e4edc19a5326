#!/usr/bin/env bash
# Installs the Debian 12 packages one set of tasks needs; runs apt-get only for what is missing.
#
#   scripts/install-deps.sh run         building and running the program: compiler, CMake, Qt
#                                       and the window's fonts
#   scripts/install-deps.sh screenshot  that, and what `run.sh --screenshot` drives the window with
#   scripts/install-deps.sh test        that, and everything the tests, the benchmark and the
#                                       Debian package use (the default)
#
# Uses sudo when not run as root; without either, says what it would install.
set -euo pipefail

run=(
    cmake g++ make pkg-config qt6-base-dev
    fonts-ipafont-gothic fonts-liberation2
)
screenshot=(xvfb xdotool xclip imagemagick)
test=(
    libbenchmark-dev
    x11-utils libxcb1-dev
    e2fsprogs btrfs-progs util-linux mount exfat-fuse exfatprogs fuse2fs fusefat dosfstools squashfs-tools
    desktop-file-utils appstream binutils-mingw-w64-i686 libxml2-utils groff-base
    dpkg-dev file lintian git
    dbus polkitd pkexec passwd
    at-spi2-core python3-pyatspi gir1.2-atspi-2.0
)

case ${1:-test} in
    run) packages=("${run[@]}") ;;
    screenshot) packages=("${run[@]}" "${screenshot[@]}") ;;
    test) packages=("${run[@]}" "${screenshot[@]}" "${test[@]}") ;;
    *)
        echo "Usage: scripts/install-deps.sh [run|screenshot|test]" >&2
        exit 2
        ;;
esac

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
        echo "Would install these Debian packages: ${missing[*]}"
        echo "That needs root, and sudo is not installed: run this again as root, or as root run" >&2
        echo "apt-get install sudo && adduser $(id -un) sudo, then log in again." >&2
        exit 1
    fi
    as_root=(sudo)
fi
# apt-get's and dpkg's own progress, hundreds of lines, goes to a log; the last of it is shown
# when they fail.
log=$(mktemp "${TMPDIR:-/tmp}/dov-install-deps.XXXXXX.log")
echo "Installing these Debian packages and what they need: ${missing[*]}"
echo "(apt-get's progress: $log)"
apt() {
    # Through sudo too, so that no package asks a question in the middle of the install.
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "$@" >>"$log" 2>&1 || {
        echo "apt-get $1 failed; the end of its output ($log):" >&2
        tail -n 15 "$log" >&2
        exit 1
    }
}
apt update
apt install -y --no-install-recommends "${missing[@]}"
echo "Installed."
