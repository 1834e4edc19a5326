# shellcheck shell=bash disable=SC2034
# Sourced by run.sh: which folder a run without a window measures. The program measures the
# volume that holds the folder it is given and refuses one it cannot (the kernel's file systems,
# read-only images, read-only mounts, folders no mount it can see holds); these functions judge
# the same way from findmnt, so the script never hands it a folder it would refuse.
#
#   FINDMNT   the findmnt command (default: findmnt); the tests give a fake one

# Sets refusal to why the program cannot measure the volume that holds $1 for this user, or
# else volume_root to that volume's mount point.
judge_volume() {
    local line target type options
    refusal=
    volume_root=
    line=$(${FINDMNT:-findmnt} --noheadings --raw --output TARGET,FSTYPE,OPTIONS --target "$1" \
        2>/dev/null | tail -n 1) || true
    if [ -z "$line" ]; then
        # Inside a chroot the mount table shows only what was mounted inside it, usually the
        # bound /proc, /sys and /dev, and never the chroot's own files.
        refusal="no mounted drive holds it"
        return
    fi
    read -r target type options <<<"$line"
    target=$(printf '%b' "$target") # findmnt --raw writes a blank as \x20
    case $type in
        proc | sysfs | devtmpfs | devpts | cgroup | cgroup2 | securityfs | debugfs | tracefs | \
            mqueue | hugetlbfs | pstore | bpf | configfs | autofs | binfmt_misc | efivarfs | nsfs)
            refusal="it is on $type, a file system of the kernel's, not a drive"
            return
            ;;
        squashfs | erofs | cramfs | romfs | fuse.squashfuse*)
            refusal="it is on a $type image, which is read-only"
            return
            ;;
    esac
    if [[ ,$options, == *,ro,* ]]; then
        refusal="its drive $target is mounted read-only"
    elif [ ! -w "$target" ]; then
        refusal="the root of its drive, $target, where the test file goes, is not writable for $(id -un)"
    else
        volume_root=$target
    fi
}

# Picks the first folder of "$@" that the program can measure: sets measure_dir and drive_root,
# and lists in skipped what was passed over and why. Leaves measure_dir empty when none fits.
choose_measure_folder() {
    local folder
    measure_dir=
    drive_root=
    skipped=()
    for folder in "$@"; do
        if [ ! -d "$folder" ]; then
            skipped+=("$folder: there is no such folder")
            continue
        fi
        judge_volume "$folder"
        if [ -n "$volume_root" ]; then
            measure_dir=$folder
            drive_root=$volume_root
            return
        fi
        skipped+=("$folder: $refusal")
    done
}
