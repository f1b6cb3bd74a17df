#!/usr/bin/env bash
# sg3_utils' Windows tools and aspitool on one machine: sg_scan lists the
# units and class devices the machine has, and for every unit both reach
# (the tools through its class device, its drive letter or its port
# device, aspitool through the library) the tools' answers agree with
# aspitool's. Skips (exit 77) only when the source package cannot be
# fetched.
#
#     sg3_machine_test.sh SOURCE_DIR BINARY_DIR MACHINE_FILE
#
# SG3_ASPI_LIBRARY names the library aspitool loads instead of its own (the
# Windows DLL, which the simulator's PE loader maps); the test skips when
# that file is missing (the windows preset not built).
set -uo pipefail

source_dir="$1"
binary_dir="$2"
machine="$3"
if [ -n "${SG3_ASPI_LIBRARY:-}" ] && [ ! -f "$SG3_ASPI_LIBRARY" ]; then
  echo "SKIP: $SG3_ASPI_LIBRARY is not built"
  exit 77
fi
# shellcheck source=sg3_lib.sh
. "$source_dir/tests/sg3/sg3_lib.sh"
build_tools

# Returns (prints) one line per unit aspitool finds: HA, target, LUN,
# peripheral type, vendor and product, tab-separated.
aspi_units() {
  aspi scan --json 2>/dev/null |
    jq -r '.adapters[] | .ha as $h | (.units // [])[] | select(.vendor != null and .vendor != "")
           | [$h, .target, .lun, .type, .vendor, .product] | @tsv'
}

# Returns (prints) one line per unit of sg_scan -s: port, bus, target, LUN,
# claimed, peripheral type, and the identity text, tab-separated.
tool_units() {
  tool sg_scan -s 2>/dev/null | tr -d '\r' |
    sed -n 's/^SCSI\([0-9]*\):\([0-9]*\),\([0-9]*\),\([0-9]*\) *claimed=\([01]\) pdt=\([0-9a-f]*\)h *\(.*\)$/\1\t\2\t\3\t\4\t\5\t\6\t\7/p'
}

# Returns (prints) the name through which the tools reach the unit at port
# $1, bus $2, target $3, LUN $4 (claimed $5): a CD-ROM's drive letter, else
# its class device when a class driver claims it, else the port device's
# address; nothing when the machine file names no class device for a
# claimed unit.
device_of() {
  local unit
  unit=$(jq -c ".ports[$1].buses[$2].units[] | select(.target == $3 and .lun == $4)" "$machine")
  if [ "$5" = 0 ]; then
    echo "SCSI$1:$2,$3,$4"
  elif [ "$(jq -r '.drive // empty' <<<"$unit")" != "" ]; then
    echo "$(jq -r .drive <<<"$unit"):"
  else
    jq -r '.class_device // (.class_devices // [])[0] // empty' <<<"$unit"
  fi
}

# Returns (prints) "false" when the unit at port $1, bus $2, target $3,
# LUN $4 returns no sense with CHECK CONDITION, else "true".
autosense_of() {
  jq -r ".ports[$1].buses[$2].units[] | select(.target == $3 and .lun == $4) | .autosense != false" "$machine"
}

