#!/usr/bin/env bash
# The program without a terminal: keys are stdin's bytes, the result one line on
# stderr. Usage: no_terminal.sh PROGRAM
set -u
program=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
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

if [ "$failed" -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit "$failed"
