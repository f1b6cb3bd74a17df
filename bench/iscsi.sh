#!/bin/sh
# Runs the iSCSI benchmarks against a tgtd started for the run and stopped
# after it, and prints the ratio library/libiscsi of each pair (1.0: the
# whole stack costs nothing over libiscsi alone).
#   bench/iscsi.sh [BUILD_DIR] [extra benchmark options]
# BUILD_DIR defaults to build/linux; the target's files go into
# BUILD_DIR/iscsi-bench-target.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/linux}
[ $# -gt 0 ] && shift
bench=$build/bench/ptaspi_bench
[ -x "$bench" ] || { echo "iscsi.sh: $bench not built (cmake --build --preset linux --target ptaspi_bench)" >&2; exit 1; }
dir=$build/iscsi-bench-target
machine=$("$here/scripts/iscsi-target.sh" start "$dir" | tail -n 1)
trap '"$here/scripts/iscsi-target.sh" stop "$dir"' EXIT INT TERM
# Repetitions in random order spread the load of a shared machine over
# both sides of each pair alike.
PTASPI_ISCSI_MACHINE=$machine "$bench" --benchmark_filter='^Iscsi/' --benchmark_repetitions=5 \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true "$@"
