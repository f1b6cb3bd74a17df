#!/usr/bin/env bash
# Sets up, builds what the main job needs of the Linux and Windows presets
# and runs it on the built-in default machine, on the shared object and on
# the DLL.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# Only what the job runs: the library and the client for each platform,
# the table report and the program runner; the test programs are built by
# scripts/test.sh.
cmake --preset linux >/dev/null
cmake --build --preset linux -j"$(nproc)" --target ptaspi32 aspitool discovery_report ntrun
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$(nproc)" --target ptaspi32 aspitool
build/linux/tools/aspitool scan
build/linux/tools/aspitool read 0:0:0 0 2
echo
echo "The same scan on ptaspi32.dll, the Windows build, run by the simulator's PE loader:"
build/linux/tools/aspitool --library build/windows/ptaspi32.dll scan
echo
echo "The library's own tables on the same machine (host adapters and device table):"
build/linux/tools/discovery_report
echo
echo "The same scan by aspitool.exe, the Windows build of the client, run by ntrun with ptaspi32.dll beside it:"
build/linux/tools/ntrun build/windows/aspitool.exe scan
