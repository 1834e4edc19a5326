# shellcheck shell=bash disable=SC2034
# Sourced by run.sh and test.sh: which build folder this user builds in. A build folder serves
# one user: files another user left in it can be neither rewritten nor removed, and CMake then
# fails on every one of them. So the checkout's owner builds in build/, anyone else (root in a
# user's checkout) in build-NAME/, and a folder holding another user's files is refused.
#
#   BUILD_DIR   the build folder to use instead (default: as above)

# Sets build_dir to $1 (default: build) or $1-NAME, or says on standard error why there is
# none for this user and returns 1.
pick_build_folder() {
    local base=${1:-build} me foreign owner
    me=$(id -un)
    if [ -n "${BUILD_DIR:-}" ]; then
        build_dir=$BUILD_DIR
    elif [ "$(stat -c %u .)" -eq "$(id -u)" ]; then
        build_dir=$base
    else
        build_dir=$base-$me
    fi
    if [ -e "$build_dir" ]; then
        foreign=$(find "$build_dir" ! -user "$(id -u)" -print -quit 2>/dev/null || true)
        [ -z "$foreign" ] && return 0
        owner=$(stat -c %U "$foreign")
        echo "$build_dir/ holds files of $owner's ($foreign), and a build folder serves one user." >&2
        echo "Run this as $owner, or give yourself a folder of your own: BUILD_DIR=$base-$me $0" >&2
        return 1
    fi
    if [ ! -w . ]; then
        owner=$(stat -c %U .)
        echo "$me may not create $build_dir/ in $PWD, which belongs to $owner." >&2
        echo "Run this as $owner, or copy the checkout into a folder of yours and run it there." >&2
        return 1
    fi
}
