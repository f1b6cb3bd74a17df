#!/bin/sh
# An iSCSI target on loopback for the end-to-end tests and the benchmark:
# tgtd with one target whose LUN 1 is a disk, LUN 2 a CD-ROM on an ISO made
# here, LUN 3 a tape and LUN 4 a second CD-ROM on the same ISO, and a
# machine file that puts the four behind one simulated SCSI port.
#
#   iscsi-target.sh start [DIR]    start tgtd, build the units, write DIR/machine.json
#   iscsi-target.sh stop [DIR]     stop tgtd (the files in DIR stay)
#   iscsi-target.sh pause [DIR]    freeze tgtd (SIGSTOP): commands get no answer
#   iscsi-target.sh resume [DIR]   let a frozen tgtd run again
#   iscsi-target.sh kill [DIR]     kill tgtd outright, as a crash would
#   iscsi-target.sh restart [DIR]  kill tgtd if it runs, then start it again on
#                                  the same ports with the same units and files
#
# DIR defaults to $PTASPI_ISCSI_DIR, else /tmp/ptaspi-iscsi. Both the iSCSI
# port and tgtd's control port are chosen free at start, so that two runs
# (the linux and linux-asan suites, or a user's run beside CI) never meet.
# Only 127.0.0.1 listens, and only 127.0.0.1 may log in.
set -u

command=${1:-}
dir=${2:-${PTASPI_ISCSI_DIR:-/tmp/ptaspi-iscsi}}
target_name=iqn.2026-12.org.ptaspi.test:loopback
initiator_name=iqn.2026-12.org.ptaspi.test:simulator
disk_mib=64

fail() {
    echo "iscsi-target.sh: $*" >&2
    exit 1
}

# tgtd and tgtadm live in sbin, which a normal PATH may leave out.
find_tool() {
    command -v "$1" 2>/dev/null && return 0
    for folder in /usr/sbin /sbin /usr/local/sbin; do
        [ -x "$folder/$1" ] && { echo "$folder/$1"; return 0; }
    done
    return 1
}

# Exits 77 (the suite's "skipped") when tgtd is not installed, so callers
# can tell a missing daemon from a broken one.
need_tools() {
    tgtd=$(find_tool tgtd) || { echo "iscsi-target.sh: tgtd not found (install the tgt package)" >&2; exit 77; }
    tgtadm=$(find_tool tgtadm) || fail "tgtadm not found (install the tgt package)"
    tgtimg=$(find_tool tgtimg) || fail "tgtimg not found (install the tgt package)"
    command -v xorriso >/dev/null 2>&1 || fail "xorriso not found (install the xorriso package)"
    command -v ss >/dev/null 2>&1 || fail "ss not found (install iproute2)"
    [ "$(id -u)" -eq 0 ] || fail "tgtd must run as root (run this as root, e.g. with sudo)"
}

adm() {
    [ -n "${tgtadm:-}" ] && timeout 10 "$tgtadm" -C "$(cat "$dir/control")" --lld iscsi "$@"
}

pid() {
    cat "$dir/tgtd.pid" 2>/dev/null
}

# A daemon that died as this shell's child lingers as a zombie until
# reaped, and a zombie still answers kill -0.
running() {
    p=$(pid) && [ -n "$p" ] && kill -0 "$p" 2>/dev/null &&
        [ "$(sed 's/.*) //' "/proc/$p/stat" 2>/dev/null | cut -c1)" != Z ]
}

# Returns success when tgtd's own process listens on the iSCSI port: tgtd
# keeps running without its portal when the port is taken.
listening() {
    ss -Hltnp "sport = :$(cat "$dir/port")" 2>/dev/null | grep -q "pid=$(pid),"
}

port_free() {
    [ -z "$(ss -Hltn "sport = :$1" 2>/dev/null)" ]
}

# tgtd's control port N is its management socket /var/run/tgtd/socket.N.
control_free() {
    ! ss -Hlx 2>/dev/null | grep -qF "/var/run/tgtd/socket.$1 "
}

# Returns a number in [low, high) that differs from run to run.
pick() {
    echo $(( $(od -An -N4 -tu4 /dev/urandom) % ($2 - $1) + $1 ))
}

# Starts tgtd on the ports recorded in DIR; returns failure when it did not
# come up serving them within ten seconds.
launch() {
    # Own session, no terminal and no inherited output pipe, so that a test
    # runner waiting for its child's output is not held by the daemon.
    setsid "$tgtd" -f -C "$(cat "$dir/control")" --iscsi "portal=127.0.0.1:$(cat "$dir/port")" \
        </dev/null >>"$dir/tgtd.log" 2>&1 &
    echo $! >"$dir/tgtd.pid"
    tries=0
    while [ $tries -lt 100 ]; do
        running || return 1
        if listening && adm --mode target --op show >/dev/null 2>&1; then
            return 0
        fi
        sleep 0.1
        tries=$((tries + 1))
    done
    return 1
}

# Stops tgtd: politely first, then SIGKILL after a bounded wait, since it
# does not reliably exit on SIGTERM.
halt() {
    running || { rm -f "$dir/tgtd.pid"; return 0; }
    p=$(pid)
    if [ "${1:-}" != now ]; then
        # A frozen daemon must run to hear the polite requests; a killed one
        # must not run at all before it dies.
        kill -CONT "$p" 2>/dev/null
        adm --mode sys --op update --name State -v offline >/dev/null 2>&1
        adm --mode system --op delete --force >/dev/null 2>&1
        kill -TERM "$p" 2>/dev/null
        tries=0
        while running && [ $tries -lt 30 ]; do sleep 0.1; tries=$((tries + 1)); done
    fi
    kill -KILL "$p" 2>/dev/null
    wait "$p" 2>/dev/null
    tries=0
    while running && [ $tries -lt 100 ]; do sleep 0.1; tries=$((tries + 1)); done
    running && fail "tgtd (pid $p) did not exit"
    rm -f "$dir/tgtd.pid"
}

