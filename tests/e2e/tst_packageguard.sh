#!/usr/bin/env bash
# cpack refuses to make the Debian package without a tool that names its libraries, instead of
# making one that installs and cannot start. Each tool is hidden under an empty file in a mount
# namespace of the test's own, so the system never sees it gone.   Usage: CPACK BUILD_DIR
set -euo pipefail
skip() { echo "SKIP: $*" && exit 77; }
{ [ "$(id -u)" -eq 0 ] && unshare --mount true 2>/dev/null; } ||
    skip "hiding a tool needs root and a mount namespace of the test's own"
# Both must be there, or a row would pass for the tool that was missing anyway.
for tool in dpkg-shlibdeps file; do
    [ -x "$(readlink -f "$(command -v $tool)")" ] || skip "$tool is not installed: cpack refuses anyway"
done
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
: >"$scratch/empty"
failures=0
for tool in dpkg-shlibdeps file; do
    status=0
    # shellcheck disable=SC2016
    unshare --mount sh -c 'mount --bind "$1" "$2" && shift 2 && exec "$@"' sh "$scratch/empty" \
        "$(readlink -f "$(command -v $tool)")" "$1" -G DEB --config "$2/CPackConfig.cmake" \
        -B "$scratch/$tool" >"$scratch/log" 2>&1 || status=$?
    if [ $status -eq 0 ] || [ -n "$(find "$scratch" -name '*.deb')" ] ||
        ! grep -q "lacks $tool\. Install them: apt-get install dpkg-dev file" "$scratch/log"; then
        echo "FAIL without $tool: status $status" && cat "$scratch/log" && failures=$((failures + 1))
    fi
done
[ "$failures" -eq 0 ] && echo "PASS: cpack refuses without each tool"
exit "$failures"
