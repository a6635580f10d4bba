#!/usr/bin/env bash
# The program without a terminal: keys are stdin's bytes, the result one line on
# stderr and the lines that explain it; its command line; and the scan for scripts
# (--scan, --json, --device): its exit status, its JSON object, a scan of one device,
# a device refused unopened, an interrupt mid-capture, and signals it was started
# with ignored.
# Usage: no_terminal.sh PROGRAM SIMULATOR
set -u
program=$1
sim=$2
work=$(mktemp -d)
sim_pid=
holder_pid=
fifo_pid=
# shellcheck disable=SC2317  # called by the trap
cleanup() {
  [ -n "$holder_pid" ] && kill "$holder_pid" 2>/dev/null
  [ -n "$fifo_pid" ] && kill "$fifo_pid" 2>/dev/null
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/com"
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# One Enter: one scan over no ports, its result, then the end of input closes.
echo | SENTROVA_COMDIR="$work/com" timeout 60 "$program" >"$work/out" 2>"$work/err"
status=$?
[ "$status" -eq 0 ] || fail "echo | sentrova exited $status"
printf 'Completed: No GPS devices found\n' >"$work/want-err"
cmp -s "$work/err" "$work/want-err" || fail "stderr: $(od -c "$work/err" | head -5)"
for n in $(seq 1 255); do
  printf 'Checking port COM%d: bauds rate 4800\nNo such port. Skipping.\n' "$n"
done >"$work/want-out"
cmp -s "$work/out" "$work/want-out" || fail "stdout differs: $(diff "$work/want-out" "$work/out" | head -5)"

# The same scan for a script: none found is status 1, and the JSON object says so.
SENTROVA_COMDIR="$work/com" timeout 60 "$program" --scan --json </dev/null >"$work/json" 2>"$work/err"
status=$?
[ "$status" -eq 1 ] || fail "--scan --json over no ports exited $status"
jq -es '. == [{found: false, port: null, rate: null, device: null, stable_path: null,
               busy: [], refused: [], seen: [], adapters_without_port: [], version: "1.04"}]' "$work/json" >/dev/null \
  || fail "--scan --json over no ports: $(cat "$work/json")"
cat "$work/want-out" "$work/want-err" | cmp -s - "$work/err" || fail "--scan --json, stderr: $(tail -2 "$work/err")"

# No input at all: no scan, nothing written, exit 0.
SENTROVA_COMDIR="$work/com" timeout 60 "$program" </dev/null >"$work/out" 2>"$work/err"
status=$?
[ "$status" -eq 0 ] || fail "sentrova </dev/null exited $status"
[ ! -s "$work/out" ] || fail "a scan ran without input: $(head -2 "$work/out")"
[ ! -s "$work/err" ] || fail "stderr without input: $(cat "$work/err")"

# A closed stdin is the end of input too.
SENTROVA_COMDIR="$work/com" timeout 60 "$program" <&- >"$work/out" 2>"$work/err"
status=$?
[ "$status" -eq 0 ] || fail "sentrova <&- exited $status"
[ ! -s "$work/out" ] || fail "a scan ran with stdin closed"

# Two scans, each result box closed by its own line, then 'q'; the log reader going
# away early loses the log but not the program.
printf '\n\n\n\nq' | SENTROVA_COMDIR="$work/com" timeout 60 "$program" 2>"$work/err" | head -c 10 >/dev/null
status=${PIPESTATUS[1]}
[ "$status" -eq 0 ] || fail "two scans into a closed pipe exited $status"
printf 'Completed: No GPS devices found\nCompleted: No GPS devices found\n' >"$work/want-err"
cmp -s "$work/err" "$work/want-err" || fail "two scans, stderr: $(cat "$work/err")"

