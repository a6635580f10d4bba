#!/usr/bin/env bash
# End-to-end run of one scenario: simulated receivers on pseudo-terminals, and the
# real program scanning them, as a user would drive it.
#
#   e2e.sh [options] prefix              make the Wine prefix that the wine runs share
#   e2e.sh [options] run MODE SCENARIO   MODE: wine | tty | pipe
#   e2e.sh list                          print the scenario names
#
# Modes: wine  sentrova.exe under Wine in Xvfb, driven with xdotool
#        tty   the Linux program in a terminal (tmux), driven with keys
#        pipe  the Linux program with no terminal: `echo | sentrova`
#
# Options: --sim PATH --linux-exe PATH --win-exe PATH --preload PATH --tools DIR
#          --prefix DIR --artifacts DIR --data DIR
#
# Exit status: 0 passed, 1 failed, 77 skipped (no Windows executable). Every wait has a
# deadline; every process started here, the wineserver and Xvfb are ended on every way
# out. On failure the scan's log and the simulator's report are printed.
set -uo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SIM=""
LINUX_EXE=""
WIN_EXE=""
PRELOAD=""
TOOLS=""
PREFIX=""
ARTIFACTS=""
DATA="$HERE/../data/nmea"

while [ $# -gt 0 ]; do
  case $1 in
    --sim) SIM=$2; shift 2 ;;
    --linux-exe) LINUX_EXE=$2; shift 2 ;;
    --win-exe) WIN_EXE=$2; shift 2 ;;
    --preload) PRELOAD=$2; shift 2 ;;
    --tools) TOOLS=$2; shift 2 ;;
    --prefix) PREFIX=$2; shift 2 ;;
    --artifacts) ARTIFACTS=$2; shift 2 ;;
    --data) DATA=$2; shift 2 ;;
    *) break ;;
  esac
done
COMMAND=${1:-}

# Wine changes its working folder, and the preload path is read by every process it
# starts: make every path absolute.
Absolute() { [ -z "$1" ] || realpath -m -- "$1"; }
SIM=$(Absolute "$SIM")
LINUX_EXE=$(Absolute "$LINUX_EXE")
WIN_EXE=$(Absolute "$WIN_EXE")
PRELOAD=$(Absolute "$PRELOAD")
TOOLS=$(Absolute "$TOOLS")
PREFIX=$(Absolute "$PREFIX")
ARTIFACTS=$(Absolute "$ARTIFACTS")
DATA=$(Absolute "$DATA")

# ---------------------------------------------------------------------------------
# Cleanup: every child by its own id, then the wineserver of our prefix and the
# private tmux server.

WORK=""
CHILDREN=()
XVFB_PID=""
TMUX_SOCKET=""
WINE_STARTED=0
FAILED=0
RESULT_DIR=""

StopPid() {
  local pid=$1
  kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null
  local i
  for i in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null; return 0; }
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
}

Cleanup() {
  local status=$?
  trap - EXIT INT TERM HUP
  local pid
  for pid in "${CHILDREN[@]}"; do StopPid "$pid"; done
  if [ "$WINE_STARTED" = 1 ]; then
    WINEPREFIX=$PREFIX timeout 30 wineserver -k >/dev/null 2>&1
    WINEPREFIX=$PREFIX timeout 30 wineserver -w >/dev/null 2>&1
  fi
  [ -n "$XVFB_PID" ] && StopPid "$XVFB_PID"
  [ -n "$TMUX_SOCKET" ] && tmux -S "$TMUX_SOCKET" kill-server >/dev/null 2>&1
  if [ "$FAILED" = 1 ] || [ "$status" != 0 ] && [ "$status" != 77 ]; then
    ReportFailure
    [ "$status" = 0 ] && status=1
  fi
  [ -n "$WORK" ] && rm -rf "$WORK"
  exit "$status"
}
trap Cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

ReportFailure() {
  [ -z "$RESULT_DIR" ] && return
  local f
  for f in scan.log sim.err screen.txt stderr.txt wine.err; do
    [ -s "$RESULT_DIR/$f" ] || continue
    echo "---- $f (last 60 lines) ----"
    tail -n 60 "$RESULT_DIR/$f"
  done
  echo "---- artifacts: $RESULT_DIR"
}

