#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh
partwise_install_missing
partwise_build build
ctest --test-dir build --output-on-failure -j "$(nproc)"
