#!/usr/bin/env bash
# Sets up, builds the Linux preset and runs the main job on the built-in
# default machine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j"$(nproc)"
build/linux/tools/aspitool scan
build/linux/tools/aspitool read 0:0:0 0 2
echo
echo "The library's own tables on the same machine (host adapters and device table):"
build/linux/tools/discovery_report
