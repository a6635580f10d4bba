#!/usr/bin/env bash
# The program beside Debian's gpsd, which takes no flock, and sets TIOCEXCL on a real
# serial device but not on a pseudo-terminal, as here: gpsd runs in the foreground
# on a simulated receiver at 9600 (its own control socket, port and pid file in a
# scratch folder, never the system's service). Cases, by who runs gpsd and who runs
# the scan:
# - root and root; nobody and nobody (in the port's group dialout); root and nobody,
#   as gpsd's service runs beside a desktop user, gpsd on its default port with no
#   -S as the service starts it: nobody cannot see gpsd's descriptors, so gpsd is
#   asked. Each time COM3 reads "No such port. Skipping.", the result names gpsd,
#   its pid and the receiver's speed, the port's speed never changes during the scan
#   (the simulator samples it every few milliseconds), and gpsd still delivers
#   sentences afterwards;
# - root and nobody, gpsd without -n and no client watching: gpsd knows the device
#   but has it closed, so the port is free and the receiver is found at 9600.
# Then a stand-in gpsd (a process named gpsd) beside a silent port, answering 0, 4,
# 5 and 64 devices, paths that are no string, a 4 KiB path, a line that never ends,
# a drip feed, junk: each scan ends within its bound with the result it has without
# gpsd, but for the stand-in's active device, where it is believed. A stand-in of
# another user's (nobody) is not believed by root; by nobody, and that of the
# system's gpsd user by anyone, it is.
# As root the test runs in a network of its own, where gpsd's default port is free
# whatever the machine runs on it.
# Usage: gpsd_neighbour.sh PROGRAM SIMULATOR
set -u
if [ "$(id -u)" -eq 0 ] && [ -z "${GPSD_NEIGHBOUR_NET:-}" ] && unshare --net true 2>/dev/null; then
  GPSD_NEIGHBOUR_NET=1 exec unshare --net bash -c 'ip link set lo up && exec bash "$@"' _ "$0" "$@"
fi
program=$1
sim=$2
work=$(mktemp -d)
sim_pid=
started=()
# shellcheck disable=SC2317  # called by the trap
cleanup() {
  for pid in "${started[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }
# Stop PID: ends what the test started.
Stop() {
  kill "$1" 2>/dev/null
  wait "$1" 2>/dev/null
}
command -v gpsd >/dev/null || { echo "FAIL: gpsd is not installed (scripts/lib.sh installs it)"; exit 1; }
python=/usr/bin/python3
[ -x "$python" ] || { echo "FAIL: $python is not installed (scripts/lib.sh installs it)"; exit 1; }

mkdir -p "$work/ports" "$work/gpsd" "$work/alone"
chmod 755 "$work" "$work/ports" "$work/alone"
chmod 777 "$work/gpsd"
"$sim" --dir "$work/ports" --port 3:nmea:9600 --port 5:silent --verbose >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do grep -q ready "$work/sim.out" && break; sleep 0.1; done
grep -q ready "$work/sim.out" || { echo "FAIL: the simulator did not start: $(cat "$work/sim.err")"; exit 1; }
dev=$(readlink -f "$work/ports/com3")
chgrp dialout "$dev" 2>/dev/null
chmod 0660 "$dev"
# The silent port is the stand-in's, alone in a folder of its own.
silent=$(readlink -f "$work/ports/com5")
rm "$work/ports/com5"
ln -s "$silent" "$work/alone/com1"
chmod 0666 "$silent"

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
# in group dialout; gpsd, the system's gpsd user, in its group.
As() {
  case $1 in
    root) ;;
    gpsd) printf '%s\n' setpriv --reuid=gpsd --regid=dialout --clear-groups ;;
    *) printf '%s\n' setpriv --reuid=nobody --regid=nogroup --groups=dialout ;;
  esac
}

