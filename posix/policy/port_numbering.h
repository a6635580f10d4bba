// The numbering of the machine's serial devices as COM ports (COMn is a device
// path), held for a scan. No Win32 names: the stand-in's CreateFileW asks it.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// How a series of device nodes is numbered. Wine's: root/dev/<stem>0, <stem>1, ...
// while its nodes exist, whether or not a device sits behind a node, as Wine counts
// it (an 8250 slot without a UART opens, then refuses its settings). A board's UART:
// every node root/sys/class/tty lists with a device behind it, in number order, gaps
// and all. A link made on demand (rfcomm): every node in root/dev, in number order.
enum PortSeriesKind { kWineSeries, kBoardSeries, kLinkSeries };
struct PortSeries {
  const char* stem;  // "ttyUSB"
  PortSeriesKind kind;
};
// Every series the ports are numbered from, in their order: COM1, COM2, ... go to
// the nodes of the first series, then of the next.
extern const PortSeries kPortSeries[];
extern const size_t kPortSeriesCount;
// The stems in their order, as the help shows them: "ttyS, ttyUSB, ttyACM, then
// ttyAMA, ..., then rfcomm".
std::string PortSeriesText();

// The numbering of root's devices (root is "" for this machine), series by series in
// the order of kPortSeries; a device numbered already under another name is skipped.
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
