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
  # 0, or 1 (the tools' syntax-error status) from a tool that takes no
  # --help and shows its usage for the unknown switch.
  case $code in 0 | 1) ;; *) fail "$name --help ended with $code: $(head -3 "$work/help.out")" ;; esac
  grep -qi "usage" "$work/help.out" || fail "$name --help printed no usage"
  "$ntrun" --strict "$tool" --version >"$work/version.out" 2>&1
  code=$?
  case $code in 3 | 125 | 126 | 127) fail "$name --version: ntrun ended with $code" ;; esac
done
echo "$count tools started"

# Returns the value after "LABEL:" on the first line of file $2 that has it
# (the tools write lines ending in "\r\n", as on Windows).
field() { tr -d '\r' <"$2" | sed -n "s/^ *$1: *//p" | head -1 | sed 's/ *$//'; }

# Returns nothing; fails unless file $1 (a tool's binary answer) is, byte
# for byte, the start of file $2 (aspitool's data buffer) and not empty.
same_bytes() {
  local size
  size=$(stat -c %s "$1")
  [ "$size" -gt 0 ] && cmp -s -n "$size" "$1" "$2" || fail "$3: the tool's $size bytes differ from aspitool's"
}

# PhysicalDrive1 is the unit aspitool calls 0:0:0 (host adapter 0 is the
# first SCSI port): the tools go through the class device, aspitool
# through the library.
unit=0:0:0
device=PhysicalDrive1

# sg_scan lists the unit with the identity and serial aspitool reads.
"$ntrun" "$tools/sg_scan.exe" >"$work/scan.out" 2>/dev/null || fail "sg_scan ended with $?"
"$aspitool" inquiry $unit >"$work/aspi-inq.out" 2>&1 || fail "aspitool inquiry $unit"
"$aspitool" inquiry $unit --vpd sn >"$work/aspi-sn.out" 2>&1 || fail "aspitool inquiry --vpd sn"
expected="PD1 $(field vendor "$work/aspi-inq.out") $(field product "$work/aspi-inq.out") $(field revision "$work/aspi-inq.out") $(field "serial number" "$work/aspi-sn.out")"
listed="$(tr -d '\r' <"$work/scan.out" | grep '^PD1 ' | tr -s ' ')"
[ "$listed" = "$expected" ] || fail "sg_scan lists '$listed', aspitool reads '$expected'"

