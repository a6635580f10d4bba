// USB serial adapters that have no port: a device a serial driver would drive, by
// the kernel's own tables, with no tty under it. On Debian and Ubuntu desktops brltty
// claims CH340 and CP210x adapters for braille displays, and their /dev/ttyUSB node
// never appears; the scan then has nothing to try.
#pragma once

#include <string>
#include <vector>

struct PortlessAdapter {
  std::string usbId;         // idVendor:idProduct, "1a86:7523"
  std::string product;       // the device's product string, "" when it names none
  std::string serialDriver;  // the driver that would make its port: "ch341"
  std::string heldBy;        // the driver its interface is bound to ("usbfs": a
                             // program claimed it), "" for none
};

// The USB devices under root/sys/bus/usb/devices (root "" for this machine) one of
// whose interfaces ch341, cp210x, ftdi_sio, pl2303 or cdc_acm would drive, by the
// aliases of modulesDir/modules.alias and modules.builtin.alias (nullptr: root's
// /lib/modules of the running kernel), and none of whose interfaces has a tty. In
// the order of their sysfs names. Raw text from outside.
std::vector<PortlessAdapter> FindPortlessAdapters(const char* root, const char* modulesDir);

// Whether brltty is installed under root, and the file name of its udev rule, which
// starts it for the devices it claims ("85-brltty.rules", as Ubuntu ships it), when
// there is one that /etc/udev/rules.d does not already override. Debian's package
// has no rule: its service claims them.
bool FindBrltty(const char* root, std::string* rule);