Fail() {
  echo "FAIL: $*" >&2
  FAILED=1
  exit 1
}

Note() { echo "e2e: $*"; }

# WaitFor DESCRIPTION SECONDS COMMAND...: polls COMMAND until it succeeds.
WaitFor() {
  local what=$1 seconds=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    [ $SECONDS -ge $deadline ] && Fail "timed out after ${seconds}s waiting for $what"
    sleep 0.2
  done
}

# WaitExit PID SECONDS DESCRIPTION: waits for a child to end; its status goes to RC.
WaitExit() {
  local pid=$1 deadline=$((SECONDS + $2))
  while kill -0 "$pid" 2>/dev/null; do
    [ $SECONDS -ge $deadline ] && Fail "timed out after ${2}s waiting for $3"
    sleep 0.2
  done
  RC=0
  wait "$pid" || RC=$?
}

# ---------------------------------------------------------------------------------
# Scenarios. Each sets:
#   SIM_PORTS  the simulated devices, as sentrova-sim --port takes them, with @N for
#              the COM number of logical port N
#   EXPECT     the attempts on the simulated ports, "N RATE OUTCOME" (N logical);
#              every other port scanned must be absent at 4800
#   LAST       the last port the scan reaches (logical; 255 when nothing is found)
#   RESULT     the text of the result box
#   HELD       logical ports held by another program for the whole run
#   UNPLUG     logical port whose link goes away once the program has opened it
#   NEVER      logical ports that must never be opened
#   BOUND      seconds the scan may take at most before the run counts as hung

SCENARIOS="found_com3 garbage_then_38400 silent_at_9600 no_ports held_port stops_mid_capture gn_only far_port
once_a_second_38400 once_a_second_115200"

Scenario() {
  SIM_PORTS=()
  EXPECT=()
  HELD=()
  NEVER=()
  UNPLUG=""
  BOUND=90
  case $1 in
    found_com3)
      # A real log at 4800 on COM3, and a second receiver above it that the scan
      # must never reach.
      SIM_PORTS=("@3:nmea:4800:$DATA/GPSmap-76S.nmea" "@7:nmea:4800")
      EXPECT=("3 4800 alive")
      LAST=3
      NEVER=(7)
      RESULT="GPS device found at COM@3: / 4800 bauds" ;;
    garbage_then_38400)
      # Garbage at every rate below its own: three captures with no sentence first. It
      # sends five fixes a second, as many receivers do at 38400.
      SIM_PORTS=("@12:nmea:38400/5")
      EXPECT=("12 4800 alive" "12 9600 alive" "12 19200 alive" "12 38400 alive")
      LAST=12
      RESULT="GPS device found at COM@12: / 38400 bauds" ;;
    silent_at_9600)
      # A depth sounder talks at 4800 and is silent at 9600: left after 9600.
      SIM_PORTS=("@4:alive-then-silent:4800:$DATA/sounder.nmea" "@6:nmea:4800")
      EXPECT=("4 4800 alive" "4 9600 dead" "6 4800 alive")
      LAST=6
      RESULT="GPS device found at COM@6: / 4800 bauds" ;;
    no_ports)
      LAST=255
      RESULT="No GPS devices found" ;;
    held_port)
      # A receiver on COM3 held by another program reads as busy, like a missing port.
      SIM_PORTS=("@3:nmea:4800" "@5:nmea:4800")
      HELD=(3)
      EXPECT=("3 4800 absent" "5 4800 alive")
      LAST=5
      RESULT="GPS device found at COM@5: / 4800 bauds" ;;
    stops_mid_capture)
      # 300 bytes and then nothing: the capture never reaches 1024 bytes, the scan
      # gives up after its wait limit, and the receiver is unplugged meanwhile.
      SIM_PORTS=("@3:stop-after:4800:300" "@5:nmea:4800")
      UNPLUG=3
      EXPECT=("3 4800 alive" "3 9600 absent" "5 4800 alive")
      LAST=5
      BOUND=150
      RESULT="GPS device found at COM@5: / 4800 bauds" ;;
    gn_only)
      # A receiver that talks only $GN sentences is no GP receiver.
      SIM_PORTS=("@3:gn:4800")
      EXPECT=("3 4800 alive" "3 9600 alive" "3 19200 alive" "3 38400 alive" "3 57600 alive"
              "3 115200 alive")
      LAST=255
      RESULT="No GPS devices found" ;;
    once_a_second_38400 | once_a_second_115200)
      # A receiver that talks once a second (a real MTK log, the line idle between its
      # bursts) behind a silent port: that one is dead, the receiver's lower rates get
      # junk while its bursts last and are rejected, and it is found at its rate. Its
      # port is first opened 650 ms (38400) or 300 ms (115200) before a burst begins,
      # and its line is idle until then.
      local rate=${1##*_} phase=650 r
      [ "$rate" = 115200 ] && phase=300
      SIM_PORTS=("@2:silent" "@3:nmea:$rate+$phase:$DATA/mtk-3301.nmea")
      EXPECT=("2 4800 dead")
      for r in 4800 9600 19200 38400 57600 115200; do
        [ "$r" -le "$rate" ] && EXPECT+=("3 $r alive")
      done
      LAST=3
      BOUND=150
      RESULT="GPS device found at COM@3: / $rate bauds" ;;
    far_port)
      # A receiver high up: the bar stands well along while it is captured.
      SIM_PORTS=("@200:nmea:4800")
      EXPECT=("200 4800 alive")
      LAST=200
      RESULT="GPS device found at COM@200: / 4800 bauds" ;;
    *) Fail "unknown scenario '$1' (known: $SCENARIOS)" ;;
  esac
}

