#!/usr/bin/env bash
# Runs the whole suite of the linux and linux-asan presets ROUNDS times
# each (default 10), both at once, while a CPU-heavy job keeps every
# processor busy, to
# find the tests that fail by chance: a race, a sleep used as
# synchronisation, a time limit that a loaded machine exceeds. Prints each
# failure with its output and exits non-zero on any.
#
#   scripts/stress-suite.sh [ROUNDS]
#
# The load is stress-ng's CPU workers when stress-ng is installed, else one
# busy shell loop per processor. Run it before a change that touches
# threads, time-outs, processes or tgtd lands.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds="${1:-10}"
case "$rounds" in
  ''|*[!0-9]*|0) echo "stress-suite: ROUNDS must be a positive number, not '$rounds'" >&2; exit 2 ;;
esac
jobs="$(nproc)"
logs="$(mktemp -d /tmp/ptaspi-stress.XXXXXX)"

for preset in linux linux-asan; do
  echo "== build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs" >"$logs/build-$preset.log" 2>&1 ||
    { tail -n 40 "$logs/build-$preset.log" >&2; exit 1; }
done

load_pids=()
stop_load() {
  for pid in "${load_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap stop_load EXIT
if command -v stress-ng >/dev/null 2>&1; then
  stress-ng --cpu "$jobs" --quiet &
  load_pids+=($!)
else
  for _ in $(seq "$jobs"); do
    (while :; do :; done) &
    load_pids+=($!)
  done
fi
echo "== load: $jobs CPU-bound workers ($(command -v stress-ng >/dev/null 2>&1 && echo stress-ng || echo shell loops))"

start=$SECONDS
suite_pids=()
# Both presets run at once: each is load for the other besides the CPU
# workers, and a suite that mostly waits on time-outs then takes half the
# time.
for preset in linux linux-asan; do
  echo "== $preset: the whole suite, $rounds rounds, under load"
  (
    began=$SECONDS
    if ctest --preset "$preset" -j"$jobs" --timeout 900 --repeat until-fail:"$rounds" \
        --output-on-failure >"$logs/ctest-$preset.log" 2>&1; then
      echo "passed in $((SECONDS - began)) s" >"$logs/result-$preset"
    else
      echo "FAILED after $((SECONDS - began)) s" >"$logs/result-$preset"
    fi
  ) &
  suite_pids+=($!)
done
for pid in "${suite_pids[@]}"; do wait "$pid" || true; done

failed=0
for preset in linux linux-asan; do
  log="$logs/ctest-$preset.log"
  result="$(cat "$logs/result-$preset" 2>/dev/null || echo "FAILED: no result")"
  echo "== $preset: $result; $(grep -E 'tests passed' "$log" | tail -n 1)"
  case "$result" in
    passed*) ;;
    *)
      failed=1
      echo "   the failing tests' output:"
      # ctest prints a failing test's output right after its result line.
      awk '/\*\*\*Failed|\*\*\*Exception|\*\*\*Timeout|Failed  |Exception: / {show=1}
           /^ *[0-9]+\/[0-9]+ Test +#[0-9]+: .* Passed/ {show=0}
           show' "$log"
      sed -n '/The following tests FAILED/,$p' "$log"
      ;;
  esac
done
echo "== $rounds rounds of both presets under load took $((SECONDS - start)) s (logs in $logs)"
exit "$failed"
