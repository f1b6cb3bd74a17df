#!/usr/bin/env bash
# Builds the benchmark program in the linux preset and runs it: Google
# Benchmark's table, then the ratio tables, on the terminal; every run as
# JSON in build/bench/results.json, which bench/plot.sh draws. Extra
# arguments go to the program (--benchmark_filter=RoundTrip, ...).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -f build/linux/CMakeCache.txt ]; then
  cmake --preset linux >/dev/null
fi
cmake --build build/linux --target ptaspi_bench -j"$(nproc)" >/dev/null
mkdir -p build/bench
# Three repetitions, each benchmark's median counting: on a shared machine
# one run of a few hundred milliseconds says little.
build/linux/bench/ptaspi_bench --benchmark_repetitions=3 --benchmark_min_time=0.2 \
  --benchmark_color=false --benchmark_display_aggregates_only=true \
  --benchmark_out=build/bench/results.json --benchmark_out_format=json "$@"
echo "results: build/bench/results.json"
