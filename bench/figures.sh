#!/usr/bin/env bash
# Takes every figure of the README's performance section in one go, for a
# quiet moment on the machine: one bench/run.sh run, five bench/iscsi.sh
# runs, the performance guard; then draws docs/performance.svg and writes
# the table (bench/table.sh, also in build/bench/table.md) into the README
# between its two markers. --no-iscsi leaves the iSCSI runs out (and any
# earlier ones in build/bench out of the table).
#   bench/figures.sh [--no-iscsi]
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/bench
mkdir -p "$out"
bash bench/run.sh
rm -f "$out"/iscsi-[0-9].txt "$out"/iscsi-[0-9].json
if [ "${1:-}" != "--no-iscsi" ]; then
  for run in 1 2 3 4 5; do
    echo "== bench/iscsi.sh, run $run of 5"
    bash bench/iscsi.sh build/linux --benchmark_out="$out/iscsi-$run.json" \
      --benchmark_out_format=json | tee "$out/iscsi-$run.txt"
  done
fi
bash scripts/perf-guard.sh build/linux | tee "$out/perf-guard.txt"
bash bench/plot.sh "$out" docs/performance.svg
bash bench/table.sh "$out" | tee "$out/table.md"
awk -v table="$out/table.md" '
  /^<!-- bench\/figures.sh: table begins -->$/ { print; while ((getline line < table) > 0) print line; skip = 1; next }
  /^<!-- bench\/figures.sh: table ends -->$/ { skip = 0 }
  !skip
' README.md >"$out/README.md"
cmp -s "$out/README.md" README.md || cp "$out/README.md" README.md
echo "README.md: table rewritten"
