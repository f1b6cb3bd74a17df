#!/usr/bin/env bash
# sg3_utils' Windows tools, built from Debian's source package, run under
# ntrun on the default machine: every tool starts with --strict, and the
# tools read the same answers from the units as aspitool does through the
# library. Skips (exit 77) only when the source package cannot be fetched.
#
#     sg3_tools_test.sh SOURCE_DIR BINARY_DIR
set -uo pipefail

source_dir="$1"
binary_dir="$2"
ntrun="$binary_dir/tools/ntrun"
aspitool="$binary_dir/tools/aspitool"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

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

failures=0
# Returns nothing; notes a failure with its reason.
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Every tool starts: the simulator provides all its imports, and --help
# prints its usage.
count=0
for tool in "$tools"/*.exe; do
  count=$((count + 1))
  "$ntrun" --strict "$tool" --help >"$work/help.out" 2>&1
  code=$?
  name="$(basename "$tool")"
  # 125-127 are ntrun's own refusals, 3 a fault or a missing import.
  case $code in 3 | 125 | 126 | 127) fail "$name --help: ntrun ended with $code: $(head -3 "$work/help.out")" ;; esac
  grep -qi "usage" "$work/help.out" || fail "$name --help printed no usage"
  "$ntrun" --strict "$tool" --version >"$work/version.out" 2>&1
  code=$?
  case $code in 3 | 125 | 126 | 127) fail "$name --version: ntrun ended with $code" ;; esac
done
echo "$count tools started"

# Returns the value after "LABEL:" on the line that has it in file $2.
field() { sed -n "s/^ *$1: *//p" "$2" | head -1 | sed 's/ *$//'; }

# sg_inq through the class device and aspitool through the library reach
# the same unit (PhysicalDrive1, host adapter 0 target 0).
"$ntrun" "$tools/sg_inq.exe" PhysicalDrive1 >"$work/inq.out" 2>&1 || fail "sg_inq PhysicalDrive1: $(cat "$work/inq.out")"
"$aspitool" inquiry 0:0:0 >"$work/aspi-inq.out" 2>&1 || fail "aspitool inquiry 0:0:0"
for label in "Vendor identification" "Product identification" "Product revision level"; do
  ours="$(field "$label" "$work/inq.out")"
  grep -q -- "$ours" "$work/aspi-inq.out" || fail "sg_inq's $label '$ours' is not in aspitool's answer"
done
serial="$(field "Unit serial number" "$work/inq.out")"
"$aspitool" inquiry 0:0:0 --vpd sn >"$work/aspi-sn.out" 2>&1
[ -n "$serial" ] && grep -q -- "$serial" "$work/aspi-sn.out" || fail "serial '$serial' differs from aspitool's: $(cat "$work/aspi-sn.out")"
for page in 0x00 0x80 0x83; do
  "$ntrun" "$tools/sg_inq.exe" --page=$page --hex PhysicalDrive1 >"$work/vpd.out" 2>&1 || fail "sg_inq --page=$page: $(cat "$work/vpd.out")"
  "$aspitool" inquiry 0:0:0 --vpd $((page)) >"$work/aspi-vpd.out" 2>&1 || fail "aspitool --vpd $page"
done

# READ CAPACITY: the same last block and block length.
"$ntrun" "$tools/sg_readcap.exe" PhysicalDrive1 >"$work/cap.out" 2>&1 || fail "sg_readcap: $(cat "$work/cap.out")"
"$aspitool" readcap 0:0:0 >"$work/aspi-cap.out" 2>&1 || fail "aspitool readcap"
last="$(sed -n 's/.*Last LBA=\([0-9]*\).*/\1/p' "$work/cap.out")"
length="$(sed -n 's/.*Logical block length=\([0-9]*\).*/\1/p' "$work/cap.out")"
grep -qw -- "$last" "$work/aspi-cap.out" || fail "sg_readcap's last LBA $last is not aspitool's: $(cat "$work/aspi-cap.out")"
grep -qw -- "$length" "$work/aspi-cap.out" || fail "sg_readcap's block length $length is not aspitool's"

# sg_raw READ(10) of two blocks gives the bytes aspitool read gives.
"$aspitool" write 0:0:0 5 1 --pattern 0xA5 >/dev/null 2>&1 || true
"$ntrun" "$tools/sg_raw.exe" -r 1024 -o "$work/raw.bin" PhysicalDrive1 28 00 00 00 00 04 00 00 02 00 >"$work/raw.out" 2>&1 || fail "sg_raw READ(10): $(cat "$work/raw.out")"
"$aspitool" read 0:0:0 4 2 -o "$work/aspi.bin" >/dev/null 2>&1 || fail "aspitool read"
cmp -s "$work/raw.bin" "$work/aspi.bin" || fail "sg_raw's READ(10) bytes differ from aspitool read's"

# No such device: the tool's own error, not a fault.
"$ntrun" "$tools/sg_inq.exe" PhysicalDrive9 >"$work/none.out" 2>&1
code=$?
case $code in 0 | 3 | 125 | 126 | 127) fail "sg_inq on a missing device ended with $code" ;; esac
grep -q "No such device" "$work/none.out" || fail "sg_inq on a missing device: $(cat "$work/none.out")"

if [ "$failures" -ne 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "PASS"
