#!/usr/bin/env bash
# sg3_utils' Windows tools, built from Debian's source package, start under
# ntrun with --strict, and sg_raw's READ gives the bytes of a disk image as
# aspitool read does. (sg3_machine_test.sh compares the other answers, on
# every machine.) Skips (exit 77) only when the source package cannot be
# fetched.
#
#     sg3_tools_test.sh SOURCE_DIR BINARY_DIR
set -uo pipefail

source_dir="$1"
binary_dir="$2"
machine=
# shellcheck source=sg3_lib.sh
. "$source_dir/tests/sg3/sg3_lib.sh"
build_tools

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

finish
