#!/usr/bin/env bash
# Checks the preload library under Wine on bare pseudo-terminals, with comprobe.exe:
# a pty read as a COM port (exclusive open, DTR/RTS, WaitCommEvent, reads), a pty held
# by a Unix process reads as busy, and a wait on a silent pty ends when the port is
# closed from another thread.
#
#   ptyline_check.sh PRELOAD_LIBRARY COMPROBE_EXE WINEPREFIX
#
# The prefix is one made by `e2e.sh prefix`. Every wait has a deadline; the pty
# feeders, the lock holder and the wineserver are ended on every way out.
set -uo pipefail

[ $# -eq 3 ] || { sed -n '2,10p' "$0"; exit 2; }
PRELOAD=$(realpath -m -- "$1")
PROBE=$(realpath -m -- "$2")
PREFIX=$(realpath -m -- "$3")
[ -f "$PREFIX/system.reg" ] || { echo "FAIL: no Wine prefix at $PREFIX"; exit 1; }

WORK=$(mktemp -d /tmp/sentrova-ptyline.XXXXXX)
CHILDREN=()
Cleanup() {
  local status=$? pid
  for pid in "${CHILDREN[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  WINEPREFIX=$PREFIX timeout 30 wineserver -k >/dev/null 2>&1
  rm -f "$PREFIX"/dosdevices/com250 "$PREFIX"/dosdevices/com251
  rm -rf "$WORK"
  exit "$status"
}
trap Cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

Fail() { echo "FAIL: $*"; exit 1; }

# Feeds a pty: "talk" writes a numbered line every 50 ms, "silent" writes nothing.
# Leaves the slave's path in FEED_PATH; the feeder runs until killed.
Feed() {
  python3 -u -c '
import os, sys, time, tty
master, slave = os.openpty()
tty.setraw(slave)
print(os.ttyname(slave))
i = 0
while True:
    if sys.argv[1] == "talk":
        os.write(master, b"$GPRMC,%04d\r\n" % i)
        i += 1
    time.sleep(0.05)
' "$1" > "$WORK/$1.path" &
  CHILDREN+=("$!")
  local i
  for i in $(seq 100); do [ -s "$WORK/$1.path" ] && break; sleep 0.1; done
  [ -s "$WORK/$1.path" ] || Fail "no pty for $1"
  FEED_PATH=$(cat "$WORK/$1.path")
}

Probe() {
  env WINEPREFIX="$PREFIX" WINEDEBUG=-all LD_PRELOAD="$PRELOAD" \
    timeout 60 wine "$PROBE" "$@" 2>/dev/null | tr -d '\r' | tee -a "$WORK/probe.log"
  return "${PIPESTATUS[0]}"
}

# The wineserver must be started with the library in it.
WINEPREFIX=$PREFIX timeout 30 wineserver -k >/dev/null 2>&1
WINEPREFIX=$PREFIX timeout 30 wineserver -w >/dev/null 2>&1

Feed talk
TALK=$FEED_PATH
Feed silent
SILENT=$FEED_PATH
ln -sfn "$TALK" "$PREFIX/dosdevices/com250"
ln -sfn "$SILENT" "$PREFIX/dosdevices/com251"

# A talking pty as COM250: a second open fails, the lines can be set, the wait reports
# received data, and the bytes read are the feeder's.
out=$(Probe COM250 read 26) || Fail "reading COM250: $out"
grep -q '^second open 0 ' <<<"$out" || Fail "a second open of a held port succeeded: $out"
grep -q '^dtr 1 rts 1 modemstatus 1 ' <<<"$out" || Fail "modem lines: $out"
grep -Eq '^waitcommevent 1 0x[0-9a-f]*[13579bdf]$' <<<"$out" || Fail "no EV_RXCHAR: $out"
grep -Eq '^read 26 \$GPRMC,[0-9]{4}\|\|\$GPRMC,[0-9]{4}\|\|$' <<<"$out" || Fail "bytes read: $out"
echo "ok: a pty reads as a COM port"

# The same port, held by a Unix process with flock, is busy for Wine.
( exec 9<>"$TALK" && flock -n 9 && echo held > "$WORK/held" && exec sleep 600 ) \
  </dev/null >/dev/null 2>&1 &
HOLDER=$!
CHILDREN+=("$HOLDER")
for i in $(seq 100); do [ -s "$WORK/held" ] && break; sleep 0.1; done
[ -s "$WORK/held" ] || Fail "could not take the lock on $TALK"
out=$(Probe COM250 busy) || Fail "a port held by another process opened: $out"
echo "ok: a port held by another process is busy"

# Once the holder is gone, the port opens again.
kill "$HOLDER"
wait "$HOLDER" 2>/dev/null
out=$(Probe COM250 read 14) || Fail "the port stayed busy after its holder ended: $out"
echo "ok: the port is free again once its holder has ended"

# A wait on a silent port ends when another thread closes the port.
out=$(Probe COM251 closewait) || Fail "wait on a silent port: $out"
echo "ok: closing the port ends a pending WaitCommEvent"
echo "PASS: ptyline"