make_media() {
    rm -f "$dir/disk.img" "$dir/cd.iso" "$dir/tape.img"
    rm -rf "$dir/cd"
    truncate -s "${disk_mib}M" "$dir/disk.img" || fail "cannot create $dir/disk.img"
    mkdir -p "$dir/cd/docs" || fail "cannot create $dir/cd"
    echo "ptaspi loopback disc" >"$dir/cd/README.TXT"
    seq 1 20000 >"$dir/cd/docs/NUMBERS.TXT"
    head -c 300000 /dev/urandom >"$dir/cd/docs/RANDOM.BIN"
    xorriso -as mkisofs -quiet -V PTASPI -o "$dir/cd.iso" "$dir/cd" >>"$dir/setup.log" 2>&1 ||
        fail "xorriso could not build $dir/cd.iso (see $dir/setup.log)"
    "$tgtimg" --op new --device-type tape --barcode PTASPI01 --size 64 --type data \
        --file "$dir/tape.img" >>"$dir/setup.log" 2>&1 || fail "tgtimg could not build $dir/tape.img"
}

configure_target() {
    adm --mode target --op new --tid 1 --targetname "$target_name" &&
        adm --mode logicalunit --op new --tid 1 --lun 1 --backing-store "$dir/disk.img" &&
        adm --mode logicalunit --op new --tid 1 --lun 2 --device-type cd --backing-store "$dir/cd.iso" &&
        adm --mode logicalunit --op new --tid 1 --lun 3 --device-type tape --bstype ssc \
            --backing-store "$dir/tape.img" &&
        adm --mode logicalunit --op new --tid 1 --lun 4 --device-type cd --backing-store "$dir/cd.iso" &&
        adm --mode target --op bind --tid 1 --initiator-address 127.0.0.1
}

# As NT presents them: the CD-ROM class driver claims the first CD-ROM and
# gives it drive E:, the only way to it; the second is left unclaimed, so
# that the port device reaches it.
write_machine() {
    base="iscsi://127.0.0.1:$(cat "$dir/port")/$target_name"
    cat >"$dir/machine.json" <<EOF
{
  "name": "tgtd on 127.0.0.1:$(cat "$dir/port")",
  "ports": [{
    "driver": "iscsiprt",
    "buses": [{
      "units": [
        {"target": 0, "lun": 0, "claimed": true, "class_device": "PhysicalDrive0",
         "backend": {"type": "iscsi", "url": "$base/1", "initiator": "$initiator_name"}},
        {"target": 1, "lun": 0, "claimed": true, "class_device": "CdRom0", "drive": "E",
         "backend": {"type": "iscsi", "url": "$base/2", "initiator": "$initiator_name"}},
        {"target": 2, "lun": 0, "claimed": true, "class_device": "Tape0",
         "backend": {"type": "iscsi", "url": "$base/3", "initiator": "$initiator_name"}},
        {"target": 3, "lun": 0, "claimed": false,
         "backend": {"type": "iscsi", "url": "$base/4", "initiator": "$initiator_name"}}
      ]
    }]
  }]
}
EOF
}

start() {
    need_tools
    mkdir -p "$dir" || fail "cannot create $dir"
    dir=$(cd "$dir" && pwd)
    if running; then
        fail "tgtd already runs for $dir (pid $(pid)); stop it first"
    fi
    : >"$dir/tgtd.log"
    : >"$dir/setup.log"
    make_media
    attempt=0
    while :; do
        attempt=$((attempt + 1))
        [ $attempt -le 20 ] || fail "could not start tgtd on a free port (see $dir/tgtd.log)"
        port=$(pick 20000 60000)
        control=$(pick 1000 30000)
        # A taken iSCSI port does not make tgtd fail, hence the check here
        # and the one in launch; a taken control port would stop another
        # run's tgtd from being reached.
        port_free "$port" && control_free "$control" || continue
        echo "$port" >"$dir/port"
        echo "$control" >"$dir/control"
        launch && break
        halt now
    done
    configure_target || { halt; fail "tgtadm could not set up the target (see $dir/tgtd.log)"; }
    write_machine
    echo "tgtd pid $(pid) on 127.0.0.1:$(cat "$dir/port"), control port $(cat "$dir/control")"
    echo "$dir/machine.json"
}

restart() {
    need_tools
    [ -f "$dir/port" ] && [ -f "$dir/control" ] || fail "nothing was started in $dir"
    halt now
    # A killed daemon's listening port may take a moment to be free again.
    tries=0
    until launch; do
        halt now
        tries=$((tries + 1))
        [ $tries -lt 20 ] || fail "tgtd would not come back on port $(cat "$dir/port") (see $dir/tgtd.log)"
        sleep 0.5
    done
    configure_target || { halt; fail "tgtadm could not set up the target again (see $dir/tgtd.log)"; }
    echo "$dir/machine.json"
}

signal() {
    running || fail "tgtd does not run for $dir"
    kill "-$1" "$(pid)" || fail "cannot send SIG$1 to tgtd"
}

case "$command" in
    start) start ;;
    # Stopping needs no more than kill; tgtadm, when there, asks first.
    stop) tgtadm=$(find_tool tgtadm) || tgtadm=; halt ;;
    pause) signal STOP ;;
    resume) signal CONT ;;
    kill) halt now ;;
    restart) restart ;;
    *) echo "usage: iscsi-target.sh start|stop|pause|resume|kill|restart [DIR]" >&2; exit 2 ;;
esac
