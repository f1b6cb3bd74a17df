#!/usr/bin/env bash
# Prints the README's performance table, in Markdown, from the files that
# bench/figures.sh leaves in build/bench: one bench/run.sh run (pinned.json,
# the round trips on processor 0; results.json, every benchmark on both
# processors), five bench/iscsi.sh runs (iscsi-1.txt to iscsi-5.txt) and
# the performance guard's report (perf-guard.txt). Rows whose files are
# missing are left out.
#   bench/table.sh [DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build/bench}"
[ -f "$dir/pinned.json" ] || { echo "table: $dir/pinned.json missing (bash bench/run.sh)" >&2; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
bash bench/medians.sh "$dir/pinned.json" | sed 's/^/pinned:/' >"$work/all.txt"
[ -f "$dir/results.json" ] && bash bench/medians.sh "$dir/results.json" | sed 's/^/both:/' >>"$work/all.txt"
for run in 1 2 3 4 5; do
  [ -f "$dir/iscsi-$run.txt" ] || continue
  # "ratio Iscsi/Library/Read/65536 / Iscsi/Libiscsi/Read/65536 = 0.953 (...)"
  awk -v run="$run" '$1 == "ratio" { sub(/^Iscsi\/Library\//, "", $2); print "iscsi:" $2, run, $6 }' \
    "$dir/iscsi-$run.txt" >>"$work/all.txt"
done
if [ -f "$dir/perf-guard.txt" ]; then
  awk '/^== library code per request/ { on = 1; next } /^==/ { on = 0 }
       on && NF == 2 { print "guard:" $1, $2 }' "$dir/perf-guard.txt" >>"$work/all.txt"
fi

awk '
  function t(name) { return (name in us) ? us[name] : 0 }
  function f(x, digits) { return x > 0 ? sprintf("%." digits "f", x) : "–" }
  # The three sizes of a round trip, "a / b / c".
  function sizes(prefix, what,   i, out) {
    out = ""
    for (i = 1; i <= 3; i++) out = out (i > 1 ? " / " : "") f(t(prefix what[i]), 1)
    return out
  }
  function median5(list, n,   i, j, x) {
    for (i = 2; i <= n; i++) { x = list[i]; for (j = i - 1; j >= 1 && list[j] > x; j--) list[j + 1] = list[j]; list[j + 1] = x }
    return n % 2 ? list[(n + 1) / 2] : (list[n / 2] + list[n / 2 + 1]) / 2
  }
  $1 ~ /^(pinned|both):/ { us[$1] = $2; items[$1] = $4; next }
  $1 ~ /^iscsi:/ { name = substr($1, 7); ratio[name, $2] = $3; runs[name] = 1; next }
  $1 ~ /^guard:/ { guard[substr($1, 7)] = $2; next }
  END {
    split("TestUnitReady/0 Read/4096 Read/65536", size, " ")
    split("Event Post Poll", kind, " ")
    split("event;post routine;polling", kindText, ";")
    print "| measured | figure | goal |"
    print "|---|---|---|"
    for (k = 1; k <= 3; k++) {
      lib = "pinned:RoundTrip/Library-" kind[k] "/"; flo = "pinned:RoundTrip/Floor-" kind[k] "/"
      figure = ""; met = 0; have = 0
      for (i = 1; i <= 3; i++) {
        if (t(lib size[i]) > 0 && t(flo size[i]) > 0) {
          r = t(lib size[i]) / t(flo size[i]); have++; if (r <= 1.1) met++
          figure = figure (i > 1 ? " / " : "") f(r, 2)
        } else figure = figure (i > 1 ? " / " : "") "–"
      }
      verdict = have == 0 ? "" : met == have ? "met" : met == 0 ? "not met" : "met for " met " of " have
      printf "| library / floor, %s, pinned (TEST UNIT READY / 4 KiB / 64 KiB READ) | %s | at most 1.1: %s |\n", kindText[k], figure, verdict
    }
    for (k = 1; k <= 3; k++) {
      printf "| round trip, %s, pinned, µs: library; floor; direct | %s; %s; %s | |\n", kindText[k],
        sizes("pinned:RoundTrip/Library-" kind[k] "/", size), sizes("pinned:RoundTrip/Floor-" kind[k] "/", size),
        sizes("pinned:RoundTrip/Direct/", size)
    }
    figure = ""
    for (k = 1; k <= 3; k++) {
      part = ""
      for (i = 1; i <= 3; i++) {
        d = t("pinned:RoundTrip/Direct/" size[i]); fl = t("pinned:RoundTrip/Floor-" kind[k] "/" size[i])
        part = part (i > 1 ? " / " : "") (d > 0 ? f(fl / d, 1) : "–")
      }
      figure = figure (k > 1 ? "; " : "") kindText[k] " " part
    }
    printf "| floor / direct pass-through, pinned: what the design costs | %s | |\n", figure
    if (t("both:RoundTrip/Floor-Event/Read/4096") > 0) {
      for (k = 1; k <= 3; k++) {
        printf "| round trip, %s, both processors (shown, not compared), µs: library; floor; direct | %s; %s; %s | |\n", kindText[k],
          sizes("both:RoundTrip/Library-" kind[k] "/", size), sizes("both:RoundTrip/Floor-" kind[k] "/", size),
          sizes("both:RoundTrip/Direct/", size)
      }
    }
    for (where = 1; where <= 2; where++) {
      p = where == 1 ? "pinned:" : "both:"
      if (t(p "Watch/Floor-Event/Read/4096") == 0) continue
      figure = ""
      for (k = 1; k <= 3; k++) {
        figure = figure (k > 1 ? "; " : "") kindText[k] " floor " f(t(p "Watch/Floor-" kind[k] "/Read/4096"), 1) " / " \
          f(t(p "RoundTrip/Floor-" kind[k] "/Read/4096"), 1) ", library " f(t(p "Watch/Library-" kind[k] "/Read/4096"), 1) \
          " / " f(t(p "RoundTrip/Library-" kind[k] "/Read/4096"), 1)
      }
      printf "| 4 KiB READ round trip, %s, µs, waits that watch 200 µs / that sleep at once | %s | |\n",
        where == 1 ? "pinned" : "both processors", figure
    }
    if (t("both:Unavoidable/HandOff-Event/Request/0") > 0 || t("pinned:Unavoidable/HandOff-Event/Request/0") > 0) {
      figure = ""
      for (where = 1; where <= 2; where++) {
        p = where == 1 ? "pinned:" : "both:"
        if (t(p "Unavoidable/HandOff-Event/Request/0") == 0) continue
        figure = figure (where > 1 ? "; " : "") (where == 1 ? "pinned" : "both processors") \
          ": hand-off and back by event " f(t(p "Unavoidable/HandOff-Event/Request/0"), 1) \
          ", by the host futex " f(t(p "Unavoidable/HostFutex-HandOff/Request/0"), 1) \
          ", polling " f(t(p "Unavoidable/HandOff-Poll/Request/0"), 1) \
          ", request buffer " f(t(p "Unavoidable/Alloc/Request/0"), 1) \
          ", open and close " f(t(p "Unavoidable/OpenClose/Request/0"), 1) \
          ", queue locking " f(t(p "Unavoidable/Queue/Request/0"), 1)
      }
      printf "| parts of the floor, each alone on one thread or two, µs | %s | |\n", figure
    }
    # The simulator hand-off against the host futex hand-off, and
    # the floor against its parts alone (the host hand-off standing for
    # the two context switches NT makes).
    figure = ""; met = 0; have = 0
    for (where = 1; where <= 2; where++) {
      p = where == 1 ? "pinned:" : "both:"
      host = t(p "Unavoidable/HostFutex-HandOff/Request/0"); sim = t(p "Unavoidable/HandOff-Event/Request/0")
      if (host == 0 || sim == 0) continue
      r = sim / host; have++; if (r <= 1.5) met++
      figure = figure (have > 1 ? "; " : "") (where == 1 ? "pinned " : "both processors ") f(r, 2) \
        " (" f(sim, 1) " / " f(host, 1) " µs)"
    }
    if (have > 0) printf "| hand-off and back by event / the host futex hand-off and back | %s | at most 1.5: %s |\n", figure, met == have ? "met" : met == 0 ? "not met" : "met for " met " of " have
    figure = ""; met = 0; have = 0
    for (i = 1; i <= 3; i++) {
      host = t("pinned:Unavoidable/HostFutex-HandOff/Request/0")
      parts = host + t("pinned:Unavoidable/Alloc/Request/0") + t("pinned:Unavoidable/OpenClose/Request/0") + t("pinned:RoundTrip/Direct/" size[i])
      fl = t("pinned:RoundTrip/Floor-Event/" size[i])
      if (host == 0 || fl == 0) continue
      r = fl / parts; have++; if (r <= 2) met++
      figure = figure (have > 1 ? " / " : "") f(r, 2)
    }
    if (have > 0) printf "| floor, event / its parts alone (host hand-off, request buffer, open and close, direct), pinned (TEST UNIT READY / 4 KiB / 64 KiB READ) | %s | at most 2: %s |\n", figure, met == have ? "met" : met == 0 ? "not met" : "met for " met " of " have
    if (items["both:Threads/Library/Read/4096/threads:1"] > 0) {
      lib = ""; dir = ""
      for (n = 1; n <= 8; n *= 2) {
        lib = lib (n > 1 ? " / " : "") sprintf("%d", items["both:Threads/Library/Read/4096/threads:" n])
        dir = dir (n > 1 ? " / " : "") sprintf("%d", items["both:Threads/Direct/Read/4096/threads:" n])
      }
      printf "| 1 / 2 / 4 / 8 threads, 4 KiB READ, requests/s, both processors | library %s; direct %s | (one request at a time by design) |\n", lib, dir
    }
    if (t("both:Load/Discovery/Units/100") > 0) {
      x = t("both:Load/Discovery/Units/100")
      printf "| discovery, 100 units on 10 ports × 4 buses | %s µs | under 2 ms: %s |\n", f(x, 0), x < 2000 ? "met" : "not met"
    }
    if (t("both:Load/Library/Units/1") > 0) {
      printf "| whole LoadLibraryA, 1 / 100 units (an empty library) | %s / %s µs (%s / %s µs) | |\n",
        f(t("both:Load/Library/Units/1"), 0), f(t("both:Load/Library/Units/100"), 0),
        f(t("both:Load/EntryLibrary/Units/1"), 0), f(t("both:Load/EntryLibrary/Units/100"), 0)
    }
    if (length(guard) > 0) {
      lo = 1e9; hi = 0
      for (g in guard) if (g ~ /-(event|post|poll)$/) { if (guard[g] < lo) lo = guard[g]; if (guard[g] > hi) hi = guard[g] }
      printf "| library code per request (callgrind) | %d to %d instructions per execute request; host adapter inquiry %d, device type %d | (the guard fails 10 %% over its expectations) |\n",
        lo, hi, guard["ha-inquiry"], guard["device-type"]
    }
    split("Read/65536 Write/65536 Read/4096 Write/4096", op, " ")
    split("64 KiB READ;64 KiB WRITE;4 KiB READ;4 KiB WRITE", opText, ";")
    for (o = 1; o <= 4; o++) {
      if (!(op[o] in runs)) continue
      n = 0; figure = ""
      for (r = 1; r <= 5; r++) if ((op[o], r) in ratio) { list[++n] = ratio[op[o], r]; figure = figure (n > 1 ? ", " : "") ratio[op[o], r] }
      m = median5(list, n)
      goal = o <= 2 ? sprintf("at least 0.95: %s", m >= 0.95 ? "met" : "not met") : ""
      printf "| through tgtd, %s, library / libiscsi, throughput (%d runs) | %s; median %.3f | %s |\n", opText[o], n, figure, m, goal
    }
  }
' "$work/all.txt"