# The command line: --help and --version on stdout with status 0; anything else one
# line on stderr naming it, status 2, and no scan (nothing on stdout).
for args in "--help" "--version" "--version --help"; do
  # shellcheck disable=SC2086
  SENTROVA_COMDIR="$work/com" timeout 60 "$program" $args </dev/null >"$work/out" 2>"$work/err"
  status=$?
  [ "$status" -eq 0 ] || fail "sentrova $args exited $status"
  [ ! -s "$work/err" ] || fail "sentrova $args wrote to stderr: $(cat "$work/err")"
  case $args in
    --version) printf 'sentrova 1.04\n' | cmp -s - "$work/out" || fail "--version: $(od -c "$work/out")" ;;
    *) for part in "Usage: sentrova [--help | --version]" "Escape, q, Ctrl-D" "SENTROVA_COMDIR" \
                   "Completed: <result>" "/dev/ttyS0" "Exit status" "--scan [--json] [--device PATH]" \
                   "jq -r"; do
         grep -qF -- "$part" "$work/out" || fail "sentrova $args lacks '$part'"
       done ;;
  esac
done
for args in "-h" "--versio" "--help extra" "scan"; do
  # shellcheck disable=SC2086
  echo | SENTROVA_COMDIR="$work/com" timeout 60 "$program" $args >"$work/out" 2>"$work/err"
  status=$?
  bad=${args##* }
  [ "$status" -eq 2 ] || fail "sentrova $args exited $status, expected 2"
  [ ! -s "$work/out" ] || fail "sentrova $args scanned: $(head -2 "$work/out")"
  printf "sentrova: unknown argument '%s'; see 'sentrova --help'\n" "$bad" | cmp -s - "$work/err" \
    || fail "sentrova $args, stderr: $(cat "$work/err")"
done
for case in "--json:--json goes with --scan" "--device /dev/null:--device goes with --scan" \
            "--scan --device:--device needs a path"; do
  # shellcheck disable=SC2086
  echo | SENTROVA_COMDIR="$work/com" timeout 60 "$program" ${case%%:*} >"$work/out" 2>"$work/err"
  status=$?
  if [ "$status" -ne 2 ] || [ -s "$work/out" ]; then fail "sentrova ${case%%:*} exited $status"; fi
  printf "sentrova: %s; see 'sentrova --help'\n" "${case#*:}" | cmp -s - "$work/err" \
    || fail "sentrova ${case%%:*}, stderr: $(cat "$work/err")"
done

# Ports the program may not open, and one another program holds, on simulated
# devices: COM1 belongs to group dialout (mode 0660), COM2 to its owner with no access
# for anyone (mode 0000), a process holds COM3 with a flock, a receiver answers on
# COM5; COM7 is a port of the simulator outside the numbering. As root, the test runs
# the program as nobody, in no group (setpriv), so that
# root's bypass of file permissions does not apply. As anyone else the devices are
# the test's own and cannot be given to dialout: COM1 gets mode 0000 as well, which
# keeps out its owner too.
mkdir "$work/ports"
chmod 755 "$work" "$work/ports"
"$sim" --dir "$work/ports" --port 1:silent --port 2:silent --port 3:silent --port 5:nmea:4800 \
  --port 7:silent --verbose >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do grep -q ready "$work/sim.out" && break; sleep 0.1; done
grep -q ready "$work/sim.out" || fail "the simulator did not start: $(cat "$work/sim.err")"
dev1=$(readlink -f "$work/ports/com1")
dev2=$(readlink -f "$work/ports/com2")
dev3=$(readlink -f "$work/ports/com3")
dev5=$(readlink -f "$work/ports/com5")
dev7=$(readlink -f "$work/ports/com7")
rm "$work/ports/com7"
run_as=()
if [ "$(id -u)" -eq 0 ]; then
  chgrp dialout "$dev1" && chmod 0660 "$dev1"
  run_as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
else
  chmod 0000 "$dev1"
  owner=$(id -un)
fi
chmod 0666 "$dev3" "$dev5" "$dev7"
chmod 0000 "$dev2"
# The lock is taken by `flock`, which then ends: the pid /proc/locks names is gone,
# and the holder is found among the processes (of the same user) that have the
# device open: the sleep the shell became. Its name, which any process may choose,
# holds quotes, a backslash (shown doubled), a C0 control that clears the terminal, the 8-bit CSI
# (U+009B) in UTF-8 and as a raw byte that is no UTF-8: the result shows them escaped.
evil=$(printf '"\047\\\033[2J\302\233\233!')
shown="\"'\\\\\\x1b[2J\\xc2\\x9b\\x9b!"
ln -s "$(command -v sleep)" "$work/$evil"
# shellcheck disable=SC2016
"${run_as[@]}" bash -c 'exec 9<>"$1"; flock -x 9 && exec "$2" 300' holder "$dev3" "$work/$evil" \
  </dev/null >/dev/null 2>&1 &
holder_pid=$!
for _ in $(seq 100); do [ "$(cat /proc/$holder_pid/comm 2>/dev/null)" = "$evil" ] && break; sleep 0.1; done
echo | SENTROVA_COMDIR="$work/ports" timeout 60 "${run_as[@]}" "$program" >"$work/out" 2>"$work/err"
status=$?
[ "$status" -eq 0 ] || fail "a scan with refused ports exited $status"
{
  printf 'Completed: GPS device found at COM5: / 4800 bauds\n'
  printf 'COM5 is %s -> %s\n' "$work/ports/com5" "$dev5"
  if [ "$(id -u)" -eq 0 ]; then
    # shellcheck disable=SC2016
    printf 'Permission denied on 1 port: %s (group dialout). To use it: sudo usermod -aG dialout $USER, then log in again.\n' "$dev1"
    printf 'Permission denied on 1 port: %s (owner root, mode 0000).\n' "$dev2"
  else
    printf 'Permission denied on 2 ports: %s (owner %s, mode 0000), %s (owner %s, mode 0000).\n' \
      "$dev1" "$owner" "$dev2" "$owner"
  fi
  printf 'Busy: %s (%s, pid %s).\n' "$dev3" "$shown" "$holder_pid"
} >"$work/want-err"
cmp -s "$work/err" "$work/want-err" || fail "refused ports, stderr: $(diff "$work/want-err" "$work/err")"
# The log says what it says of any port that cannot be opened.
{
  for n in 1 2 3 4; do printf 'Checking port COM%d: bauds rate 4800\nNo such port. Skipping.\n' "$n"; done
  printf 'Checking port COM5: bauds rate 4800\nPort exists, not dead. Trying to analyze data for GPS sentences.\n'
} >"$work/want-out"
cmp -s "$work/out" "$work/want-out" || fail "refused ports, log: $(diff "$work/want-out" "$work/out")"

# The same ports scanned for a script: the log, then the same result lines, on
# stderr; on stdout one JSON object that jq reads, the name as the result shows it.
SENTROVA_COMDIR="$work/ports" timeout 60 "${run_as[@]}" "$program" --scan --json >"$work/json" 2>"$work/err"
status=$?
[ "$status" -eq 0 ] || fail "--scan --json finding COM5 exited $status"
cat "$work/want-out" "$work/want-err" | cmp -s - "$work/err" || fail "--scan --json, stderr: $(cat "$work/err")"
# A group is named only where joining it lets the user in, as the lines say: dialout
# for COM1 when it is 0660, none for a device of mode 0000.
g1=null
[ "$(id -u)" -eq 0 ] && g1='"dialout"'
jq -es --arg d1 "$dev1" --arg d2 "$dev2" --arg d3 "$dev3" --arg d5 "$dev5" --arg name "$shown" \
  --argjson pid "$holder_pid" --argjson g1 "$g1" \
  '. == [{found: true, port: 5, rate: 4800, device: $d5, stable_path: null,
          busy: [{device: $d3, pid: $pid, process: $name, gpsd_rate: null}],
          refused: [{device: $d1, group: $g1}, {device: $d2, group: null}], seen: [],
          adapters_without_port: [], version: "1.04"}]' \
  "$work/json" >/dev/null || fail "--scan --json: $(cat "$work/json")"

