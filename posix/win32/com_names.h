// COM port names to Linux device paths.
#pragma once

#include <windows.h>

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// "COM3", "COM3:" (ports 1 to 9) and "\\.\COM12" (any port), in any case, give the
// port number; anything else is not a COM name.
bool ParseComName(LPCWSTR name, int32_t* number);

// The numbering of root's devices (root is "" for this machine). First Wine's: the
// device nodes root/dev/ttyS0, root/dev/ttyS1, ... then root/dev/ttyUSB0, ... then
// root/dev/ttyACM0, ..., each series while its nodes exist, become COM1, COM2, ... in
// that order. A node counts whether or not a device sits behind it, as Wine counts
// it: an 8250 slot without a UART opens, and then refuses its settings (EIO); it does
// not end the series. Then the boards' UARTs that root/sys/class/tty lists with a
// device behind them (ttyAMA, ttySC, ttymxc, ttyLP, ttyO, ttySAC, ttyMSM, ttyTHS,
// ttyAML, ttyPS, ttySTM, ttyMV, in that order), then root/dev/rfcomm*: every node of
// each series in number order, a device numbered already under another name skipped.
bool PortDevice(const char* root, int32_t number, char* path, size_t pathSize);

// Takes the numbering of the devices under root as they are now and holds it
// until ReleasePortNumbering, as Windows keeps a number with its device: a device
// that leaves keeps its number, unopenable, and one that arrives gets none. A scan
// holds one from its start to its end. Called on the dialog's thread only.
void HoldPortNumbering(const char* root);
void ReleasePortNumbering();
bool PortNumberingHeld();

// The root of the devices the ports are: the numbering held's, "" (this machine)
// when none is held. False when $SENTROVA_COMDIR names the ports: they are then the
// folder's, whatever the machine has.
bool MachinePortsRoot(std::string* root);

// The device path of port n: $SENTROVA_COMDIR/comN when that variable names a
// folder, else the numbering held, else the numbering of the devices present now.
bool ComDevicePath(int32_t number, char* path, size_t pathSize);

// As ComDevicePath, and through `device` what stat says of the device now (st_mode
// 0 when stat fails: the open then says why). False when there is no port n, and
// when the numbering held gave n to a device that has since left or given its node
// to another: port n is then absent.
bool ComDevice(int32_t number, char* path, size_t pathSize, struct stat* device);

// The device nodes of ports 1 to 256 as they are now (a SENTROVA_COMDIR link's
// target, or the numbering held's node), for the look at their other users.
std::vector<std::string> NumberedDevices();

// The device's stable name: /dev/serial0 or /dev/serial1 when that link is the device
// (a Raspberry Pi's UARTs), else as udev links it: the first link (by name) in
// /dev/serial/by-id to the device, else in /dev/serial/by-path; under the root of
// the numbering held. False when there is none.
bool StableDevicePath(const char* device, std::string* link);
