#!/usr/bin/env bash
# Prints one line per benchmark of a Google Benchmark JSON file (what
# bench/run.sh and bench/iscsi.sh write): its name without the suffixes
# that say how it was timed, microseconds per iteration, bytes per second
# and items per second. The median of repetitions wins over single runs.
#   bench/medians.sh results.json
set -euo pipefail
awk '
  function flush() {
    if (name == "" || (type == "aggregate" && aggregate != "median")) return
    if (type == "iteration" && (name in median)) return
    scale = unit == "ns" ? 0.001 : unit == "ms" ? 1000 : unit == "s" ? 1e6 : 1
    value[name] = time * scale " " bytes + 0 " " items + 0
    if (type == "aggregate") median[name] = 1
  }
  /^ *\{/ { name = ""; type = ""; aggregate = ""; time = 0; unit = "us"; bytes = 0; items = 0 }
  /"run_name":/ {
    name = $2; gsub(/[",]/, "", name)
    sub(/\/iterations:[0-9]+/, "", name); sub(/\/(real|manual)_time/, "", name)
  }
  /"run_type":/ { type = $2; gsub(/[",]/, "", type) }
  /"aggregate_name":/ { aggregate = $2; gsub(/[",]/, "", aggregate) }
  /"real_time":/ { time = $2; gsub(/,/, "", time) }
  /"time_unit":/ { unit = $2; gsub(/[",]/, "", unit) }
  /"bytes_per_second":/ { bytes = $2; gsub(/,/, "", bytes) }
  /"items_per_second":/ { items = $2; gsub(/,/, "", items) }
  /^ *\}/ { flush(); name = "" }
  END { for (n in value) print n, value[n] }
' "$1" | sort