# --device on the receiver's link: that port alone is tried, and found.
mark=$(wc -l <"$work/sim.err")
SENTROVA_COMDIR="$work/ports" timeout 60 "${run_as[@]}" "$program" --scan --device "$work/ports/com5" \
  >"$work/out" 2>"$work/err"
status=$?
[ "$status" -eq 0 ] || fail "--scan --device on the receiver exited $status"
tail -n 2 "$work/want-out" | cmp -s - "$work/out" || fail "--device, log: $(cat "$work/out")"
head -n 2 "$work/want-err" | cmp -s - "$work/err" || fail "--device, stderr: $(cat "$work/err")"
opened=$(tail -n +$((mark + 1)) "$work/sim.err" | grep -o 'COM[0-9]* opened' | sort -u | xargs)
[ "$opened" = "COM5 opened" ] || fail "--device on COM5 opened: $opened"

# A --device that is no COM port is refused, and nothing is opened: not the
# simulator's COM7, outside the numbering, nor a FIFO, whose reader below any open
# for writing would wake before the test's own write does.
mkfifo -m 0666 "$work/fifo"
timeout 60 cat "$work/fifo" >"$work/fifo.read" &
fifo_pid=$!
mark=$(wc -l <"$work/sim.err")
for case in "$dev7:a character device, but not one of the COM ports (see 'COM port numbers' in sentrova(1))" \
            "$work/fifo:not a character device, so no serial port" "$work/none:No such file or directory"; do
  SENTROVA_COMDIR="$work/ports" timeout 60 "${run_as[@]}" "$program" --scan --device "$work/ports/com5" \
    --device "${case%%:*}" >"$work/out" 2>"$work/err"
  status=$?
  if [ "$status" -ne 2 ] || [ -s "$work/out" ]; then fail "--device ${case%%:*} exited $status"; fi
  printf "sentrova: --device '%s': %s\n" "${case%%:*}" "${case#*:}" | cmp -s - "$work/err" \
    || fail "--device ${case%%:*}, stderr: $(cat "$work/err")"
