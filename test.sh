#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test suite; then runs the
# engine and command-line suites again under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh
partwise_install_missing
jobs=$(nproc)

partwise_build build
ctest --test-dir build --output-on-failure -j "$jobs"

partwise_build build-asan -DCMAKE_BUILD_TYPE=Debug -DPARTWISE_UI=OFF \
  "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
ctest --test-dir build-asan --output-on-failure -j "$jobs"
