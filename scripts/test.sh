#!/usr/bin/env bash
# Sets up, builds all three presets, runs the whole suite under linux and
# linux-asan, checks the Windows DLL and the release archive, runs the fuzz
# targets and the thread checker for a bounded time, then the performance
# guard. Fails on any failure.
#
# Much of the suites' time is spent waiting (tgtd on loopback, time-outs,
# child processes), so on two processors the work runs in two lanes at
# once, and what both suites use is built once:
#   linux lane:     windows and linux presets, the linux suite, the DLL and
#                   release checks, the thread checker, the performance guard
#   sanitizer lane: linux-asan preset (its test programs, not the
#                   benchmarks), then, once the linux lane has built, the
#                   linux-asan suite and the fuzz targets
# sg3_utils' Windows tools are fetched and built in the background while
# the presets build. Each step's output goes to build/test-logs/STEP.log
# and one line says when it ends; at the end every step's output is
# printed, then each step's time and status.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs="$(nproc)"
logs=build/test-logs
rm -rf "$logs"
mkdir -p "$logs"
began=$SECONDS

# Returns the command's status: runs step $1 (the command after it) with
# its output in its log, and notes its status and time in the summary.
step() {
  local name="$1" start=$SECONDS status=0
  shift
  echo "== $name" >"$logs/$name.log"
  "$@" >>"$logs/$name.log" 2>&1 || status=$?
  printf '%-22s %5d s  %s\n' "$name" $((SECONDS - start)) \
    "$([ "$status" -eq 0 ] && echo passed || echo "FAILED ($status)")" | tee -a "$logs/summary.txt"
  return "$status"
}

# Returns 0 once file $1 exists, 1 if lane pid $2 ended without making it.
await() {
  while [ ! -e "$1" ]; do
    kill -0 "$2" 2>/dev/null || [ -e "$1" ] || return 1
    sleep 2
  done
}

# The tools' build prints the folder it built on its last line; 2 means
# the source package cannot be fetched here, and the tests that use the
# tools then skip themselves.
sg3_tools() {
  local status=0
  bash scripts/sg3-tools.sh build/sg3-utils || status=$?
  [ "$status" -eq 2 ] && echo "sg3-tools: not fetched; the sg3_utils tests will skip"
  [ "$status" -eq 0 ] || [ "$status" -eq 2 ]
}

build() {
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j"$jobs"
}

suite() {
  ctest --preset "$1" -j"$jobs" --timeout 900
}

fuzz() {
  bash tests/fuzz/run.sh 30
}

linux_lane() {
  step build-windows build windows &&
  step build-linux build linux &&
  touch "$logs/linux-lane-built" &&
  step tests-linux suite linux &&
  step check-dll bash scripts/check-dll.sh build/windows &&
  step check-release bash scripts/check-release.sh build/windows &&
  step thread-check bash scripts/thread-check.sh build/linux &&
  step perf-guard bash scripts/perf-guard.sh build/linux
}

# The sanitised build builds what its suite runs: `all` less the
# benchmarks, which measure the unsanitised build only.
sanitizer_lane() {
  step build-linux-asan build linux-asan &&
  await "$logs/linux-lane-built" "$linux_pid" &&
  step tests-linux-asan suite linux-asan &&
  step fuzz fuzz
}

step sg3-tools sg3_tools &
sg3_pid=$!
linux_lane &
linux_pid=$!
sanitizer_lane &
sanitizer_pid=$!

failed=0
wait "$sg3_pid" || failed=1
wait "$linux_pid" || failed=1
wait "$sanitizer_pid" || failed=1
for log in sg3-tools build-windows build-linux build-linux-asan tests-linux check-dll \
           check-release thread-check perf-guard tests-linux-asan fuzz; do
  [ -f "$logs/$log.log" ] && cat "$logs/$log.log"
done
echo "== time by step (the lanes overlap)"
cat "$logs/summary.txt"
echo "== $((SECONDS - began)) s in all"
if [ "$failed" -ne 0 ]; then
  echo "== FAILED (see above and build/test-logs)" >&2
  exit 1
fi
echo "== all checks passed"
