#!/usr/bin/env bash
# Draws the benchmark's JSON (bench/run.sh writes build/bench/results.json)
# as one SVG: round-trip time and throughput against transfer size, the
# library beside direct pass-through, and beside libiscsi when the Iscsi
# benchmarks ran; and requests per second against submitting threads.
#   bench/plot.sh [results.json] [chart.svg]
set -euo pipefail
cd "$(dirname "$0")/.."
results="${1:-build/bench/results.json}"
chart="${2:-docs/performance.svg}"
command -v gnuplot >/dev/null || { echo "plot: gnuplot missing (apt-get install gnuplot-nox)" >&2; exit 1; }

data="$(mktemp -d)"
trap 'rm -rf "$data"' EXIT

# One line per benchmark: name, microseconds, bytes/s, items/s. The median
# of repetitions wins over single runs; names lose the suffixes of timing.
awk '
  function flush() {
    if (name == "" || (type == "aggregate" && aggregate != "median")) return
    if (type == "iteration" && (name in median)) return
    scale = unit == "ns" ? 0.001 : unit == "ms" ? 1000 : unit == "s" ? 1e6 : 1
    value[name] = time * scale " " bytes + 0 " " items + 0
    if (type == "aggregate") median[name] = 1
  }
  /^ *\{/ { name = ""; type = ""; aggregate = ""; time = 0; unit = "us"; bytes = 0; items = 0 }
  /"run_name":/ { name = $2; gsub(/[",]/, "", name); sub(/\/(real|manual)_time/, "", name) }
  /"run_type":/ { type = $2; gsub(/[",]/, "", type) }
  /"aggregate_name":/ { aggregate = $2; gsub(/[",]/, "", aggregate) }
  /"real_time":/ { time = $2; gsub(/,/, "", time) }
  /"time_unit":/ { unit = $2; gsub(/[",]/, "", unit) }
  /"bytes_per_second":/ { bytes = $2; gsub(/,/, "", bytes) }
  /"items_per_second":/ { items = $2; gsub(/,/, "", items) }
  /^ *\}/ { flush(); name = "" }
  END { for (n in value) print n, value[n] }
' "$results" | sort >"$data/all.txt"

# Transfer-size series: group/path/op/bytes of the round trips and the
# iSCSI runs; TEST UNIT READY is the zero-byte point of its path.
awk -v dir="$data" '
  $1 ~ /^(RoundTrip|Iscsi)\// {
    split($1, part, "/")
    op = part[3] == "TestUnitReady" ? "Read" : part[3]
    series = part[1] "/" part[2] "/" op
    gsub(/\//, "_", series)
    x = part[4] == 0 ? -2 : log(part[4] / 4096) / log(2)
    print x, $2, ($3 > 0 ? $3 / 1048576 : "NaN") >> (dir "/size_" series ".dat")
  }
  $1 ~ /^Threads\// {
    split($1, part, "/"); threads = part[5]; sub(/threads:/, "", threads)
    print threads, $4 >> (dir "/threads_" part[2] ".dat")
  }
' "$data/all.txt"

plots() {  # $1: prefix of the data files, $2: column to draw
  local first=1 file title
  for file in "$data/$1"*.dat; do
    [ -e "$file" ] || continue
    sort -n -o "$file" "$file"
    title="$(basename "$file" .dat)"
    title="${title#"$1"}"
    title="${title#RoundTrip_}"
    title="${title%_Read}"
    title="${title//_/ }"
    [ "$first" = 1 ] || printf ', '
    printf "'%s' using 1:%s with linespoints title '%s'" "$file" "$2" "$title"
    first=0
  done
}

size_time="$(plots size_ 2)"
size_rate="$(plots size_ 3)"
threads="$(plots threads_ 2)"
[ -n "$size_time" ] || { echo "plot: no RoundTrip or Iscsi results in $results" >&2; exit 1; }

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
