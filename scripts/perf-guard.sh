#!/usr/bin/env bash
# Counts, under callgrind, what one request of each kind costs: the
# instructions spent in the library's own code (interface/, discovery/,
# execution/, platform/, attributed by source file, inlined code
# included) and the platform calls made, per function. Instruction counts
# do not move with the machine's load, so this guard can be strict: it
# fails when any figure exceeds its expectation in bench/perf-expected.txt
# by more than 10 %, or when a kind makes a platform call it did not.
#   scripts/perf-guard.sh [--update] [build-dir]
# --update rewrites the expectations from this run.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

update=0
if [ "${1:-}" = "--update" ]; then
  update=1
  shift
fi
build="${1:-build/linux}"
expected=bench/perf-expected.txt
requests=10

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset linux >/dev/null
fi
cmake --build "$build" --target ptaspi_perf_driver ptaspi32 -j"$(nproc)" >/dev/null
driver="$build/bench/ptaspi_perf_driver"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

valgrind --tool=callgrind --instr-atstart=no --dump-instr=no --dump-line=no \
  --callgrind-out-file="$work/cg.out" -q "$driver" "$requests" >"$work/calls.txt"

# One dump per kind, in the driver's order; each names its kind in its
# "desc: Trigger: Client Request: <kind>" line.
measured="$work/measured.txt"
: >"$measured"
for dump in $(ls "$work"/cg.out.* | sort -t. -k3 -n); do
  kind="$(sed -n 's/^desc: Trigger: Client Request: //p' "$dump")"
  [ -n "$kind" ] || continue
  instructions="$(callgrind_annotate --inclusive=no --auto=no --threshold=100 "$dump" |
    awk -v root="$root/" -v n="$requests" '
      # A cost line: "1,234 (12.34%)  /path/file.cpp:function [object]".
      /^ *[0-9,]+ +\( *[0-9.]+%\) +[^ ]+:/ {
        cost = $1; gsub(",", "", cost)
        file = $0; sub(/^ *[0-9,]+ +\( *[0-9.]+%\) +/, "", file); sub(/:.*/, "", file)
        # Paths are absolute, or relative to the build folder.
        if (index(file, root) == 1) file = substr(file, length(root) + 1)
        sub(/^.*\.\.\//, "", file)
        if (file ~ /^(interface|discovery|execution|platform)\//) sum += cost
      }
      END { printf "%d", (sum + n / 2) / n }')"
  echo "$kind library-instructions $instructions" >>"$measured"
  awk -v kind="$kind" '$1 == kind { print $1, "calls." $2, $3 }' "$work/calls.txt" >>"$measured"
done

if [ ! -s "$measured" ]; then
  echo "perf-guard: callgrind produced no dumps" >&2
  exit 1
fi

echo "== library code per request, instructions"
awk '$2 == "library-instructions" { printf "  %-14s %6d\n", $1, $3 }' "$measured"
echo "== platform calls per request (the application's own wait and post included)"
awk '$2 ~ /^calls\./ { name = $2; sub(/^calls\./, "", name);
    line[$1] = line[$1] sprintf(" %s %s", name, $3 + 0) }
  END { for (k in line) printf "  %-14s%s\n", k, line[k] }' "$measured" | sort

if [ "$update" = 1 ]; then
  {
    echo "# Expected cost of one request of each kind, written by scripts/perf-guard.sh"
    echo "# --update: instructions in the library's own code, and platform calls by"
    echo "# function (the application's own wait and post routine included)."
    echo "# kind metric value"
    cat "$measured"
  } >"$expected"
  echo "perf-guard: wrote $expected"
  exit 0
fi

if [ ! -f "$expected" ]; then
  echo "perf-guard: $expected missing; run scripts/perf-guard.sh --update" >&2
  exit 1
fi

# Every measured figure against its expectation: more than 10 % above it,
# or a figure with no expectation (a new platform call), fails.
awk '
  FNR == NR { if ($0 !~ /^#/ && NF == 3) want[$1 " " $2] = $3; next }
  {
    key = $1 " " $2
    if (!(key in want)) {
      printf "perf-guard: %s %s: %s, expected none\n", $1, $2, $3; bad = 1
    } else if ($3 > want[key] * 1.10) {
      printf "perf-guard: %s %s: %s, expected at most 10%% above %s\n", $1, $2, $3, want[key]; bad = 1
    } else if ($3 < want[key] * 0.90) {
      printf "perf-guard: %s %s: %s, down from %s (scripts/perf-guard.sh --update keeps it)\n",
        $1, $2, $3, want[key]
    }
    seen[key] = 1
  }
  END {
    for (key in want) if (!(key in seen)) printf "perf-guard: %s: no longer measured\n", key
    exit bad
  }' "$expected" "$measured" || {
  echo "perf-guard: FAILED" >&2
  exit 1
}
echo "perf-guard: every figure within 10 % of $expected"
