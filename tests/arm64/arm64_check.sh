#!/usr/bin/env bash
# The arm64 program checked as a Raspberry Pi user would run it, on this amd64 machine.
#
#   arm64_check.sh user BUILD SIM
#     Under QEMU's user mode (qemu-aarch64-static; the arm64 loader and libraries
#     come from multiarch): the unit tests of BUILD (built here), a cross build
#     configured with cmake/aarch64-linux-gnu.cmake, and one scan of BUILD/sentrova against SIM (the
#     native receiver simulator) on pseudo-terminals: a real log at 4800 on COM3.
#
#   arm64_check.sh system PROGRAM
#     On Debian's arm64 kernel in qemu-system-aarch64 -M virt: a u-blox HAT's log at
#     9600 fed on the board's PL011 (/dev/ttyAMA0) from the host. While a console
#     session holds the UART the program leaves it alone; then it reports "GPS device
#     found at COM5: / 9600 bauds" and "COM5 is /dev/ttyAMA0 (/dev/serial0)", the
#     link a Raspberry Pi makes. The kernel package is
#     fetched once (apt-get download) into $SENTROVA_CACHE (default
#     ~/.cache/sentrova), never installed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
mode=${1:-}
work=$(mktemp -d /tmp/sentrova-arm64.XXXXXX)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT

# The unit tests that run under user mode: the core's logic and its scans over the
# fake port layer, the stand-in over real pseudo-terminals, the shell and the
# terminal's units; the thousand-scan repeat and the tests that drive a terminal or
# other programs run natively only (each takes minutes under emulation).
kUserTests='^(unit_(sentence|logic|probe|scan)(_windows_model)?|posix_(com_names|serial|threads)|shell_test|terminal_unit)$'
kUserTargets=(sentrova_sentence_test sentrova_logic_test sentrova_probe_test sentrova_scan_test
              posix_com_names_test posix_serial_test posix_threads_test shell_test terminal_unit_test)

UserMode() {
  local build=$1 sim=$2
  cmake --build "$build" -j 2 --target sentrova "${kUserTargets[@]}" >"$work/build.log" 2>&1 ||
    { tail -n 30 "$work/build.log"; echo "FAIL: the arm64 tests do not build"; return 1; }
  ctest --test-dir "$build" --output-on-failure -j 2 --timeout 120 -R "$kUserTests" || return 1
  mkdir -p "$work/com"
  "$sim" --dir "$work/com" --port "3:nmea:4800:$root/tests/data/nmea/GPSmap-76S.nmea" \
    >"$work/sim.out" 2>"$work/sim.err" &
  pids+=($!)
  for _ in $(seq 100); do
    grep -qx ready "$work/sim.out" 2>/dev/null && break
    sleep 0.2
  done
  grep -qx ready "$work/sim.out" || { echo "FAIL: the simulator did not start: $(cat "$work/sim.err")"; return 1; }
  echo | SENTROVA_COMDIR="$work/com" timeout 120 qemu-aarch64-static "$build/sentrova" \
    >"$work/scan.log" 2>"$work/result.txt"
  local status=$? want="Completed: GPS device found at COM3: / 4800 bauds"
  if [ "$status" -eq 0 ] && grep -qxF "$want" "$work/result.txt"; then
    echo "arm64 under qemu-user: '$want'"
  else
    echo "FAIL: the arm64 program under qemu-user exited $status: $(cat "$work/result.txt"); log: $(tail -n 3 "$work/scan.log")"
    return 1
  fi
}

