#!/usr/bin/env bash
# Installs what is missing, builds, and starts the window.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh
partwise_install_missing
partwise_build build
if [ ! -x build/ui/partwise ]; then
  echo "The window is not built yet; the command line is build/cli/partwise-cli." >&2
  exit 1
fi
exec build/ui/partwise "$@"
