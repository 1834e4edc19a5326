#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; ends with the cases that were skipped
# and why.
#   BUILD_DIR   build folder (default: build/ for the checkout's owner, else build-NAME/)
#   BUILD_TYPE  CMake build type (default: the build folder's own, else RelWithDebInfo)
#   CMAKE_ARGS  extra configure options, e.g. "-DDOV_WERROR=ON -DDOV_SANITIZE=ON"
#   CTEST_ARGS  extra ctest options, e.g. a selection of tests
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/build-folder.sh
pick_build_folder || exit 1
scripts/install-deps.sh test

# A folder run.sh set up keeps its build type, so its objects serve again; its tests and
# benchmark are switched on.
build_type=${BUILD_TYPE:-}
if [ -z "$build_type" ] && [ -f "$build_dir/CMakeCache.txt" ]; then
    build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
fi
# shellcheck disable=SC2086
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="${build_type:-RelWithDebInfo}" \
    -DDOV_BUILD_TESTS=ON -DDOV_BUILD_BENCH=ON ${CMAKE_ARGS:-}
cmake --build "$build_dir" -j "$(nproc)"
cd "$build_dir"
status=0
# shellcheck disable=SC2086
ctest --output-on-failure -j1 ${CTEST_ARGS:-} || status=$?

# Every test's whole output is in ctest's log; its skip lines, with the test's name.
log=Testing/Temporary/LastTest.log
skips=$(awk '/^[0-9]+\/[0-9]+ Test: / { test = $3 }
    sub(/^SKIP *: /, "") { print "  " test ": " $0 }' "$log" 2>/dev/null || true)
if [ -n "$skips" ]; then
    count=$(wc -l <<<"$skips")
    echo
    echo "Skipped cases: $count, each with its reason (all output: $PWD/$log):"
    head -n 40 <<<"$skips"
    [ "$count" -le 40 ] || echo "  ... and $((count - 40)) more in the log."
fi
exit "$status"