# Kernel: the image Debian's linux-image-arm64 points at, unpacked in the cache.
FetchKernel() {
  local cache=${SENTROVA_CACHE:-$HOME/.cache/sentrova}/arm64 image
  image=$(apt-cache depends linux-image-arm64:arm64 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[0-9][^:]*-arm64\).*/\1/p' | head -n 1)
  [ -n "$image" ] || { echo "FAIL: no linux-image-arm64 in the arm64 package lists" >&2; return 1; }
  if [ ! -f "$cache/$image/boot/vmlinuz-${image#linux-image-}" ]; then
    mkdir -p "$cache" && rm -rf "${cache:?}/$image" "$cache"/*.deb
    (cd "$cache" && apt-get download -q "$image:arm64" >/dev/null 2>&1 && apt-get download -q busybox-static:arm64 >/dev/null 2>&1) ||
      { echo "FAIL: apt-get download $image:arm64 busybox-static:arm64" >&2; return 1; }
    dpkg-deb -x "$cache/$image"_*_arm64.deb "$cache/$image"
    dpkg-deb -x "$cache"/busybox-static_*_arm64.deb "$cache/$image/busybox"
  fi
  echo "$cache/$image"
}

# Copies PROGRAM's shared libraries, and theirs, from the arm64 multiarch folders.
CopyLibraries() {
  local file=$1 into=$2 name found dir
  for name in $(aarch64-linux-gnu-readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    [ -e "$into/lib/aarch64-linux-gnu/$name" ] && continue
    found=""
    for dir in /lib/aarch64-linux-gnu /usr/lib/aarch64-linux-gnu; do
      [ -e "$dir/$name" ] && { found=$dir/$name; break; }
    done
    [ -n "$found" ] || { echo "FAIL: no arm64 $name" >&2; return 1; }
    cp -L "$found" "$into/lib/aarch64-linux-gnu/$name"
    CopyLibraries "$found" "$into" || return 1
  done
}

SystemMode() {
  local program=$1 kernel initrd=$work/initrd
  kernel=$(FetchKernel) || return 1
  mkdir -p "$initrd"/{bin,dev,proc,sys,modules,lib/aarch64-linux-gnu}
  cp "$kernel/busybox/bin/busybox" "$initrd/bin/busybox"
  cp "$here/guest_init.sh" "$initrd/init"
  cp "$program" "$initrd/sentrova"
  cp -L /lib/ld-linux-aarch64.so.1 "$initrd/lib/"
  CopyLibraries "$program" "$initrd" || return 1
  find "$kernel/lib/modules" \( -name virtio_mmio.ko -o -name virtio_console.ko \) -exec cp {} "$initrd/modules/" \;
  (cd "$initrd" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1 >"$work/initrd.gz")

  # A guest boots and scans twice in some 15 s; QEMU stuck or a guest that never
  # powers off ends at the bound (SIGKILL if SIGTERM is not heeded).
  # The UART's host side is a socket the feeder writes the receiver into; the guest's
  # console and its report go to a file through the virtio console.
  timeout -k 10 180 qemu-system-aarch64 -M virt -cpu cortex-a57 -m 512 -display none -monitor none -nic none \
    -no-reboot -kernel "$kernel"/boot/vmlinuz-* -initrd "$work/initrd.gz" \
    -append "console=hvc0 quiet panic=-1" \
    -chardev "socket,id=uart,path=$work/uart.sock,server=on,wait=off" -serial chardev:uart \
    -device virtio-serial-device -chardev "file,id=hvc,path=$work/guest.txt" \
    -device virtconsole,chardev=hvc -trace pl011_baudrate_change -D "$work/trace.log" \
    >"$work/qemu.out" 2>&1 &
  local qemu=$!
  pids+=("$qemu")
  python3 "$here/uart_feeder.py" "$work/uart.sock" "$work/trace.log" \
    "$root/tests/data/nmea/ublox-8.nmea" 9600 200 >"$work/feeder.txt" 2>&1 &
  pids+=($!)
  wait "$qemu"
  local status=$?
  tr -d "\r" <"$work/guest.txt" >"$work/report.txt"
  sed "s/^/  /" "$work/report.txt" "$work/feeder.txt"
  [ "$status" -eq 0 ] || { echo "FAIL: qemu-system-aarch64 exited $status: $(tail -n 5 "$work/qemu.out")"; return 1; }
  local failed=0 want
  for want in "guest: done" "result1: Completed: No GPS devices found" \
              "result2: Completed: GPS device found at COM5: / 9600 bauds" \
              "result2: COM5 is /dev/ttyAMA0 (/dev/serial0)"; do
    grep -qxF "$want" "$work/report.txt" || { echo "FAIL: the guest did not report '$want'"; failed=1; }
  done
  grep -q "^result1: Busy: /dev/ttyAMA0 (sleep, pid [0-9]*)\.$" "$work/report.txt" ||
    { echo "FAIL: the console session's port was not reported busy"; failed=1; }
  grep -q "^guest: console session [0-9]*, its terminal [1-9]" "$work/report.txt" ||
    { echo "FAIL: the console session has no controlling terminal"; failed=1; }
  # The report is long; the last lines say how far the guest came and how it ended.
  [ "$failed" -eq 0 ] || echo "FAIL: the guest's last step: '$(grep -E '^guest: ' "$work/report.txt" | tail -n 1)'," \
    "its end: '$(grep -m 1 -E 'Kernel panic|sysrq: Power Off' "$work/report.txt")'"
  [ "$failed" -eq 0 ] && echo "arm64 on qemu-system: found at COM5, /dev/ttyAMA0, 9600 bauds"
  return "$failed"
}

case $mode in
  user) [ $# -eq 3 ] && UserMode "$2" "$3" ;;
  system) [ $# -eq 2 ] && SystemMode "$2" ;;
  *) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac
