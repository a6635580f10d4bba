// gpsd, the GPS daemon many Linux systems run as a service, usually runs as another
// user than the scan's, whose descriptors are hidden from /proc; it takes no lock,
// and sets TIOCEXCL only on a real serial device (a pseudo-terminal it leaves
// without). A scan run as root is kept out by neither, and the result names gpsd and
// the speed it reads at. So the scan asks it, over its own protocol, which devices it
// has open.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// A device a gpsd process knows, as it reports it.
struct GpsdDevice {
  dev_t device;   // st_rdev of its path: the same device under any name
  pid_t gpsdPid;  // the gpsd process that reported it
  bool active;    // gpsd has it open
  uint32_t gpsdRate;  // its speed when gpsd has seen GPS data on it, else 0
};

// The TCP port a gpsd process listens on: its -S (or --port) argument, else 2947;
// and through `devices` the device paths on its command line.
uint16_t GpsdArguments(pid_t pid, std::vector<std::string>* devices);

// Asks each gpsd process (which runs already: a connection to a socket-activated
// gpsd that does not would start it) for its devices, in at most kGpsdQuestionMs in
// all, whatever it answers. Only a gpsd that may speak for the machine is believed:
// the socket listening on its port is root's, the system's gpsd user's or this
// user's; any other adds nothing. A gpsd that accepts the connection
// but does not answer in time has the devices on its command line active; one that
// refuses it (not listening yet, or not on the loopback) adds nothing.
constexpr int kGpsdQuestionMs = 250;
void AskGpsd(const std::vector<pid_t>& processes, std::vector<GpsdDevice>* devices);
