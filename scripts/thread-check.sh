#!/usr/bin/env bash
# Runs the concurrency tests under valgrind's thread checker DRD, with a
# bounded size; fails when it reports an error. (Helgrind from Debian 12's
# valgrind 3.19 stops with an internal assertion on these tests, so DRD is
# the checker used.)
set -euo pipefail
build="${1:-build/linux}"
filter="${PTASPI_THREAD_CHECK_FILTER:-QueueStressTest.*:*Concurrent*}"
echo "thread-check: drd on $filter"
valgrind --tool=drd --error-exitcode=99 -q \
  --suppressions="$(dirname "$0")/valgrind.supp" \
  "$build/unit_tests" --gtest_filter="$filter" --gtest_brief=1
