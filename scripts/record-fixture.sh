#!/usr/bin/env bash
# Records the parts of this machine's /proc and /sys that the drive list and the drive type
# read, into tests/fixtures/NAME, keeping the kernel's layout and its relative symbolic links.
#
#   scripts/record-fixture.sh NAME [MOUNT_POINT...]
#
# With mount points, only their lines of /proc/self/mountinfo are kept (plus "/"), so that the
# recording carries nothing else of the machine. For every recorded mount on a block device it
# keeps /sys/dev/block/MAJ:MIN, the device's folder with a few attributes, its partition's disk,
# the devices beneath a device-mapper or md device (slaves/), the subsystem links of the devices
# above it, /sys/block and /sys/class/block links, and /dev/disk/by-label links to it.
set -euo pipefail

if [ $# -lt 1 ] || [[ "$1" == -* ]]; then
    sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
fi
name=$1
shift
repo=$(cd "$(dirname "$0")/.." && pwd)
target="$repo/tests/fixtures/$name"
if [ -e "$target" ]; then
    echo "$target exists already; remove it first" >&2
    exit 1
fi

# The kernel's mountinfo escaping of a path: backslash, blank, tab and new line as \ooo.
mountinfo_escape() {
    local path=$1
    path=${path//\\/\\134}
    path=${path// /\\040}
    path=${path//$'\t'/\\011}
    path=${path//$'\n'/\\012}
    printf '%s' "$path"
}

mkdir -p "$target/proc/self"
if [ $# -eq 0 ]; then
    cat /proc/self/mountinfo >"$target/proc/self/mountinfo"
else
    wanted=$(printf '%s\n' "/" "$@" | while IFS= read -r point; do mountinfo_escape "$point"; echo; done)
    WANTED=$wanted awk 'BEGIN { n = split(ENVIRON["WANTED"], list, "\n"); for (i = 1; i <= n; i++) want[list[i]] = 1 }
                        ($5 in want) { print }' /proc/self/mountinfo >"$target/proc/self/mountinfo"
fi

declare -A done_paths=()

# Copies a symbolic link as it is stored.
record_link() {
    local path=$1
    [ -L "$path" ] || return 0
    [ -n "${done_paths[$path]:-}" ] && return 0
    done_paths[$path]=1
    mkdir -p "$target$(dirname "$path")"
    ln -sfn "$(readlink "$path")" "$target$path"
}

record_attribute() {
    local path=$1
    [ -f "$path" ] && [ -r "$path" ] || return 0
    mkdir -p "$target$(dirname "$path")"
    cat "$path" >"$target$path" 2>/dev/null || rm -f "$target$path"
}

# Records a block device's folder (a path below /sys/devices, links resolved) and what it
# depends on.
record_device() {
    local folder=$1
    [ -d "$folder" ] || return 0
    [ -n "${done_paths[$folder]:-}" ] && return 0
    done_paths[$folder]=1
    mkdir -p "$target$folder"
    local attribute
    for attribute in dev size removable ro partition start; do
        record_attribute "$folder/$attribute"
    done
    local device_name
    device_name=$(basename "$folder")
    record_link "/sys/class/block/$device_name"
    if [ -f "$folder/partition" ]; then
        record_device "$(dirname "$folder")"
    else
        record_link "/sys/block/$device_name"
        record_link "$folder/device"
        if [ -d "$folder/device" ]; then
            local device_folder
            device_folder=$(readlink -f "$folder/device")
            for attribute in type vendor model; do
                record_attribute "$device_folder/$attribute"
            done
        fi
        local slave
        for slave in "$folder"/slaves/*; do
            [ -L "$slave" ] || continue
            record_link "$slave"
            record_device "$(readlink -f "$slave")"
        done
    fi
    # The buses above the device: the drive type looks for USB and MMC there.
    local ancestor=$folder
    while ancestor=$(dirname "$ancestor") && [ "$ancestor" != /sys/devices ] && [ "$ancestor" != / ]; do
        record_link "$ancestor/subsystem"
    done
    # udev's labels that point at this device.
    local label
    for label in /dev/disk/by-label/*; do
        [ -L "$label" ] || continue
        [ "$(basename "$(readlink "$label")")" = "$device_name" ] && record_link "$label"
    done
    return 0
}

while read -r _ _ device _ _ _ rest; do
    rest=" $rest"
    source=${rest#* - }
    source=${source#* }
    source=${source%% *}
    if [ "${device%%:*}" != 0 ]; then
        record_link "/sys/dev/block/$device"
        record_device "$(readlink -f "/sys/dev/block/$device")"
    elif [[ "$source" == /dev/* ]] && [ -b "$source" ]; then
        record_device "$(readlink -f "/sys/class/block/$(basename "$(readlink -f "$source")")")"
    fi
done <"$target/proc/self/mountinfo"

echo "Recorded $(wc -l <"$target/proc/self/mountinfo") mounts into $target"
