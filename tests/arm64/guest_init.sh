#!/bin/busybox sh
# shellcheck shell=dash
# /init of the arm64 guest: a board with a GPS HAT on its PL011 (/dev/ttyAMA0) and the
# kernel's four chipless 8250 slots (ttyS0-ttyS3). Writes what it finds to the virtio
# console (hvc0) and powers off. First the UART carries a debug console with a login
# (a session at 115200 whose controlling terminal it is): the scan must leave it
# alone. Then, the console gone, the scan must find the receiver.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
insmod /modules/virtio_mmio.ko
insmod /modules/virtio_console.ko
# The node appears when the hvc driver registers, a moment before the port behind it
# does; an open in between fails, and a failed redirection on exec ends this shell,
# and with it the guest. So wait for an open that succeeds.
for _ in $(seq 50); do (: >/dev/hvc0) 2>/dev/null && break; sleep 0.1; done
exec >/dev/hvc0 2>&1
echo "guest: $(uname -m) $(uname -r)"
echo "guest: ttyAMA0 is $(readlink /sys/class/tty/ttyAMA0/device)"
# The link Raspberry Pi OS's udev rules make for the GPIO UART.
ln -s ttyAMA0 /dev/serial0

setsid sh -c 'exec 0<>/dev/ttyAMA0; stty 115200; exec sleep 600' &
holder=$!
sleep 1
echo "guest: console session $holder, its terminal $(cut -d' ' -f7 /proc/$holder/stat)"
echo | /sentrova >/scan1.log 2>/result1.txt
echo "guest: first scan, exit $?"
sed 's/^/result1: /' /result1.txt
kill $holder
wait $holder 2>/dev/null

echo | /sentrova >/scan2.log 2>/result2.txt
echo "guest: second scan, exit $?"
sed 's/^/log2: /' /scan2.log
sed 's/^/result2: /' /result2.txt
echo "guest: done"
# Power off at once: the guest has nothing to keep.
echo o >/proc/sysrq-trigger
