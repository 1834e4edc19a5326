#!/usr/bin/env bash
# Builds the benchmark and the program in release mode and runs the benchmark once. At the end
# it prints, side by side, the create phase against plain 1 MiB block writes, the write and read
# copies against dd, the read-back check against a plain read, and from whole runs of the
# command-line program (BUILD_DIR/bin/dov-uruvivuz --drive BENCH_DIR --size N) the peak memory
# of a large run against a 10 MB run and a run with its progress line against one without.
# Those runs put their test file at the root of the drive holding BENCH_DIR (which must be
# writable) and the local one next to the program, in BUILD_DIR/bin.
#   BUILD_DIR  build folder (default: build-bench/ for the checkout's owner, else build-bench-NAME/)
#   BENCH_DIR  folder on the disk to measure (default: /var/tmp)
#   BENCH_MB   size of the timed test file in MB (default: 100)
#   PEAK_MB    size of the large run for the memory figure (default: 1000)
#   REPEAT     runs of each timed figure; their median is compared (default: 5). The runs of
#              the different figures are interleaved, so a slow spell of the disk hits all alike.
# Further arguments go to the benchmark binary (e.g. --benchmark_filter=copy).
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/build-folder.sh
pick_build_folder build-bench || exit 1
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DDOV_BUILD_BENCH=ON >/dev/null
cmake --build "$build_dir" --target dov_bench -j "$(nproc)"

exec "$build_dir/bin/dov_bench" \
    --dir="${BENCH_DIR:-/var/tmp}" \
    --mb="${BENCH_MB:-100}" \
    --peak-mb="${PEAK_MB:-1000}" \
    --repetitions="${REPEAT:-5}" \
    --benchmark_enable_random_interleaving=true \
    "$@"