done
# shellcheck disable=SC2016  # expanded by the inner bash
timeout 10 bash -c 'echo unopened >"$1"' _ "$work/fifo"
wait "$fifo_pid"
[ "$(cat "$work/fifo.read")" = unopened ] || fail "the FIFO given as --device was opened"

# Ctrl-C mid-capture: the port is closed (the simulator sees it) and the status is
# 128 + SIGINT; no result is written.
SENTROVA_COMDIR="$work/ports" timeout 60 "${run_as[@]}" "$program" --scan --device "$work/ports/com5" \
  >"$work/out" 2>"$work/err" &
scan_pid=$!
for _ in $(seq 100); do grep -q 'not dead' "$work/out" && break; sleep 0.1; done
kill -INT "$scan_pid"
wait "$scan_pid"
status=$?
[ "$status" -eq 130 ] || fail "a scan interrupted mid-capture exited $status"
[ ! -s "$work/err" ] || fail "an interrupted scan wrote: $(cat "$work/err")"
for _ in $(seq 100); do tail -n +$((mark + 1)) "$work/sim.err" | grep -q 'COM5 closed' && break; sleep 0.1; done
tail -n +$((mark + 1)) "$work/sim.err" | grep -q 'COM5 opened' || fail "the interrupted scan never opened COM5"
tail -n +$((mark + 1)) "$work/sim.err" | grep -q 'COM5 closed' || fail "the interrupted scan left COM5 open"
tail -n +$((mark + 1)) "$work/sim.err" | grep -q 'COM7 opened' && fail "COM7, given as --device, was opened"

# Signals started ignored stay so: SIGHUP, as nohup leaves it (here a shell's trap),
# SIGINT and SIGQUIT, as a non-interactive shell leaves them to a background job.
# Sent mid-capture, they change nothing: the scan ends with its result.
: >"$work/out"
# shellcheck disable=SC2016  # expanded by the inner bash
SENTROVA_COMDIR="$work/ports" timeout 60 bash -c 'trap "" HUP; "$@" & echo "$!" >"$0"; wait "$!"' \
  "$work/ignoring" "${run_as[@]}" "$program" --scan --device "$work/ports/com5" >"$work/out" 2>"$work/err" &
