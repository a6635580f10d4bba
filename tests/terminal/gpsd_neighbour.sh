#!/usr/bin/env bash
# The program beside Debian's gpsd, which takes no flock, and sets TIOCEXCL on a real
# serial device but not on a pty, as here: gpsd runs in the foreground on a
# simulated receiver at 9600 (its own control socket, port and pid file in a scratch
# folder, never the system's service). Cases, by who runs gpsd and who runs the scan:
# - root and root; nobody and nobody (in the port's group dialout); root and nobody,
#   as gpsd's service runs beside a desktop user, on its default port (no -S, as the
#   service starts it): nobody cannot see gpsd's descriptors, so gpsd is asked. As
#   root the test has a network of its own, where 2947 is free whatever the machine
#   runs. Each time COM3 reads "No such port. Skipping.",
#   the result names gpsd, its pid and the receiver's speed, the port's speed never
#   changes during the scan (the simulator samples it every few milliseconds), and
#   gpsd still delivers sentences afterwards;
# - root and nobody, gpsd without -n and no client watching: gpsd knows the device
#   but has it closed, so the port is free and the receiver is found at 9600.
# Usage: gpsd_neighbour.sh PROGRAM SIMULATOR
set -u
if [ "$(id -u)" -eq 0 ] && [ -z "${GPSD_NEIGHBOUR_NET:-}" ] && unshare --net true 2>/dev/null; then
  GPSD_NEIGHBOUR_NET=1 exec unshare --net bash -c 'ip link set lo up && exec bash "$@"' _ "$0" "$@"
fi
program=$1
sim=$2
work=$(mktemp -d)
sim_pid=
gpsd_pid=
# shellcheck disable=SC2317  # called by the trap
cleanup() {
  [ -n "$gpsd_pid" ] && kill "$gpsd_pid" 2>/dev/null
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }
command -v gpsd >/dev/null || { echo "FAIL: gpsd is not installed (scripts/lib.sh installs it)"; exit 1; }

mkdir -p "$work/ports" "$work/gpsd"
chmod 755 "$work" "$work/ports"
chmod 777 "$work/gpsd"
"$sim" --dir "$work/ports" --port 3:nmea:9600 --verbose >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do grep -q ready "$work/sim.out" && break; sleep 0.1; done
grep -q ready "$work/sim.out" || { echo "FAIL: the simulator did not start: $(cat "$work/sim.err")"; exit 1; }
dev=$(readlink -f "$work/ports/com3")
chgrp dialout "$dev" 2>/dev/null
chmod 0660 "$dev"

# The first GP sentence gpsd hands a client that watches for NMEA, within 15 s (gpsd
# may still be starting: its port is tried again until then).
GpsdSentence() {
  # shellcheck disable=SC2016
  timeout 15 bash -c 'until exec 3<>"/dev/tcp/127.0.0.1/$1"; do sleep 0.2; done 2>/dev/null
    printf "?WATCH={\"enable\":true,\"nmea\":true};\n" >&3
    grep -a -m1 "^\$GP" <&3' gpsd-client "$1"
}

# DevicesAnswer TCPPORT: gpsd's answer to ?DEVICES, without watching anything.
DevicesAnswer() {
  # shellcheck disable=SC2016
  timeout 10 bash -c 'until exec 3<>"/dev/tcp/127.0.0.1/$1"; do sleep 0.2; done 2>/dev/null
    printf "?DEVICES;\n" >&3
    grep -a -m1 "\"class\":\"DEVICES\"" <&3' gpsd-client "$1"
}

# As USER: the prefix that runs a command as that user (root: none), nobody being
# in group dialout.
As() {
  [ "$1" = root ] || printf '%s\n' setpriv --reuid=nobody --regid=nogroup --groups=dialout
}

