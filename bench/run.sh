#!/usr/bin/env bash
# Builds the benchmark program in the linux preset and runs it twice:
#  1. the compared set, with every thread on processor 0 (taskset -c 0):
#     the round trips of the library, of its floor and of a direct
#     pass-through, the same with the simulator's waits watching before
#     they sleep (Watch/), and the floor's parts alone (Unavoidable/). On one
#     processor a hand-off between two threads is a plain context switch,
#     so the ratio of two round trips measures work;
#  2. every benchmark on both processors, as a user of this machine sees
#     them. These figures are shown, not compared: unpinned, a round trip
#     falls into one of two regimes, depending on how the two threads meet
#     across processors, that persist for seconds.
# Each run's tables on the terminal and in build/bench/pinned.txt and
# build/bench/results.txt, its JSON beside them (.json), which
# bench/plot.sh draws and bench/table.sh tabulates. Extra arguments go to
# both runs (a --benchmark_filter given here wins over the pinned run's).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -f build/linux/CMakeCache.txt ]; then
  cmake --preset linux >/dev/null
fi
cmake --build build/linux --target ptaspi_bench -j"$(nproc)" >/dev/null
mkdir -p build/bench
# Three repetitions, each benchmark's median counting: on a shared machine
# one run of a few hundred milliseconds says little.
run() {  # $1: output name; the rest: the command's arguments
  local name="$1"
  shift
  "$@" --benchmark_repetitions=3 --benchmark_min_time=0.2 \
    --benchmark_color=false --benchmark_display_aggregates_only=true \
    --benchmark_out="build/bench/$name.json" --benchmark_out_format=json | tee "build/bench/$name.txt"
}
echo "== pinned to processor 0: the compared set"
run pinned taskset -c 0 build/linux/bench/ptaspi_bench \
  --benchmark_filter='^(RoundTrip|Watch|Unavoidable)/' "$@"
echo "== both processors: every benchmark"
run results build/linux/bench/ptaspi_bench "$@"
echo "results: build/bench/pinned.json, build/bench/results.json"
