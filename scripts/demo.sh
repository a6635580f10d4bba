#!/usr/bin/env bash
# A look at Sentrova with no receiver at hand: simulated serial ports on
# pseudo-terminals, and the Linux program scanning them in this terminal.
#
#   COM1  garbage at every speed (a UART at the wrong speed)
#   COM2  a port that exists and never sends
#   COM3  a real Garmin GPSmap 76S log, replayed at 4800 bit/s
#
# Press Enter (Detect) to scan: COM1 is tried at all six rates and COM2 is left as
# dead, and after a 7 s capture the receiver on COM3 is reported. Escape or q quits.
# The bar follows the port number, so it stands near 1% at COM3; put the receiver
# higher up to watch it travel, e.g. SENTROVA_DEMO_PORT=200 (78%).
#
#   scripts/demo.sh [BUILD_DIR]     (default: build; built first when needed)
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

BUILD=${1:-$SENTROVA_ROOT/build}
RECEIVER_PORT=${SENTROVA_DEMO_PORT:-3}
case $RECEIVER_PORT in
  [3-9] | [1-9][0-9] | 1[0-9][0-9] | 2[0-4][0-9] | 25[0-5]) ;;
  *) echo "SENTROVA_DEMO_PORT must be a port from 3 to 255" >&2; exit 2 ;;
esac
if [ ! -x "$BUILD/sentrova" ] || [ ! -x "$BUILD/tests/sim/sentrova-sim" ]; then
  echo "Building the program and the simulator in $BUILD ..."
  cmake -S "$SENTROVA_ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$BUILD" -j "$(jobs)" --target sentrova sentrova-sim
fi

PORTS=$(mktemp -d /tmp/sentrova-demo.XXXXXX)
SIM_PID=""
cleanup() {
  if [ -n "$SIM_PID" ]; then
    kill "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
  fi
  rm -rf "$PORTS"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

"$BUILD/tests/sim/sentrova-sim" --dir "$PORTS/com" \
  --port 1:garbage \
  --port 2:silent \
  --port "$RECEIVER_PORT:nmea:4800:$SENTROVA_ROOT/tests/data/nmea/GPSmap-76S.nmea" \
  > "$PORTS/sim.out" 2> "$PORTS/sim.err" &
SIM_PID=$!
for _ in $(seq 100); do
  grep -qx ready "$PORTS/sim.out" 2>/dev/null && break
  kill -0 "$SIM_PID" 2>/dev/null || { cat "$PORTS/sim.err" >&2; exit 1; }
  sleep 0.1
done
grep -qx ready "$PORTS/sim.out" || { echo "the simulator did not start" >&2; exit 1; }

if [ -t 0 ] && [ -t 2 ]; then
  echo "Simulated ports in $PORTS/com. Press Enter to detect, Escape to quit."
  SENTROVA_COMDIR=$PORTS/com "$BUILD/sentrova"
else
  # No terminal: one scan, the result on stderr.
  echo | SENTROVA_COMDIR=$PORTS/com "$BUILD/sentrova"
fi
