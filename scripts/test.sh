#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
#   BUILD_DIR   build folder (default: build)
#   CMAKE_ARGS  extra configure options, e.g. "-DDOV_WERROR=ON -DDOV_SANITIZE=ON"
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

build_dir=${BUILD_DIR:-build}
# shellcheck disable=SC2086
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} ${CMAKE_ARGS:-}
cmake --build "$build_dir" -j "$(nproc)"
cd "$build_dir"
ctest --output-on-failure -j1
