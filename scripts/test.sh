#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
#   BUILD_DIR   build folder (default: build)
#   CMAKE_ARGS  extra configure options, e.g. "-DDOV_WERROR=ON -DDOV_SANITIZE=ON"
#   CTEST_ARGS  extra ctest options, e.g. a selection of tests
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh test

build_dir=${BUILD_DIR:-build}
# A folder run.sh set up for the program alone gets its tests and benchmark back.
# shellcheck disable=SC2086
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} \
    -DDOV_BUILD_TESTS=ON -DDOV_BUILD_BENCH=ON ${CMAKE_ARGS:-}
cmake --build "$build_dir" -j "$(nproc)"
cd "$build_dir"
# shellcheck disable=SC2086
ctest --output-on-failure -j1 ${CTEST_ARGS:-}