# Logical port -> COM number in this run (shifted above the host's ports under Wine).
Com() { echo $(($1 + SHIFT)); }

# Replaces every @N in a text by the COM number of logical port N.
Place() {
  local text=$1 out=""
  while [[ $text =~ ^([^@]*)@([0-9]+)(.*)$ ]]; do
    out+="${BASH_REMATCH[1]}$(Com "${BASH_REMATCH[2]}")"
    text=${BASH_REMATCH[3]}
  done
  echo "$out$text"
}

# ---------------------------------------------------------------------------------
# Log check. The log is turned into one line per attempt, "N RATE OUTCOME", and
# compared with what the scenario expects; ports the host itself has (Wine) are
# left out on both sides, since what they do depends on the machine.

Attempts() {
  awk '
    function flush() { if (port != "") print port, rate, outcome; port = "" }
    /^Checking port COM[0-9]+: bauds rate [0-9]+$/ {
      flush(); split($3, a, /[M:]/); port = a[2]; rate = $6; outcome = "none"; next }
    $0 == "No such port. Skipping." && port != "" && outcome == "none" { outcome = "absent"; next }
    $0 == "Port exists, but seems to be dead. Skipping." && port != "" && outcome == "none" {
      outcome = "dead"; next }
    $0 == "Port exists, not dead. Trying to analyze data for GPS sentences." && port != "" &&
      outcome == "none" { outcome = "alive"; next }
    { flush(); print "unexpected:", $0 }
    END { flush() }' <(tr -d '\r' < "$1") | grep -v -E "^($HOST_PORTS_RE) " || true
}

