#!/usr/bin/env bash
# sg3_utils' Windows tools on the loopback iSCSI target (disk, CD-ROM
# through its drive letter, tape, and a CD-ROM through the port device):
# the same answers as aspitool (sg3_machine_test.sh) and as libiscsi's own
# tools reading the same LUNs directly. Skips (exit 77) when the target or
# the source package is not there.
#
#     sg3_iscsi_test.sh SOURCE_DIR BINARY_DIR ISCSI_DIR
set -uo pipefail

source_dir="$1"
binary_dir="$2"
iscsi_dir="$3"
machine="$iscsi_dir/machine.json"
if [ ! -f "$machine" ] || ! command -v iscsi-inq >/dev/null; then
  echo "SKIP: no loopback target in $iscsi_dir, or libiscsi's tools (libiscsi-bin) are missing"
  exit 77
fi
# shellcheck source=sg3_lib.sh
. "$source_dir/tests/sg3/sg3_lib.sh"
build_tools

# Blocks 16 and 17 of the disk, which sg3_machine_test.sh reads both ways,
# get bytes that no other run left there.
head -c 1024 /dev/urandom >"$work/blocks.bin"
aspi write 0:0:0 16 -i "$work/blocks.bin" >/dev/null 2>&1 || fail "aspitool write to the iSCSI disk"
bash "$source_dir/tests/sg3/sg3_machine_test.sh" "$source_dir" "$binary_dir" "$machine" ||
  fail "the tools and aspitool disagree on the iSCSI units (above)"
tool sg_raw -b -r 1024 PhysicalDrive0 28 00 00 00 00 10 00 00 02 00 2>/dev/null |
  cmp -s - "$work/blocks.bin" || fail "sg_raw does not read back the blocks aspitool wrote"

# Returns (prints) the trimmed value after "LABEL:" in file $2, as
# libiscsi's tools write it ("Label:value").
iscsi_field() { sed -n "s/^$1:\[*//p" "$2" | head -1 | sed 's/\]$//; s/^ *//; s/ *$//'; }