# Returns (prints) the number of the port without a port device (no
# \\.\scsiN: and no device map key) whose bus 0 holds a unit at target
# $1, LUN $2 with vendor $3; nothing when there is none.
portless_port_of() {
  jq -r --argjson t "$1" --argjson l "$2" --arg v "$3" '
    [.ports | to_entries[] | select(.value.device == false and .value.device_map == false)
     | select(any((.value.buses // [])[0].units[]?; .target == $t and .lun == $l
                  and ((.inquiry.vendor // "") | startswith($v))))
     | .key] | first // empty' "$machine"
}

# Returns nothing; writes $work/pairs: for each unit aspitool finds, its
# aspitool address, peripheral type and the tools' name for it, matching
# sg_scan's units in port order by target, LUN, type and identity.
pair_units() {
  local ha target lun type vendor product line
  tool_units >"$work/tool-units"
  : >"$work/pairs"
  while IFS=$'\t' read -r ha target lun type vendor product; do
    line=$(awk -F'\t' -v t="$target" -v l="$lun" -v p="$(printf %x "$type")" -v id="$vendor *$product" \
      '!done && $8 != "used" && $3 == t && $4 == l && $6 == p && $7 ~ "^" id { print NR "\t" $0; done = 1 }' \
      "$work/tool-units")
    if [ -z "$line" ]; then
      # A drive without a port device (USB mass storage) has no SCSI
      # adapter line: the tools reach it through its class device or drive.
      port=$(portless_port_of "$target" "$lun" "$vendor")
      if [ -n "$port" ]; then
        echo "$ha:$target:$lun $type $(autosense_of "$port" 0 "$target" "$lun") $(device_of "$port" 0 "$target" "$lun" 1)" >>"$work/pairs"
        continue
      fi
      fail "sg_scan -s does not list aspitool's unit $ha:$target:$lun ($vendor $product)"
      continue
    fi
    sed -i "$(cut -f1 <<<"$line")s/\$/\tused/" "$work/tool-units"
    IFS=$'\t' read -r _ port bus t l claimed _ <<<"$line"
    # On an NVMe port the tools speak NVMe through StorNVMe's protocol
    # interfaces (storage protocol queries and commands), which the
    # simulator does not model.
    if [ "$(jq -r ".ports[$port].bus_type // empty" "$machine")" = nvme ]; then
      echo "-- $ha:$target:$lun: on an NVMe port; the tools' NVMe interfaces are not simulated"
      continue
    fi
    echo "$ha:$target:$lun $type $(autosense_of "$port" "$bus" "$t" "$l") $(device_of "$port" "$bus" "$t" "$l" "$claimed")" >>"$work/pairs"
  done < <(aspi_units)
}

# sg_scan lists one PDn, CDROMn or TAPEn line for each class device of
# those kinds that the machine file names (pair_units checks the port
# units).
check_scan() {
  local listed expected
  tool sg_scan >"$work/scan.out" 2>&1
  listed=$(tr -d '\r' <"$work/scan.out" | grep -cE '^(PD|CDROM|TAPE)[0-9]+ ')
  # A limited user cannot open a device for writing, as the tools ask.
  if [ "$(jq -r '.user // empty' "$machine")" = limited ]; then
    [ "$listed" = 0 ] && grep -q "Access denied" "$work/scan.out" ||
      fail "sg_scan as a limited user: $(head -3 "$work/scan.out")"
    return
  fi
  expected=$(jq '[.ports[].buses[].units[] | (.class_device // empty), ((.class_devices // [])[])
                  | select(test("^(PhysicalDrive|CdRom|Tape)[0-9]+$"))] | length' "$machine")
  [ "$listed" = "$expected" ] || fail "sg_scan lists $listed class devices, the machine file has $expected"
}

# Returns nothing; compares the answers of one unit, $1 its aspitool
# address, $2 its peripheral type, $3 the tools' name for it.
compare_unit() {
  unit="$1"
  local type="$2" device="$3" page
  echo "-- $unit ($device)"
  same_answer 12000000FF00 255 sg_inq -r "$device"
  for page in 00 80 83; do
    same_answer 1201${page}00FF00 255 sg_inq -r --page=0x$page "$device"
  done
  same_answer 030000001200 18 sg_requests -r "$device"
  same_answer A00000000000000001000000 256 sg_luns -r "$device"
  # sg_opcodes leaves its standard output in text mode, as msvcrt opens
  # it: each line feed of its answer comes out after a carriage return.
  text_mode=1 same_answer A30C00000000000020000000 8192 sg_opcodes -r "$device"
  same_answer 12010000FF00 255 sg_vpd -r -p sv "$device"
  same_answer 12018300FF00 255 sg_vpd -r -p di "$device"
  same_answer 1A003F00FF00 255 sg_modes -6 -r -a "$device"
  same_answer 5A003F0000000000FF00 255 sg_modes -r -a "$device"
  compare_identity "$device"
  if [ "$type" = 0 ] || [ "$type" = 5 ]; then
    same_answer 25000000000000000000 8 sg_readcap -r "$device"
    same_answer 9E100000000000000000000000200000 32 sg_readcap --16 -r "$device"
    compare_capacity "$device"
    compare_read "$device"
  fi
}

# Returns nothing; the decoded identity fields of sg_inq and sg_vpd are
# aspitool's.
compare_identity() {
  local pair ours theirs
  tool sg_inq "$1" >"$work/inq.out" 2>&1 || return 0
  aspi inquiry "$unit" >"$work/aspi-inq.out" 2>&1 || { fail "aspitool inquiry $unit"; return; }
  for pair in "Vendor identification:vendor" "Product identification:product" \
              "Product revision level:revision"; do
    ours="$(field "${pair%%:*}" "$work/inq.out")"
    theirs="$(field "${pair#*:}" "$work/aspi-inq.out")"
    [ "$ours" = "$theirs" ] || fail "$unit: sg_inq's ${pair%%:*} '$ours' is not aspitool's '$theirs'"
  done
  if aspi inquiry "$unit" --vpd sn >"$work/aspi-sn.out" 2>&1; then
    theirs="$(field "serial number" "$work/aspi-sn.out")"
    tool sg_vpd -p sn "$1" >"$work/vpd-sn.out" 2>&1 || fail "$unit: sg_vpd -p sn failed where aspitool read the page"
    [ "$(field "Unit serial number" "$work/vpd-sn.out")" = "$theirs" ] ||
      fail "$unit: sg_vpd's serial number is not aspitool's '$theirs'"
  fi
}

# Returns nothing; sg_readcap's last LBA and block length are aspitool's,
# or both fail.
compare_capacity() {
  if ! aspi readcap "$unit" >"$work/aspi-cap.out" 2>&1; then
    tool sg_readcap "$1" >/dev/null 2>&1 && fail "$unit: sg_readcap succeeded where aspitool readcap failed"
    return
  fi
  tool sg_readcap "$1" >"$work/cap.out" 2>&1 || { fail "$unit: sg_readcap: $(head -2 "$work/cap.out")"; return; }
  [ "$(tr -d '\r' <"$work/cap.out" | sed -n 's/.*Last LBA=\([0-9]*\).*/\1/p')" = "$(field "last LBA" "$work/aspi-cap.out")" ] ||
    fail "$unit: sg_readcap's last LBA is not aspitool's"
  [ "$(tr -d '\r' <"$work/cap.out" | sed -n 's/.*Logical block length=\([0-9]*\).*/\1/p')" = "$(field "block size" "$work/aspi-cap.out" | cut -d' ' -f1)" ] ||
    fail "$unit: sg_readcap's block length is not aspitool's"
}

# Returns nothing; sg_raw's READ(10) of blocks 16 and 17 (on an ISO image
# the first volume descriptor) ends as aspitool's does, and gives the bytes
# aspitool read gives.
compare_read() {
  local size last
  size=$(field "block size" "$work/aspi-cap.out" | cut -d' ' -f1)
  last=$(field "last LBA" "$work/aspi-cap.out")
  [ -n "$size" ] && [ "$last" -ge 17 ] || return 0
  same_answer 28000000001000000200 $((2 * size)) sg_raw -b -r $((2 * size)) "$1" 28 00 00 00 00 10 00 00 02 00
  aspi read "$unit" 16 2 -o "$work/aspi-read.bin" >/dev/null 2>&1 || return 0
  tool sg_raw -b -r $((2 * size)) "$1" 28 00 00 00 00 10 00 00 02 00 >"$work/raw.bin" 2>/dev/null
  cmp -s "$work/raw.bin" "$work/aspi-read.bin" || fail "$unit: sg_raw's READ(10) bytes differ from aspitool read's"
}

# Returns (prints) aspitool's exit status and sense for its command $@.
aspi_outcome() {
  aspi "$@" --json >"$work/outcome.json" 2>/dev/null
  echo "$? $(jq -r '.sense // empty' "$work/outcome.json" 2>/dev/null | head -1)"
}

# Returns nothing; fails unless the tool's exit status $1 is what the
# tools document for aspitool's own command block $2 on the unit, which
# it sends.
same_status() {
  local expected
  aspi raw "$unit" "$2" --json >"$work/own.json" 2>/dev/null
  expected=$(expected_status "$work/own.json")
  [ "$1" = "$expected" ] || { [ "$expected" = failed ] && [ "$1" != 0 ]; } ||
    fail "$unit: a tool ended with $1 where aspitool's $2 gives $expected"
}

# Returns nothing; on a CD-ROM, what sg_prevent and sg_start do is what
# aspitool's own PREVENT ALLOW MEDIUM REMOVAL and START STOP UNIT do, as
# aspitool's next command sees it (on units whose state outlives the
# process, as real ones do; an emulated unit starts afresh with each).
compare_cdrom_state() {
  local device="$2" code ours theirs action cdb
  unit="$1"
  tool sg_prevent --prevent=1 "$device" >/dev/null 2>&1
  code=$?
  ours=$(aspi_outcome eject "$unit")
  aspi raw "$unit" 1E0000000000 >/dev/null 2>&1
  aspi raw "$unit" 1B0000000300 >/dev/null 2>&1
  same_status $code 1E0000000100
  theirs=$(aspi_outcome eject "$unit")
  [ "$ours" = "$theirs" ] || fail "$unit: eject after sg_prevent gives '$ours', after aspitool's PREVENT '$theirs'"
  tool sg_prevent --allow "$device" >/dev/null 2>&1
  same_status $? 1E0000000000
  for action in eject load; do
    if [ $action = eject ]; then cdb=1B0000000200; else cdb=1B0000000300; fi
    tool sg_start --$action "$device" >/dev/null 2>&1
    code=$?
    aspi tur "$unit" >/dev/null 2>&1  # a changed medium may first report UNIT ATTENTION
    ours=$(aspi_outcome tur "$unit")
    same_status $code $cdb
    aspi tur "$unit" >/dev/null 2>&1
    theirs=$(aspi_outcome tur "$unit")
    [ "$ours" = "$theirs" ] || fail "$unit: after sg_start --$action aspitool sees '$ours', after its own '$theirs'"
  done
}

# The tools' own errors: a device the machine does not have, a target no
# unit answers on a port the tools reach, with the statuses the tools
# document (50 plus ENODEV, 50 plus EIO).
check_errors() {
  local port free
  tool sg_inq PhysicalDrive99 >"$work/none.out" 2>&1
  [ $? -eq 69 ] && grep -q "No such device" "$work/none.out" ||
    fail "sg_inq on a missing device: $(cat "$work/none.out")"
  port=$(awk -F'\t' '$5 == 0 { print $1; exit }' "$work/tool-units")
  [ -n "$port" ] || return 0
  for free in 7 6 5 4 3 2 1 0; do
    awk -F'\t' -v p="$port" -v t="$free" '$1 == p && $3 == t { found = 1 } END { exit !found }' \
      "$work/tool-units" || break
  done
  tool sg_inq "SCSI$port:0,$free,0" >"$work/absent.out" 2>&1
  [ $? -eq 55 ] || fail "sg_inq on the absent unit SCSI$port:0,$free,0: $(cat "$work/absent.out")"
}

echo "machine: $machine"
pair_units
check_scan
while read -r address type autosense device; do
  if [ -z "$device" ]; then
    echo "-- $address: no class device names it; the tools cannot reach it"
    continue
  fi
  compare_unit "$address" "$type" "$device"
  [ "$type" = 5 ] && compare_cdrom_state "$address" "$device"
done <"$work/pairs"
check_errors
finish