ExpectedAttempts() {
  local last n line rest
  last=$(Com "$LAST")
  [ "$LAST" = 255 ] && last=255
  declare -A listed=()
  for line in "${EXPECT[@]}"; do listed[$(Com "${line%% *}")]=1; done
  for n in $(seq 1 "$last"); do
    if [ -n "${listed[$n]:-}" ]; then
      for line in "${EXPECT[@]}"; do
        rest=${line#* }
        [ "$(Com "${line%% *}")" = "$n" ] && echo "$n $rest"
      done
    else
      echo "$n 4800 absent"
    fi
  done | grep -v -E "^($HOST_PORTS_RE) " || true
}

CheckLog() {
  local log=$RESULT_DIR/scan.log
  Attempts "$log" > "$RESULT_DIR/attempts.actual"
  ExpectedAttempts > "$RESULT_DIR/attempts.expected"
  if ! diff -u "$RESULT_DIR/attempts.expected" "$RESULT_DIR/attempts.actual" > "$RESULT_DIR/attempts.diff"; then
    head -n 40 "$RESULT_DIR/attempts.diff"
    Fail "the scan's attempts differ from the expected ones (diff: $RESULT_DIR/attempts.diff)"
  fi
  Note "log: $(wc -l < "$RESULT_DIR/attempts.actual") attempts as expected"
  # Checked last, so that the attempts are judged even when only the line ends are off.
  if grep -q $'\r' "$log"; then
    Fail "log lines end in CR LF; each line must end in a bare line feed"
  fi
}

# The simulator reports every open on its stderr (--verbose).
CheckNeverOpened() {
  local n com
  for n in "${NEVER[@]}"; do
    com=$(Com "$n")
    if grep -q "^sim: COM$com " "$RESULT_DIR/sim.err"; then
      Fail "COM$com was opened, but the scan should have stopped below it"
    fi
  done
  return 0
}

# ---------------------------------------------------------------------------------
# Simulated ports.

SIM_PID=""
SIM_DIR=""

# StartSim FOLDER...: the simulator links comN in every folder; returns once it is ready.
StartSim() {
  SIM_DIR=$1
  mkdir -p "$SIM_DIR"
  : > "$RESULT_DIR/sim.err"
  [ ${#SIM_PORTS[@]} -eq 0 ] && return 0
  local args=() folder portdef
  for folder in "$@"; do args+=(--dir "$folder"); done
  for portdef in "${SIM_PORTS[@]}"; do args+=(--port "$(Place "$portdef")"); done
  : > "$WORK/sim.out"
  "$SIM" --verbose "${args[@]}" > "$WORK/sim.out" 2>> "$RESULT_DIR/sim.err" &
  SIM_PID=$!
  CHILDREN+=("$SIM_PID")
  WaitFor "the simulator to be ready" 20 SimReady
  local n
  for n in "${HELD[@]}"; do HoldPort "$(Com "$n")"; done
}

SimReady() {
  kill -0 "$SIM_PID" 2>/dev/null || Fail "the simulator exited: $(cat "$RESULT_DIR/sim.err")"
  grep -qx ready "$WORK/sim.out"
}

# Another program takes the port: an exclusive flock on the slave, as the program's
# own open takes it (and as the preload library makes Wine take it).
HoldPort() {
  local com=$1 slave
  slave=$(readlink -f "$SIM_DIR/com$com") || Fail "no link for COM$com"
  ( exec 9<>"$slave" && flock -n 9 && echo held > "$WORK/held$com" && exec sleep 600 ) \
    < /dev/null > /dev/null 2>&1 &
  CHILDREN+=("$!")
  WaitFor "COM$com to be held" 10 test -s "$WORK/held$com"
}

# Removes the links of a port once the program has it open, so that the next open
# finds no such port: a receiver that went quiet and was then unplugged.
UnplugWhenOpened() {
  local com folder
  com=$(Com "$UNPLUG")
  WaitFor "COM$com to be opened" "$BOUND" grep -q "^sim: COM$com opened$" "$RESULT_DIR/sim.err"
  for folder in "$@"; do rm -f "$folder/com$com"; done
  Note "COM$com unplugged while its capture runs"
}

# ---------------------------------------------------------------------------------
# Linux: in a terminal, and with no terminal.

RunPipe() {
  SHIFT=0
  HOST_PORTS_RE="none"
  StartSim "$WORK/com"
  local started=$SECONDS
  # One Enter: one scan; then end of input closes the dialog. $! is the program.
  echo | SENTROVA_COMDIR="$WORK/com" "$LINUX_EXE" > "$RESULT_DIR/scan.log" \
    2> "$RESULT_DIR/stderr.txt" &
  local pid=$!
  CHILDREN+=("$pid")
  [ -n "$UNPLUG" ] && UnplugWhenOpened "$WORK/com"
  WaitExit "$pid" "$BOUND" "the scan to end"
  [ "$RC" = 0 ] || Fail "exit code $RC, expected 0"
  local want
  want="Completed: $(Place "$RESULT")"
  grep -qxF "$want" "$RESULT_DIR/stderr.txt" || Fail "stderr lacks '$want'"
  Note "pipe: '$want' after $((SECONDS - started))s, exit 0"
  CheckLog
  CheckNeverOpened
}

Pane() { tmux -S "$TMUX_SOCKET" capture-pane -p -t e2e 2>/dev/null; }
PaneHas() { Pane | grep -qF "$1"; }

RunTty() {
  SHIFT=0
  HOST_PORTS_RE="none"
  StartSim "$WORK/com"
  TMUX_SOCKET=$WORK/tmux.sock
  tmux -S "$TMUX_SOCKET" -f /dev/null new-session -d -s e2e -x 80 -y 24 \
    "SENTROVA_COMDIR='$WORK/com' '$LINUX_EXE' > '$RESULT_DIR/scan.log'; echo \$? > '$WORK/rc'" \
    || Fail "tmux did not start"
  WaitFor "the dialog to show Detect" 20 PaneHas "Detect"
  Pane > "$RESULT_DIR/screen-before.txt"
  tmux -S "$TMUX_SOCKET" send-keys -t e2e Enter
  if [ -n "$UNPLUG" ]; then
    UnplugWhenOpened "$WORK/com"
  elif [ ${#EXPECT[@]} -gt 0 ]; then
    # While the last port is captured, the bar shows that port's share of the way.
    local last percent
    last=${EXPECT[-1]%% *}
    percent=$((100 * last / 256))
    WaitFor "COM$last to be opened" "$BOUND" grep -q "^sim: COM$last opened$" "$RESULT_DIR/sim.err"
    WaitFor "the bar to show $percent%" 5 PaneHas " $percent%"
    Pane > "$RESULT_DIR/screen-scanning.txt"
  fi
  WaitFor "the result box" "$BOUND" PaneHas "Completed"
  Pane > "$RESULT_DIR/screen.txt"
  local want
  want=$(Place "$RESULT")
  grep -qF "$want" "$RESULT_DIR/screen.txt" || Fail "the result box does not say '$want'"
  tmux -S "$TMUX_SOCKET" send-keys -t e2e Enter
  WaitFor "the result box to close" 10 eval '! PaneHas Completed'
  tmux -S "$TMUX_SOCKET" send-keys -t e2e Escape
  WaitFor "the program to exit" 20 test -s "$WORK/rc"
  local rc
  rc=$(cat "$WORK/rc")
  [ "$rc" = 0 ] || Fail "exit code $rc, expected 0"
  Note "tty: '$want', exit 0"
  CheckLog
  CheckNeverOpened
}

# ---------------------------------------------------------------------------------
# Wine.

WineEnv() {
  env WINEPREFIX="$PREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
    LD_PRELOAD="$PRELOAD" DISPLAY="${DISPLAY_NAME:-}" "$@"
}

# A fresh prefix, made with the preload library in the wineserver from the start.
MakePrefix() {
  [ -n "$PREFIX" ] || Fail "--prefix is needed"
  [ -f "$PRELOAD" ] || Fail "no preload library at '$PRELOAD'"
  command -v wine >/dev/null || Fail "wine is not installed"
  WINEPREFIX=$PREFIX timeout 30 wineserver -k >/dev/null 2>&1
  rm -rf "$PREFIX"
  mkdir -p "$(dirname "$PREFIX")"
  WINE_STARTED=1
  WineEnv timeout 180 wineboot -i > /dev/null 2>&1 || Fail "wineboot -i failed"
  WINEPREFIX=$PREFIX timeout 60 wineserver -w
  [ -f "$PREFIX/system.reg" ] || Fail "no prefix made at $PREFIX"
  Note "prefix ready at $PREFIX; host ports: $(HostPorts | tr '\n' ' ')"
}

# COM numbers that Wine gives the host's own serial devices: links in dosdevices
# that lead to a real device rather than to a pseudo-terminal.
HostPorts() {
  local link target
  for link in "$PREFIX"/dosdevices/com*; do
    [ -L "$link" ] || continue
    target=$(readlink "$link")
    case $target in /dev/pts/*|/tmp/*|"$WORK"*) continue ;; esac
    [[ $target == /dev/* ]] && echo "${link##*/com}"
  done | sort -n
}

# Removes links left by earlier runs that lead to pseudo-terminals.
ResetPrefixLinks() {
  local link target
  for link in "$PREFIX"/dosdevices/com*; do
    [ -L "$link" ] || continue
    target=$(readlink "$link")
    [[ $target == /dev/* && $target != /dev/pts/* ]] || rm -f "$link"
  done
}

StartXvfb() {
  command -v Xvfb >/dev/null || Fail "Xvfb is not installed"
  exec 5> "$WORK/display"
  Xvfb -displayfd 5 -screen 0 800x600x24 -nolisten tcp -noreset > "$WORK/xvfb.log" 2>&1 &
  XVFB_PID=$!
  exec 5>&-
  WaitFor "Xvfb to choose a display" 20 test -s "$WORK/display"
  DISPLAY_NAME=":$(head -n1 "$WORK/display")"
}

X() { env DISPLAY="$DISPLAY_NAME" "$@"; }

# The main dialog: a visible window with an empty name (the root window has none
# either, and is left out).
FindDialog() {
  local root
  root=$(X xdotool search --maxdepth 0 --name '' 2>/dev/null | head -n1)
  DIALOG=$(X xdotool search --onlyvisible --name '^$' 2>/dev/null | grep -vx "${root:-none}" | head -n1)
  [ -n "$DIALOG" ]
}

FindBox() {
  BOX=$(X xdotool search --onlyvisible --name '^Completed$' 2>/dev/null | head -n1)
  [ -n "$BOX" ]
}

Shot() { X import -window root "$RESULT_DIR/$1" 2>/dev/null || Note "screenshot $1 failed"; }

Inspect() { WineEnv timeout 30 wine "$TOOLS/wininspect.exe" "$@" 2>/dev/null | tr -d '\r'; }

# The bar's position while the dialog is idle (none while it scans: the scan holds
# the dialog's thread).
Progress() { Inspect progress; }
ProgressIs() { PROGRESS=$(Progress); [ "$PROGRESS" = "$1" ]; }

# The share of the bar drawn in a screenshot, in percent: along the middle row of its
# client area, the last column whose colour differs from the empty end's. This is what
# the user sees, so it shows that the bar repaints while the scan blocks the dialog.
BarDrawn() {
  local x y w h
  read -r x y w h <<< "$(Inspect bar)" || return 1
  [ -n "$h" ] && [ "$w" -gt 10 ] || return 1
  X convert "$1" -crop "${w}x1+${x}+$((y + h / 2))" +repage -depth 8 txt:- 2>/dev/null |
    awk -v w="$w" 'NR > 1 { colour[NR - 2] = $3 }
      END { empty = colour[w - 2]; last = 0
            for (i = 1; i < w - 2; i++) if (colour[i] != empty) last = i + 1
            printf "%d\n", 100 * last / w }'
}

RunWine() {
  if [ ! -f "$WIN_EXE" ]; then
    echo "SKIP: no Windows executable at '$WIN_EXE' (build it with the mingw-w64 toolchain" \
         "file, or set SENTROVA_WIN_EXE); the Wine half is not run"
    exit 77
  fi
  [ -f "$PREFIX/system.reg" ] || Fail "no Wine prefix at '$PREFIX' (run: e2e.sh --prefix DIR prefix)"
  [ -f "$PRELOAD" ] || Fail "no preload library at '$PRELOAD'"
  [ -f "$TOOLS/wininspect.exe" ] || Fail "no wininspect.exe in '$TOOLS'"
  for tool in xdotool import; do command -v $tool >/dev/null || Fail "$tool is not installed"; done
  # A wineserver that is still up from an earlier run may lack the preload library.
  WINEPREFIX=$PREFIX timeout 30 wineserver -k >/dev/null 2>&1
  WINEPREFIX=$PREFIX timeout 30 wineserver -w >/dev/null 2>&1
  WINE_STARTED=1
  ResetPrefixLinks

  # Simulated ports go above the host's own, which Wine numbers from COM1.
  local host top=0 lowest=256 portdef n
  host=$(HostPorts)
  [ -n "$host" ] && top=$(echo "$host" | tail -n1)
  HOST_PORTS_RE=$(echo "$host" | paste -sd'|')
  [ -z "$HOST_PORTS_RE" ] && HOST_PORTS_RE="none"
  SHIFT=0
  for portdef in "${SIM_PORTS[@]}" "${HELD[@]/#/@}"; do
    n=${portdef#@}; n=${n%%:*}
    [ "$n" -lt "$lowest" ] && lowest=$n
  done
  if [ "$top" -ge "$lowest" ]; then
    SHIFT=$top
    Note "the host's ports take COM1..COM$top: simulated ports moved up by $SHIFT"
  fi
  [ -n "$host" ] && Note "host ports under Wine (left out of the log check): COM${host//$'\n'/, COM}"

  StartSim "$WORK/com" "$PREFIX/dosdevices"
  StartXvfb

  WineEnv wine "$WIN_EXE" > "$RESULT_DIR/scan.log" 2> "$RESULT_DIR/wine.err" &
  local wine_pid=$!
  CHILDREN+=("$wine_pid")
  WaitFor "the dialog" 60 FindDialog
  sleep 0.5  # the first paint
  Shot before.png
  WaitFor "the bar to read 0 before the scan" 20 ProgressIs 0

  X xdotool windowfocus --sync "$DIALOG" || Fail "could not focus the dialog"
  X xdotool key Return
  local started=$SECONDS
  if [ -n "$UNPLUG" ]; then
    UnplugWhenOpened "$WORK/com" "$PREFIX/dosdevices"
  elif [ ${#EXPECT[@]} -gt 0 ]; then
    # While a capture runs the bar stands at the port's share of the way.
    local first
    first=$(Com "${EXPECT[-1]%% *}")
    WaitFor "COM$first to be opened" "$BOUND" grep -q "^sim: COM$first opened$" "$RESULT_DIR/sim.err"
    sleep 1
    Shot scanning.png
    # The bar, painted with no message loop running, shows the port's share.
    local percent drawn
    percent=$((100 * first / 256))
    drawn=$(BarDrawn "$RESULT_DIR/scanning.png") || Fail "could not read the bar from scanning.png"
    [ $((drawn - percent)) -le 8 ] && [ $((percent - drawn)) -le 8 ] ||
      Fail "the bar shows ${drawn}% while COM$first is captured, expected about ${percent}%"
    Note "wine: the bar shows ${drawn}% while COM$first is captured (${percent}%)"
  fi
  WaitFor "the result box" "$BOUND" FindBox
  sleep 0.5
  Shot result.png
  local want text
  want=$(Place "$RESULT")
  text=$(Inspect box Completed)
  [ "$text" = "$want" ] || Fail "the result box says '$text', expected '$want'"
  WaitFor "the bar to read 0 while the result box shows" 20 ProgressIs 0
  Note "wine: '$text' after $((SECONDS - started))s"

  X xdotool windowfocus --sync "$BOX" && X xdotool key Return
  WaitFor "the result box to close" 10 eval '! FindBox'
  X xdotool windowfocus --sync "$DIALOG" && X xdotool key Escape
  WaitExit "$wine_pid" 30 "the program to end after Escape"
  [ "$RC" = 0 ] || Fail "exit code $RC, expected 0"
  CheckLog
  CheckNeverOpened
}

# ---------------------------------------------------------------------------------

case $COMMAND in
  list)
    echo "$SCENARIOS" | tr ' ' '\n'
    exit 0 ;;
  prefix)
    WORK=$(mktemp -d /tmp/sentrova-e2e.XXXXXX)
    MakePrefix
    exit 0 ;;
  run)
    MODE=${2:-}
    NAME=${3:-}
    Scenario "$NAME"
    WORK=$(mktemp -d /tmp/sentrova-e2e.XXXXXX)
    RESULT_DIR=${ARTIFACTS:-$WORK/artifacts}/$MODE-$NAME
    rm -rf "$RESULT_DIR"
    mkdir -p "$RESULT_DIR"
    case $MODE in
      wine) RunWine ;;
      tty)
        [ -x "$LINUX_EXE" ] || Fail "no Linux program at '$LINUX_EXE'"
        RunTty ;;
      pipe)
        [ -x "$LINUX_EXE" ] || Fail "no Linux program at '$LINUX_EXE'"
        RunPipe ;;
      *) Fail "unknown mode '$MODE' (wine, tty or pipe)" ;;
    esac
    echo "PASS: $MODE $NAME"
    exit 0 ;;
  *)
    sed -n '2,18p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
    exit 2 ;;
esac