# Scenario LABEL TCPPORT GPSD_USER SCAN_USER [inactive]
Scenario() {
  local label=$1 tcp=$2 gpsd_user=$3 scan_user=$4 mode=${5:-active}
  local nowait=-n gpsd_as scan_as
  [ "$mode" = inactive ] && nowait=
  mapfile -t gpsd_as < <(As "$gpsd_user")
  mapfile -t scan_as < <(As "$scan_user")
  rm -f "$work/gpsd/pid" "$work/gpsd/sock"
  # The service gives no -S: gpsd listens on 2947.
  local port_option=(-S "$tcp")
  [ "$tcp" = 2947 ] && port_option=()
  # shellcheck disable=SC2086  # no -n when inactive
  "${gpsd_as[@]}" gpsd -N $nowait -F "$work/gpsd/sock" "${port_option[@]}" -P "$work/gpsd/pid" "$dev" \
    >"$work/gpsd.out" 2>&1 &
  gpsd_pid=$!
  started+=("$gpsd_pid")
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
      Stop "$gpsd_pid"
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
  Stop "$gpsd_pid"
}

# The stand-in: it greets as gpsd does, then answers ?DEVICES as its mode says,
# keeping each connection open. Its command line names no device (a gpsd that does
# not answer in time would have those taken for active).
cat >"$work/standin.py" <<'EOF'
import ctypes, json, os, socket, sys, threading, time
ctypes.CDLL(None).prctl(15, b"gpsd", 0, 0, 0)  # PR_SET_NAME: its name in /proc
port = int(sys.argv[sys.argv.index("-S") + 1])
mode, real = os.environ["STANDIN_MODE"], os.environ["STANDIN_DEVICE"]

def device(path, bps=9600, flags=1):
    return {"class": "DEVICE", "path": path, "driver": "NMEA0183",
            "activated": "2026-01-02T03:04:05.000Z", "flags": flags, "bps": bps}

def answer(items):
    return json.dumps({"class": "DEVICES", "devices": items}, separators=(",", ":")).encode() + b"\n"

others = [device("/dev/ttyUSB%d" % (90 + n)) for n in range(63)]
replies = {
    "0": answer([]), "4": answer(others[:3] + [device(real)]), "5": answer(others[:4] + [device(real)]),
    "64": answer(others + [device(real)]),
    "nonstring": answer([device(12), device(["x"]), device(None), device({"path": real}), 7, "text",
                         device(real + "\0"), device(real, bps="9600", flags="1")]),
    "longpath": answer([device("/dev/" + "x" * 4091)]),
    "junk": bytes(range(256)) * 8 + b"[" * 20000 + b"\n" + b'{"class":"DEVICES","devices":{}}\n'
            + answer([device(real)]),
}

def serve(client):
    client.sendall(b'{"class":"VERSION","release":"3.22","rev":"3.22","proto_major":3,"proto_minor":14}\n')
    asked = b""
    while b"?DEVICES;" not in asked:
        got = client.recv(64)
        if not got:
            return
        asked += got
    if mode == "endless":
        while True:
            client.sendall(b"x" * 65536)
    elif mode == "drip":
        for byte in answer([device(real)]):
            client.sendall(bytes([byte]))
            time.sleep(0.01)
    else:
        client.sendall(replies[mode])
    client.recv(1)

def run(client):
    try:
        serve(client)
    except OSError:
        pass
    client.close()

listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", port))
listener.listen(8)
print("ready", flush=True)
while True:
    threading.Thread(target=run, args=(listener.accept()[0],), daemon=True).start()
EOF
chmod 644 "$work/standin.py"

