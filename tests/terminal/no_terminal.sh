#!/usr/bin/env bash
# The program without a terminal: keys are stdin's bytes, the result one line on
# stderr and the lines that explain it; and its command line.
# Usage: no_terminal.sh PROGRAM SIMULATOR
set -u
program=$1
sim=$2
work=$(mktemp -d)
sim_pid=
holder_pid=
# shellcheck disable=SC2317  # called by the trap
cleanup() {
  [ -n "$holder_pid" ] && kill "$holder_pid" 2>/dev/null
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
                   "Completed: <result>" "/dev/ttyS0" "Exit status"; do
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

# Ports the program may not open, and one another program holds, on simulated
# devices: COM1 belongs to group dialout (mode 0660), COM2 to its owner with no access
# for anyone (mode 0000), a process holds COM3 with a flock, a receiver answers on
# COM5. As root, the test runs the program as nobody, in no group (setpriv), so that
# root's bypass of file permissions does not apply. As anyone else the devices are
# the test's own and cannot be given to dialout: COM1 gets mode 0000 as well, which
# keeps out its owner too.
mkdir "$work/ports"
chmod 755 "$work" "$work/ports"
"$sim" --dir "$work/ports" --port 1:silent --port 2:silent --port 3:silent --port 5:nmea:4800 \
  >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do grep -q ready "$work/sim.out" && break; sleep 0.1; done
grep -q ready "$work/sim.out" || fail "the simulator did not start: $(cat "$work/sim.err")"
dev1=$(readlink -f "$work/ports/com1")
dev2=$(readlink -f "$work/ports/com2")
dev3=$(readlink -f "$work/ports/com3")
dev5=$(readlink -f "$work/ports/com5")
run_as=()
if [ "$(id -u)" -eq 0 ]; then
  chgrp dialout "$dev1" && chmod 0660 "$dev1"
  run_as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
else
  chmod 0000 "$dev1"
  owner=$(id -un)
fi
chmod 0666 "$dev3" "$dev5"
chmod 0000 "$dev2"
# The lock is taken by `flock`, which then ends: the pid /proc/locks names is gone,
# and the holder is found among the processes (of the same user) that have the
# device open: the sleep the shell became. Its name, which any process may choose,
# would retitle the terminal and clear it: the result shows it escaped.
evil=$(printf '\033]0;PWN\a\033[2J')
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
  printf 'Busy: %s (\\x1b]0;PWN\\x07\\x1b[2J, pid %s).\n' "$dev3" "$holder_pid"
} >"$work/want-err"
cmp -s "$work/err" "$work/want-err" || fail "refused ports, stderr: $(diff "$work/want-err" "$work/err")"
# The log says what it says of any port that cannot be opened.
{
  for n in 1 2 3 4; do printf 'Checking port COM%d: bauds rate 4800\nNo such port. Skipping.\n' "$n"; done
  printf 'Checking port COM5: bauds rate 4800\nPort exists, not dead. Trying to analyze data for GPS sentences.\n'
} >"$work/want-out"
cmp -s "$work/out" "$work/want-out" || fail "refused ports, log: $(diff "$work/want-out" "$work/out")"

if [ "$failed" -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit "$failed"
