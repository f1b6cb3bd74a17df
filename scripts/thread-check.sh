#!/usr/bin/env bash
# Runs the concurrency tests under valgrind's thread checkers (Helgrind and
# DRD) with a bounded size; fails when either reports an error.
set -euo pipefail
build="${1:-build/linux}"
filter="${PTASPI_THREAD_CHECK_FILTER:-*Concurrent*:*Stress*}"
for tool in helgrind drd; do
  echo "thread-check: $tool on $filter"
  PTASPI_STRESS_SCALE=small valgrind --tool="$tool" --error-exitcode=99 -q \
    --suppressions="$(dirname "$0")/valgrind.supp" \
    "$build/unit_tests" --gtest_filter="$filter" --gtest_brief=1
done
