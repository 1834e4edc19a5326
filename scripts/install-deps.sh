#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, run and test the program.
# Runs apt-get only for what is missing; uses sudo when not root.
set -euo pipefail

packages=(
    cmake g++ make pkg-config
    qt6-base-dev libbenchmark-dev
    fonts-ipafont-gothic fonts-liberation2
    xvfb xdotool xclip x11-utils imagemagick libxcb1-dev
    e2fsprogs util-linux mount exfat-fuse exfatprogs fuse2fs fusefat dosfstools
    desktop-file-utils appstream binutils-mingw-w64-i686 libxml2-utils groff-base
    dpkg-dev lintian git
    dbus polkitd pkexec passwd
    at-spi2-core python3-pyatspi gir1.2-atspi-2.0
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
