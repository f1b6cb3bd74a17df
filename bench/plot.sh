#!/usr/bin/env bash
# Draws the benchmarks' JSON in DIR (bench/run.sh writes pinned.json and
# results.json, bench/figures.sh adds iscsi-1.json to iscsi-5.json) as one
# SVG: round-trip time and throughput against transfer size, the library
# beside its floor and a direct pass-through on one processor, the library
# and its floor on both, and the library beside libiscsi through tgtd (the
# last iSCSI run); and requests per second against submitting threads.
#   bench/plot.sh [DIR] [chart.svg]
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build/bench}"
chart="${2:-docs/performance.svg}"
command -v gnuplot >/dev/null || { echo "plot: gnuplot missing (apt-get install gnuplot-nox)" >&2; exit 1; }
[ -f "$dir/pinned.json" ] || { echo "plot: $dir/pinned.json missing (bash bench/run.sh)" >&2; exit 1; }

data="$(mktemp -d)"
trap 'rm -rf "$data"' EXIT

# One line per benchmark: where it ran, name, microseconds, bytes/s, items/s.
bash bench/medians.sh "$dir/pinned.json" | sed 's/^/pinned /' >"$data/all.txt"
[ -f "$dir/results.json" ] && bash bench/medians.sh "$dir/results.json" | sed 's/^/both /' >>"$data/all.txt"
iscsi="$( (ls "$dir"/iscsi-[0-9].json 2>/dev/null || true) | sort | tail -n 1)"
[ -n "$iscsi" ] && bash bench/medians.sh "$iscsi" | sed 's/^/iscsi /' >>"$data/all.txt"

# Transfer-size series: the round trips of the library and its floor (by
# event), of a direct pass-through, and the iSCSI pairs; TEST UNIT READY is
# the zero-byte point of its path. Threads: requests per second.
awk -v dir="$data" '
  function point(series) {
    x = part[4] == 0 ? -2 : log(part[4] / 4096) / log(2)
    print x, $3, ($4 > 0 ? $4 / 1048576 : "NaN") >> (dir "/size_" series ".dat")
  }
  { split($2, part, "/"); op = part[3] == "TestUnitReady" ? "Read" : part[3] }
  $1 == "pinned" && part[1] == "RoundTrip" && part[2] ~ /^(Library-Event|Floor-Event|Direct)$/ {
    point(part[2] "_one_processor")
  }
  $1 == "both" && part[1] == "RoundTrip" && part[2] ~ /^(Library-Event|Floor-Event)$/ {
    point(part[2] "_both_processors")
  }
  $1 == "iscsi" && part[1] == "Iscsi" && part[2] ~ /^(Library|Libiscsi)$/ {
    point("iSCSI_" part[2] "_" op)
  }
  $1 == "both" && part[1] == "Threads" {
    threads = part[5]; sub(/threads:/, "", threads)
    print threads, $5 >> (dir "/threads_" part[2] ".dat")
  }
' "$data/all.txt"

plots() {  # $1: prefix of the data files, $2: column to draw
  local first=1 file title
  for file in "$data/$1"*.dat; do
    [ -e "$file" ] || continue
    sort -n -o "$file" "$file"
    title="$(basename "$file" .dat)"
    title="${title#"$1"}"
    title="${title//_/ }"
    [ "$first" = 1 ] || printf ', '
    printf "'%s' using 1:%s with linespoints title '%s'" "$file" "$2" "$title"
    first=0
  done
}

size_time="$(plots size_ 2)"
size_rate="$(plots size_ 3)"
threads="$(plots threads_ 2)"
[ -n "$size_time" ] || { echo "plot: no round trips in $dir" >&2; exit 1; }

mkdir -p "$(dirname "$chart")"
gnuplot <<EOF
set terminal svg size 1200,420 dynamic font 'sans,11'
set output '$chart'
set multiplot layout 1,3
set grid
set key bottom right font ',9'
set logscale y
set xlabel 'transfer size'
set xtics ('TEST UNIT READY' -2, '4 KiB' 0, '16 KiB' 2, '64 KiB' 4, '256 KiB' 6)
set xrange [-2.5:4.5]
set ylabel 'round trip, µs'
set title 'One request, round trip'
plot $size_time
set ylabel 'MiB/s'
set title 'One request at a time, throughput'
set xrange [-0.5:4.5]
plot $size_rate
set xrange [0.8:10]
set logscale x 2
set xtics (1, 2, 4, 8)
set xlabel 'application threads, each on its own unit'
set ylabel 'requests per second (4 KiB READ)'
set title 'Concurrent submitters'
$( [ -n "$threads" ] && echo "plot $threads" )
unset multiplot
EOF
echo "chart: $chart"
