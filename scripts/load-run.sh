#!/usr/bin/env bash
# Runs the load run at full size: 8 application threads of 100,000 execute
# requests each (or as many as the first argument says), through the built
# linux preset's test binary, and prints its account. Fails on any fault.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/linux}
PTASPI_LOAD_REQUESTS="${1:-100000}" "$build/reliability_tests" --gtest_filter='LoadRun.*'
