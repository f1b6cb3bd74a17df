#!/usr/bin/env bash
# Sets up, builds all three presets, runs the whole suite under linux and
# linux-asan, checks the Windows DLL, and runs the fuzz target and the
# thread checker for a bounded time (each fuzz target 30 s), then the
# performance guard. Fails on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs="$(nproc)"

for preset in linux linux-asan windows; do
  echo "== build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
done

for preset in linux linux-asan; do
  echo "== tests: $preset"
  ctest --preset "$preset" -j"$jobs" --timeout 900
done

if [ -x scripts/check-dll.sh ]; then
  echo "== Windows DLL check"
  bash scripts/check-dll.sh build/windows
fi
if [ -x scripts/check-release.sh ]; then
  echo "== release archive"
  bash scripts/check-release.sh build/windows
fi
if [ -x tests/fuzz/run.sh ]; then
  echo "== fuzz"
  bash tests/fuzz/run.sh 30
fi
if [ -x scripts/thread-check.sh ]; then
  echo "== thread checker"
  bash scripts/thread-check.sh build/linux
fi
if [ -x scripts/perf-guard.sh ]; then
  echo "== performance guard"
  bash scripts/perf-guard.sh build/linux
fi
echo "== all checks passed"