scan_pid=$!
for _ in $(seq 100); do grep -q 'not dead' "$work/out" && break; sleep 0.1; done
for signal in HUP INT QUIT; do kill -"$signal" "$(cat "$work/ignoring")" 2>/dev/null; done
wait "$scan_pid"
status=$?
[ "$status" -eq 0 ] || fail "a scan sent signals it was started with ignored exited $status"
head -n 2 "$work/want-err" | cmp -s - "$work/err" || fail "signals ignored, stderr: $(cat "$work/err")"

# Receivers the scan does not find, each sending junk at the other rates: one of the GN
# talker only (COM2, 4800), a u-blox in UBX mode (COM4, 9600), a SiRF in SiRF binary
# mode (COM6, 57600). The result names each port, its rate, what it sends and the way
# out; the JSON object says the same. They stream without a pause: what matters here
# is what the captures hold, and in bursts once a second the eighteen captures would
# take over two minutes.
kill "$sim_pid" && wait "$sim_pid" 2>/dev/null
mkdir "$work/binary"
"$sim" --dir "$work/binary" --port 2:gn:4800/stream --port 4:ubx:9600/stream --port 6:sirf:57600/stream \
  >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do grep -q ready "$work/sim.out" && break; sleep 0.1; done
d2=$(readlink -f "$work/binary/com2")
d4=$(readlink -f "$work/binary/com4")
d6=$(readlink -f "$work/binary/com6")
SENTROVA_COMDIR="$work/binary" timeout 120 "$program" --scan --json >"$work/json" 2>"$work/err"
status=$?
[ "$status" -eq 1 ] || fail "--scan over receivers in other modes exited $status"
# shellcheck disable=SC2016  # the sentences' dollars are text
{
  printf 'Completed: No GPS devices found\n'
  printf 'COM2 at 4800 sends NMEA of talker GN (a multi-constellation receiver), not GP: $GNGGA, $GNGSA, $GNGSV, $GNRMC, $GNVTG\n'
  printf 'It works as it is with gpsd and most programs: %s at 4800 bauds.\n' "$d2"
  printf 'COM4 at 9600: a u-blox receiver in binary mode (UBX), no NMEA\n'
  printf "To switch it back to NMEA: gpsctl -n %s (package gpsd), or u-blox's u-center.\n" "$d4"
  printf 'COM6 at 57600: a SiRF receiver in binary mode (SiRF binary), no NMEA\n'
  printf 'To switch it back to NMEA (gpsd may have left it so): gpsctl -n %s (package gpsd).\n' "$d6"
} >"$work/want-err"
sed -n '/^Completed: /,$p' "$work/err" | cmp -s - "$work/want-err" || fail "receivers in other modes: $(diff "$work/want-err" "$work/err")"
jq -es --arg d2 "$d2" --arg d4 "$d4" --arg d6 "$d6" \
  '. == [{found: false, port: null, rate: null, device: null, stable_path: null, busy: [], refused: [],
          seen: [{port: 2, rate: 4800, device: $d2, what: "other_talkers", protocol: "NMEA", talkers: ["GN"],
                  sentences: ["$GNGGA", "$GNGSA", "$GNGSV", "$GNRMC", "$GNVTG"]},
                 {port: 4, rate: 9600, device: $d4, what: "ubx", protocol: "UBX", talkers: [], sentences: []},
                 {port: 6, rate: 57600, device: $d6, what: "sirf", protocol: "SiRF", talkers: [], sentences: []}],
          adapters_without_port: [], version: "1.04"}]' "$work/json" >/dev/null \
  || fail "receivers in other modes, JSON: $(cat "$work/json")"

if [ "$failed" -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit "$failed"