# Returns nothing; the identity, serial number and supported pages of the
# LUN at URL $2 that sg_inq and sg_vpd read through device $1 are what
# iscsi-inq reads.
compare_inquiry() {
  local device="$1" url="$2" initiator="$3" pair ours theirs
  iscsi-inq -i "$initiator" "$url" >"$work/iscsi-inq.out" 2>&1 || { fail "iscsi-inq $url"; return; }
  tool sg_inq "$device" >"$work/inq.out" 2>&1 || { fail "sg_inq $device"; return; }
  for pair in "Vendor identification:Vendor" "Product identification:Product" \
              "Product revision level:Revision"; do
    ours="$(field "${pair%%:*}" "$work/inq.out")"
    theirs="$(iscsi_field "${pair#*:}" "$work/iscsi-inq.out")"
    [ "$ours" = "$theirs" ] || fail "$device: sg_inq's ${pair%%:*} '$ours' is not iscsi-inq's '$theirs'"
  done
  iscsi-inq -i "$initiator" -e 1 -c 128 "$url" >"$work/iscsi-sn.out" 2>&1
  tool sg_vpd -p sn "$device" >"$work/sn.out" 2>&1
  ours="$(field "Unit serial number" "$work/sn.out")"
  [ -n "$ours" ] && [ "$ours" = "$(iscsi_field "Unit Serial Number" "$work/iscsi-sn.out")" ] ||
    fail "$device: sg_vpd's serial number is not iscsi-inq's"
  iscsi-inq -i "$initiator" -e 1 -c 0 "$url" | sed -n 's/^Page:0x\([0-9a-f]*\).*/\1/p' >"$work/iscsi-pages"
  tool sg_inq -r --page=0 "$device" | od -An -tx1 -v | tr -s ' ' '\n' | sed '/^$/d' | tail -n +5 >"$work/pages"
  [ -s "$work/pages" ] && cmp -s "$work/pages" "$work/iscsi-pages" || fail "$device: supported VPD pages $(tr '\n' ' ' <"$work/pages")differ from iscsi-inq's $(tr '\n' ' ' <"$work/iscsi-pages")"
}

# Returns nothing; sg_scan's line for class device $1 (PhysicalDrive0 is
# PD0) ends with the serial number iscsi-inq reads from the LUN at URL $2.
compare_scan_serial() {
  local name listed theirs
  name=$(sed 's/^PhysicalDrive/PD/; s/^CdRom/CDROM/; s/^Tape/TAPE/' <<<"$1")
  listed=$(tool sg_scan 2>/dev/null | tr -d '\r' | awk -v n="$name" '$1 == n { print $NF }')
  iscsi-inq -i "$3" -e 1 -c 128 "$2" >"$work/iscsi-sn.out" 2>&1
  theirs="$(iscsi_field "Unit Serial Number" "$work/iscsi-sn.out")"
  [ -n "$theirs" ] && [ "$listed" = "$theirs" ] || fail "sg_scan lists $name with serial '$listed', iscsi-inq reads '$theirs'"
}

# Returns nothing; sg_readcap --16 gives the last LBA and block length
# iscsi-readcapacity16 gives.
compare_capacity16() {
  local device="$1" url="$2" initiator="$3" ours
  iscsi-readcapacity16 -i "$initiator" "$url" >"$work/iscsi-cap.out" 2>&1 || { fail "iscsi-readcapacity16 $url"; return; }
  tool sg_readcap --16 "$device" >"$work/cap.out" 2>&1 || { fail "sg_readcap --16 $device"; return; }
  ours=$(tr -d '\r' <"$work/cap.out" | sed -n 's/.*Last LBA=\([0-9]*\).*/\1/p')
  [ -n "$ours" ] && [ "$ours" = "$(iscsi_field "RETURNED LOGICAL BLOCK ADDRESS" "$work/iscsi-cap.out")" ] ||
    fail "$device: sg_readcap's last LBA is not iscsi-readcapacity16's"
  [ "$(tr -d '\r' <"$work/cap.out" | sed -n 's/.*Logical block length=\([0-9]*\).*/\1/p')" = "$(iscsi_field "LOGICAL BLOCK LENGTH IN BYTES" "$work/iscsi-cap.out")" ] ||
    fail "$device: sg_readcap's block length is not iscsi-readcapacity16's"
}

# Returns nothing; the LUNs sg_luns reports through device $1 are those
# iscsi-ls lists for the target at portal $2.
compare_luns() {
  local ours theirs
  ours=$(tool sg_luns "$1" 2>/dev/null | tr -d '\r' | sed -n 's/^    00\([0-9a-f][0-9a-f]\)000000000000$/\1/p' |
         while read -r hex; do echo $((0x$hex)); done | tr '\n' ' ')
  theirs=$(iscsi-ls -i "$3" -s "$2" 2>/dev/null | sed -n 's/^Lun:\([0-9]*\).*/\1/p' | tr '\n' ' ')
  [ -n "$ours" ] && [ "$ours" = "$theirs" ] || fail "$1: sg_luns reports LUNs '$ours', iscsi-ls '$theirs'"
}

count=$(jq '.ports[0].buses[0].units | length' "$machine")
for ((i = 0; i < count; i++)); do
  unit_json=$(jq -c ".ports[0].buses[0].units[$i]" "$machine")
  url=$(jq -r .backend.url <<<"$unit_json")
  initiator=$(jq -r .backend.initiator <<<"$unit_json")
  if [ "$(jq -r .claimed <<<"$unit_json")" = false ]; then
    device="SCSI0:0,$(jq -r .target <<<"$unit_json"),$(jq -r .lun <<<"$unit_json")"
  elif [ "$(jq -r '.drive // empty' <<<"$unit_json")" != "" ]; then
    device="$(jq -r .drive <<<"$unit_json"):"
  else
    device=$(jq -r .class_device <<<"$unit_json")
  fi
  echo "-- $device ($url)"
  compare_inquiry "$device" "$url" "$initiator"
  case "$device" in PhysicalDrive*) compare_capacity16 "$device" "$url" "$initiator" ;; esac
  class=$(jq -r '.class_device // empty' <<<"$unit_json")
  [ -z "$class" ] || compare_scan_serial "$class" "$url" "$initiator"
done
portal="${url%/*}"
compare_luns "$device" "${portal%/*}" "$initiator"
finish