# StandIn LABEL MODE BELIEVED [STANDIN_USER [SCAN_USER]]: the stand-in in MODE on
# the silent port's device, then a scan of that port alone. BELIEVED is "no" for a
# result as without gpsd, "9600" for the busy line with gpsd's speed, "" without.
bound=10
StandIn() {
  local label="stand-in gpsd: $1" mode=$2 believed=$3 standin_as scan_as
  mapfile -t standin_as < <(As "${4:-root}")
  mapfile -t scan_as < <(As "${5:-root}")
  : >"$work/standin.out"
  "${standin_as[@]}" env STANDIN_MODE="$mode" STANDIN_DEVICE="$silent" "$python" "$work/standin.py" -S "$tcp" \
    >"$work/standin.out" 2>&1 &
  local standin=$!
  started+=("$standin")
  for _ in $(seq 100); do grep -q ready "$work/standin.out" && break; sleep 0.1; done
  if ! grep -q ready "$work/standin.out"; then
    fail "$label: the stand-in did not start: $(cat "$work/standin.out")"
    Stop "$standin"
    return
  fi
  echo | SENTROVA_COMDIR="$work/alone" timeout "$bound" "${scan_as[@]}" "$program" >"$work/out" 2>"$work/err"
  local status=$?
  Stop "$standin"
  if [ "$status" -eq 124 ]; then
    fail "$label: the scan did not end within $bound s"
    return
  fi
  [ "$status" -eq 0 ] || fail "$label: the scan exited $status"
  {
    printf 'Checking port COM1: bauds rate 4800\n'
    if [ "$believed" = no ]; then echo "Port exists, but seems to be dead. Skipping."; else echo "No such port. Skipping."; fi
    for n in $(seq 2 255); do printf 'Checking port COM%d: bauds rate 4800\nNo such port. Skipping.\n' "$n"; done
  } >"$work/want-out"
  cmp -s "$work/out" "$work/want-out" || fail "$label: log: $(diff "$work/want-out" "$work/out" | head -5)"
  {
    echo "Completed: No GPS devices found"
    case $believed in
      no) ;;
      "") printf 'Busy: %s (gpsd, pid %s).\n' "$silent" "$standin" ;;
      *) printf 'Busy: %s (gpsd, pid %s, reading a GPS receiver at %s bauds).\n' "$silent" "$standin" "$believed" ;;
    esac
  } >"$work/want-err"
  cmp -s "$work/err" "$work/want-err" || fail "$label: result: $(diff "$work/want-err" "$work/err")"
}

# 2947 is the machine's: free in the test's own network, else it may be taken.
default_port=2947
if awk '$4 == "0A" && $2 ~ /:0B83$/ { found = 1 } END { exit !found }' /proc/net/tcp /proc/net/tcp6; then
  fail "gpsd's default port 2947 is taken on this machine (the gpsd service? systemctl stop gpsd.socket gpsd), and only root can give the test a network of its own"
  default_port=
fi
base=$((20000 + $$ % 20000))
tcp=$((base + 4))
if [ "$(id -u)" -eq 0 ]; then
  Scenario root "$base" root root
  Scenario "gpsd and the scan as nobody in group dialout" "$((base + 1))" nobody nobody
  [ -n "$default_port" ] &&
    Scenario "gpsd as root on its default port, the scan as nobody in group dialout" 2947 root nobody
  Scenario "gpsd as root with the device inactive, the scan as nobody" "$((base + 3))" root nobody inactive
else
  Scenario "$(id -un)" "$base" root root
  [ -n "$default_port" ] && Scenario "$(id -un), gpsd on its default port" 2947 root root
fi
StandIn "no device" 0 no
StandIn "4 devices" 4 9600
StandIn "5 devices" 5 9600
StandIn "64 devices" 64 9600
StandIn "paths and fields of other types" nonstring ""
StandIn "a 4 KiB path" longpath no
StandIn "a line that never ends" endless no
StandIn "a drip feed" drip no
StandIn "junk before the answer" junk 9600
if [ "$(id -u)" -eq 0 ]; then
  StandIn "another user's, nobody's, the scan as root" 5 no nobody root
  StandIn "nobody's, the scan as nobody" 5 9600 nobody nobody
  StandIn "the gpsd user's, the scan as nobody" 5 9600 gpsd nobody
fi

if [ "$failed" -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit "$failed"
