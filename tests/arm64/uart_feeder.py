#!/usr/bin/env python3
"""Feeds a receiver's log into a QEMU board's PL011 UART, as a receiver at one rate
would, following the rate the guest sets.

QEMU's PL011 passes no line speed to its host side, but it traces the divisor the
guest writes (pl011_baudrate_change, in QEMU's log file). At the receiver's rate the
log's bytes go out paced as on the wire; at any other rate garbage does, the bytes
a UART makes of a stream at the wrong speed (never a '$'); before the guest sets a
rate, nothing. Bytes the guest does not take (its port closed) are dropped, as on a
real line.

Usage: uart_feeder.py SOCKET TRACE LOG RATE SECONDS
  SOCKET   QEMU's chardev socket of the UART (server=on); TRACE its -D log file;
  LOG      the receiver's log; RATE its rate; SECONDS the most it runs.
"""
import errno, os, random, re, socket, sys, time

# The UART clock the virt board's device tree gives the PL011.
UART_CLOCK = 24000000
RATES = (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400)


def Rate(ibrd, fbrd):
    if ibrd == 0:
        return None
    measured = UART_CLOCK * 4 / (64 * ibrd + fbrd)
    return min(RATES, key=lambda r: abs(r - measured))


def main():
    path, trace_path, log_path, rate_arg, seconds = sys.argv[1:6]
    good, end = int(rate_arg), time.monotonic() + float(seconds)
    data = open(log_path, "rb").read()
    while not os.path.exists(path):
        if time.monotonic() > end:
            sys.exit("uart_feeder: no socket " + path)
        time.sleep(0.05)
    uart = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    uart.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)
    uart.connect(path)
    uart.setblocking(False)
    trace, rate, at, last = b"", None, 0, time.monotonic()
    pattern = re.compile(rb"pl011_baudrate_change .*ibrd: (\d+), fbrd: (\d+)")
    rng = random.Random(1)
    with open(trace_path, "ab+") as log:
        log.seek(0)
        while time.monotonic() < end:
            time.sleep(0.01)
            # What the guest sends (a console's echo) is read and dropped: unread, it
            # would fill the socket and stall QEMU, whose UART writes block.
            try:
                while uart.recv(65536):
                    pass
            except OSError:
                pass
            trace += log.read()
            *lines, trace = trace.split(b"\n")
            for line in lines:
                found = pattern.search(line)
                if found:
                    new = Rate(int(found.group(1)), int(found.group(2)))
                    if new != rate:
                        print("uart_feeder: the guest set %s bit/s" % new, flush=True)
                    rate = new
            # Ten bits a byte on the wire (start, eight data bits, stop).
            now = time.monotonic()
            count = int((now - last) * (rate or 0) / 10)
            if count == 0:
                if not rate:
                    last = now
                continue
            last = now
            if rate == good:
                chunk = (data[at:] + data)[:count]
                at = (at + count) % len(data)
            else:
                chunk = bytes(rng.randrange(0x80, 0x100) for _ in range(count))
            try:
                uart.send(chunk)
            except OSError as error:
                if error.errno in (errno.EAGAIN, errno.EWOULDBLOCK):
                    continue  # the guest takes nothing: the bytes are lost
                return  # QEMU has gone
    sys.exit("uart_feeder: stopped after %s s" % seconds)


main()