# sg_inq: standard INQUIRY data and VPD pages 0x00, 0x80, 0x83 in binary
# (the tool sets its standard output to binary), and the decoded fields.
"$ntrun" "$tools/sg_inq.exe" -r $device >"$work/inq.bin" 2>"$work/inq.err" || fail "sg_inq -r: $(cat "$work/inq.err")"
"$aspitool" raw $unit 120000002400 --in 36 -o "$work/aspi-inq.bin" >/dev/null 2>&1 || fail "aspitool raw INQUIRY"
same_bytes "$work/inq.bin" "$work/aspi-inq.bin" "standard INQUIRY"
"$ntrun" "$tools/sg_inq.exe" $device >"$work/inq.out" 2>&1 || fail "sg_inq $device: $(cat "$work/inq.out")"
for pair in "Vendor identification:vendor" "Product identification:product" \
            "Product revision level:revision"; do
  ours="$(field "${pair%%:*}" "$work/inq.out")"
  theirs="$(field "${pair#*:}" "$work/aspi-inq.out")"
  [ "$ours" = "$theirs" ] || fail "sg_inq's ${pair%%:*} '$ours' is not aspitool's '$theirs'"
done
[ "$(field "Unit serial number" "$work/inq.out")" = "$(field "serial number" "$work/aspi-sn.out")" ] ||
  fail "sg_inq's serial number is not aspitool's"
for page in 00 80 83; do
  "$ntrun" "$tools/sg_inq.exe" -r --page=0x$page $device >"$work/vpd.bin" 2>"$work/vpd.err" ||
    fail "sg_inq --page=0x$page: $(cat "$work/vpd.err")"
  "$aspitool" raw $unit 1201${page}00FF00 --in 255 -o "$work/aspi-vpd.bin" >/dev/null 2>&1 ||
    fail "aspitool raw VPD 0x$page"
  same_bytes "$work/vpd.bin" "$work/aspi-vpd.bin" "VPD page 0x$page"
done

# READ CAPACITY: the same last block and block length.
"$ntrun" "$tools/sg_readcap.exe" $device >"$work/cap.out" 2>&1 || fail "sg_readcap: $(cat "$work/cap.out")"
"$aspitool" readcap $unit >"$work/aspi-cap.out" 2>&1 || fail "aspitool readcap"
[ "$(sed -n 's/.*Last LBA=\([0-9]*\).*/\1/p' "$work/cap.out")" = "$(field "last LBA" "$work/aspi-cap.out")" ] ||
  fail "sg_readcap's last LBA is not aspitool's"
[ "$(sed -n 's/.*Logical block length=\([0-9]*\).*/\1/p' "$work/cap.out")" = "$(field "block size" "$work/aspi-cap.out" | cut -d' ' -f1)" ] ||
  fail "sg_readcap's block length is not aspitool's"

# REQUEST SENSE: the same sense bytes.
"$ntrun" "$tools/sg_requests.exe" -r $device >"$work/sense.bin" 2>"$work/sense.err" || fail "sg_requests -r: $(cat "$work/sense.err")"
"$aspitool" raw $unit 030000001200 --in 18 -o "$work/aspi-sense.bin" >/dev/null 2>&1 || fail "aspitool raw REQUEST SENSE"
same_bytes "$work/sense.bin" "$work/aspi-sense.bin" "REQUEST SENSE"

# REPORT LUNS: the emulated disk refuses it, and both see the refusal as
# ILLEGAL REQUEST, invalid command operation code.
"$ntrun" "$tools/sg_luns.exe" $device >"$work/luns.out" 2>&1 && fail "sg_luns succeeded where the unit refuses"
grep -qi "illegal request" "$work/luns.out" || fail "sg_luns: $(cat "$work/luns.out")"
"$aspitool" raw $unit A00000000000000001000000 --in 256 >"$work/aspi-luns.out" 2>&1
grep -qi "illegal request" "$work/aspi-luns.out" || fail "aspitool REPORT LUNS: $(cat "$work/aspi-luns.out")"

# sg_raw READ(10) gives the bytes aspitool read gives, from a disk whose
# image file both machines share (each process runs its own machine).
head -c 65536 /dev/urandom >"$work/disk.img"
cat >"$work/machine.json" <<JSON
{"ports": [{"buses": [{"units": [
  {"target": 0, "lun": 0, "class_device": "PhysicalDrive0",
   "backend": {"type": "disk", "blocks": 128, "file": "$work/disk.img"}}]}]}]}
JSON
"$ntrun" --machine "$work/machine.json" "$tools/sg_raw.exe" -r 1024 -o "$work/raw.bin" \
  PhysicalDrive0 28 00 00 00 00 04 00 00 02 00 >"$work/raw.out" 2>&1 || fail "sg_raw READ(10): $(cat "$work/raw.out")"
"$aspitool" --machine "$work/machine.json" read 0:0:0 4 2 -o "$work/aspi.bin" >/dev/null 2>&1 || fail "aspitool read"
[ "$(stat -c %s "$work/raw.bin" 2>/dev/null)" = 1024 ] || fail "sg_raw wrote $(stat -c %s "$work/raw.bin" 2>/dev/null) bytes, not 1024"
cmp -s "$work/raw.bin" "$work/aspi.bin" || fail "sg_raw's READ(10) bytes differ from aspitool read's"
cmp -s "$work/raw.bin" <(tail -c +2049 "$work/disk.img" | head -c 1024) || fail "sg_raw's READ(10) bytes are not blocks 4 and 5 of the image"
# The same bytes through standard output, which the tool sets to binary.
"$ntrun" --machine "$work/machine.json" "$tools/sg_raw.exe" -b -r 1024 \
  PhysicalDrive0 28 00 00 00 00 04 00 00 02 00 >"$work/raw-stdout.bin" 2>/dev/null || fail "sg_raw -b READ(10)"
cmp -s "$work/raw-stdout.bin" "$work/aspi.bin" || fail "sg_raw's READ(10) bytes on standard output differ from aspitool read's"

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
