#!/usr/bin/env bash
# Sets up, builds the Linux preset and runs the main job on the built-in
# default machine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j"$(nproc)"
if [ -x build/linux/tools/aspitool ]; then
  build/linux/tools/aspitool scan
  build/linux/tools/aspitool read 0:0:0 0 2
else
  build/linux/tools/discovery_report
fi