# Scenario LABEL TCPPORT GPSD_USER SCAN_USER [inactive]
Scenario() {
  local label=$1 tcp=$2 gpsd_user=$3 scan_user=$4 mode=${5:-active}
  local nowait=-n gpsd_as scan_as
  [ "$mode" = inactive ] && nowait=
  mapfile -t gpsd_as < <(As "$gpsd_user")
  mapfile -t scan_as < <(As "$scan_user")
  rm -f "$work/gpsd/pid" "$work/gpsd/sock"
  local port=(-S "$tcp")
  [ "$tcp" = 2947 ] && port=()
  # shellcheck disable=SC2086  # no -n when inactive
  "${gpsd_as[@]}" gpsd -N $nowait -F "$work/gpsd/sock" "${port[@]}" -P "$work/gpsd/pid" "$dev" \
    >"$work/gpsd.out" 2>&1 &
  gpsd_pid=$!
  local mark
  if [ "$mode" = inactive ]; then
    # gpsd lists the device, and has not opened it: no "activated" time.
    local answer
    answer=$(DevicesAnswer "$tcp")
    grep -q "\"path\":\"$dev\"" <<<"$answer" || fail "$label: gpsd does not know $dev: $answer"
    grep -q "activated" <<<"$answer" && fail "$label: gpsd has $dev open: $answer"
    mark=$(wc -l <"$work/sim.err")
  else
    if ! GpsdSentence "$tcp" >/dev/null; then
      fail "$label: gpsd delivered nothing before the scan: $(cat "$work/gpsd.out")"
      kill "$gpsd_pid"
      return
    fi
    # gpsd found the receiver by hunting speeds; the simulator saw it settle on 9600.
    grep -q "COM3 configured to 9600" "$work/sim.err" || fail "$label: the speed is not sampled"
    mark=$(wc -l <"$work/sim.err")
  fi

  echo | SENTROVA_COMDIR="$work/ports" timeout 60 "${scan_as[@]}" "$program" >"$work/out" 2>"$work/err"
  local status=$?
  [ "$status" -eq 0 ] || fail "$label: the scan exited $status"

  if [ "$mode" = inactive ]; then
    # Scanned as any free port: the receiver answers at 9600.
    grep -q "^Checking port COM3: bauds rate 9600$" "$work/out" || fail "$label: COM3 was not tried at 9600"
    grep -q "No such port" <(grep -A1 "COM3:" "$work/out") && fail "$label: COM3 was skipped"
    printf 'Completed: GPS device found at COM3: / 9600 bauds\nCOM3 is %s -> %s\n' "$work/ports/com3" "$dev" \
      >"$work/want-err"
    cmp -s "$work/err" "$work/want-err" || fail "$label: result: $(diff "$work/want-err" "$work/err")"
    grep -q "configured to 9600" <<<"$(tail -n +"$((mark + 1))" "$work/sim.err")" ||
      fail "$label: the scan did not set 9600 on the port"
  else
    for n in $(seq 1 255); do
      printf 'Checking port COM%d: bauds rate 4800\nNo such port. Skipping.\n' "$n"
    done >"$work/want-out"
    cmp -s "$work/out" "$work/want-out" || fail "$label: log: $(diff "$work/want-out" "$work/out" | head -5)"
    printf 'Completed: No GPS devices found\nBusy: %s (gpsd, pid %s, reading a GPS receiver at 9600 bauds).\n' \
      "$dev" "$gpsd_pid" >"$work/want-err"
    cmp -s "$work/err" "$work/want-err" || fail "$label: result: $(diff "$work/want-err" "$work/err")"
    # Nothing of the port changed while the scan ran: no new speed, and the sampling
    # went on all through (a stalled reader would have stopped it).
    local during
    during=$(tail -n +"$((mark + 1))" "$work/sim.err")
    if grep -q "configured to\|reader stopped\|closed" <<<"$during"; then
      fail "$label: the port changed during the scan: $during"
    fi
    GpsdSentence "$tcp" >/dev/null || fail "$label: gpsd delivers nothing after the scan"
  fi
  [ "$(cat "$work/gpsd/pid" 2>/dev/null)" = "$gpsd_pid" ] || fail "$label: gpsd's pid file does not name $gpsd_pid"
  kill "$gpsd_pid"
  wait "$gpsd_pid" 2>/dev/null
  gpsd_pid=
}

base=$((20000 + $$ % 20000))
if [ "$(id -u)" -eq 0 ]; then
  Scenario root "$base" root root
  Scenario "gpsd and the scan as nobody in group dialout" "$((base + 1))" nobody nobody
  if awk '$4 == "0A" && $2 ~ /:0B83$/ { taken = 1 } END { exit !taken }' /proc/net/tcp /proc/net/tcp6; then
    fail "port 2947 is taken, and unshare gave no network of the test's own (the gpsd service? systemctl stop gpsd.socket gpsd)"
  else
    Scenario "gpsd as root on its default port, the scan as nobody in group dialout" 2947 root nobody
  fi
  Scenario "gpsd as root with the device inactive, the scan as nobody" "$((base + 3))" root nobody inactive
else
  Scenario "$(id -un)" "$base" root root
fi

if [ "$failed" -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit "$failed"
