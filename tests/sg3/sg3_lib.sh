# shellcheck shell=bash
# Shared by the sg3_utils tests (sourced): the tools built once per source
# tree, failure counting, and the comparison of one command's answer as a
# tool and as aspitool see it.
#
# The caller sets source_dir, binary_dir and machine (a machine file, or
# empty for the built-in machine) before sourcing.

ntrun="$binary_dir/tools/ntrun"
aspitool="$binary_dir/tools/aspitool"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0

# Returns nothing; notes a failure with its reason.
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Returns the script's exit status: 1 after any failure, else 0.
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures failures"
    exit 1
  fi
  echo "PASS"
  exit 0
}

# Returns nothing; sets `tools` to the folder of the built tools, or exits
# 77 (skipped) when the source package cannot be fetched here.
build_tools() {
  local status
  tools="$(bash "$source_dir/scripts/sg3-tools.sh" "$source_dir/build/sg3-utils" 2>"$work/setup.log" | tail -1)"
  status=${PIPESTATUS[0]}
  if [ "$status" -eq 2 ]; then
    echo "SKIP: the sg3-utils source package cannot be fetched here:"
    cat "$work/setup.log"
    exit 77
  fi
  if [ "$status" -ne 0 ] || [ ! -d "$tools" ]; then
    echo "FAIL: building the tools failed:"
    cat "$work/setup.log"
    exit 1
  fi
}

# Returns the exit status of sg3 tool $1 run on the machine with the
# remaining arguments.
tool() {
  local name="$1"
  shift
  "$ntrun" ${machine:+--machine "$machine"} "$tools/$name.exe" "$@"
}

# Returns the exit status of aspitool on the machine with the arguments,
# through the library SG3_ASPI_LIBRARY names (default: aspitool's own).
aspi() {
  "$aspitool" ${machine:+--machine "$machine"} ${SG3_ASPI_LIBRARY:+--library "$SG3_ASPI_LIBRARY"} "$@"
}

# Returns the value after "LABEL:" on the first line of file $2 that has it
# (the tools write lines ending in "\r\n", as on Windows).
field() { tr -d '\r' <"$2" | sed -n "s/^ *$1: *//p" | head -1 | sed 's/ *$//'; }

# Returns (prints) the exit status the tools document for a command that
# ended as aspitool's JSON answer in file $1 says (autosense=false: the
# unit returns no sense with CHECK CONDITION): 0 for GOOD, the status
# the sense gives for CHECK CONDITION (98 without sense), 26 for BUSY, 24
# for a reservation conflict, and "failed" for an answer no unit gave.
expected_status() {
  local target sense key asc
  target=$(jq -r '.targ_stat.value // empty' "$1")
  sense=$(jq -r '.sense // empty' "$1")
  if [ "$(jq -r '.status.name // empty' "$1")" = SS_COMP ]; then echo 0; return; fi
  case "$target" in
    8) echo 26; return ;;
    24) echo 24; return ;;
    2) ;;
    *) echo failed; return ;;
  esac
  # Without sense data the tools cannot tell the condition.
  if [ "${autosense:-true}" = false ] || [ -z "$sense" ]; then echo 98; return; fi
  key=$((0x${sense:4:2} & 0x0F))
  asc=$((0x${sense:24:2}))
  case $key in
    2) echo 2 ;;
    3 | 4) echo 3 ;;
    5) if [ "$asc" -eq 32 ]; then echo 9; elif [ "$asc" -eq 33 ]; then echo 22; else echo 5; fi ;;
    6) echo 6 ;;
    7) echo 7 ;;
    11) echo 11 ;;
    14) echo 14 ;;
    *) echo failed ;;
  esac
}

# Returns nothing; fails unless the tool run `$3...` (with raw output to
# standard output) and aspitool's `raw` of CDB $1 with $2 bytes in end
# alike on the unit aspitool calls $unit (text_mode=1: the tool's output
# went through msvcrt's text mode): on GOOD the tool's bytes are the
# start of aspitool's data buffer (the library reports no residual), on
# CHECK CONDITION the tool ends with the status its documents give for the
# sense, and on any other failure it fails too.
same_answer() {
  local cdb="$1" length="$2" what expected code size
  shift 2
  what="$unit $*"
  aspi raw "$unit" "$cdb" --in "$length" -o "$work/aspi.bin" --json >"$work/aspi.json" 2>/dev/null
  expected=$(expected_status "$work/aspi.json")
  tool "$@" >"$work/tool.bin" 2>"$work/tool.err"
  code=$?
  if [ "${text_mode:-0}" = 1 ]; then
    perl -0777 -pi -e 's/\r\n/\n/g' "$work/tool.bin"
  fi
  case "$expected" in
    0)
      [ "$code" -eq 0 ] || { fail "$what ended with $code where aspitool had GOOD: $(head -2 "$work/tool.err")"; return; }
      size=$(stat -c %s "$work/tool.bin")
      [ "$size" -gt 0 ] && cmp -s -n "$size" "$work/tool.bin" "$work/aspi.bin" ||
        fail "$what: the tool's $size bytes differ from aspitool's"
      ;;
    failed)
      case $code in 0 | 3 | 125 | 126 | 127) fail "$what ended with $code where aspitool failed: $(jq -c . "$work/aspi.json")" ;; esac
      ;;
    *)
      [ "$code" -eq "$expected" ] ||
        fail "$what ended with $code, not $expected for aspitool's sense $(jq -r .sense "$work/aspi.json")"
      ;;
  esac
}
