#!/usr/bin/env bash
# cpack refuses to make the Debian package when a tool it needs to name the package's libraries
# is missing, instead of making one that installs and cannot start. The tool is hidden under an
# empty file in a mount namespace of the test's own, so the system never sees it gone.
#   tst_packageguard.sh CPACK BUILD_DIR
set -euo pipefail
cpack=$1
build=$2
skip() {
    echo "SKIP: $*"
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "hiding a tool needs root (a private mount namespace)"
unshare --mount true 2>/dev/null || skip "this root may not make a mount namespace"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
: >"$scratch/empty"
failures=0

# check TOOL: with TOOL hidden, cpack fails, names it and what to install, and packs nothing.
check() {
    local tool=${tools[$1]} status=0
    mkdir "$scratch/$1"
    # shellcheck disable=SC2016
    unshare --mount sh -c 'mount --bind "$1" "$2" && shift 2 && exec "$@"' sh \
        "$scratch/empty" "$tool" "$cpack" -G DEB --config "$build/CPackConfig.cmake" \
        -B "$scratch/$1" >"$scratch/$1.log" 2>&1 || status=$?
    if [ "$status" -eq 0 ] || ! grep -q "lacks $1\. Install them: apt-get install dpkg-dev file" \
        "$scratch/$1.log" || [ -n "$(find "$scratch/$1" -name '*.deb')" ]; then
        echo "FAIL without $1: status $status, output:"
        cat "$scratch/$1.log"
        failures=$((failures + 1))
    fi
}

# Both must be there, or a row would pass for the tool that was missing anyway.
declare -A tools
for tool in dpkg-shlibdeps file; do
    tools[$tool]=$(readlink -f "$(command -v "$tool")") || true
    [ -x "${tools[$tool]}" ] || skip "$tool is not installed, so cpack refuses anyway"
done
for tool in dpkg-shlibdeps file; do check "$tool"; done
[ "$failures" -eq 0 ] && echo "PASS: cpack refuses without each tool"
exit "$failures"
