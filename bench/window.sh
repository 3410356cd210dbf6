#!/usr/bin/env bash
# Times the window, offscreen, on large inputs: listing chunk sets of 1,000,
# 20,000 and 200,000 chunks and checking every byte of them, joining the
# 200,000-chunk set and deleting its chunks, and adding a folder of 100,000
# files. Prints the time from request to painted window with the ratio to the
# size before (linear growth shows as a ratio near the size factor), and the
# longest the window went without serving its events. Data goes to BENCH_DIR (default
# /tmp; about 1.5 GiB, most of it the blocks of small files) and is removed
# at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
partwise_install_missing
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench --target window_bench >/dev/null
build-bench/bench/window_bench
