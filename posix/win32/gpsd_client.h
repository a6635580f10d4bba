// gpsd, the GPS daemon many Linux systems run as a service, opens its receiver's
// port with neither a lock nor TIOCEXCL, and as another user than the scan's its
// descriptors are hidden from /proc. So the scan asks it, over its own protocol,
// which devices it has open.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// A device a gpsd process knows, as it reports it.
struct GpsdDevice {
  dev_t device;   // st_rdev of its path: the same device under any name
  pid_t gpsd;     // the gpsd process that reported it
  bool active;    // gpsd has it open
  uint32_t rate;  // its speed when gpsd has seen GPS data on it, else 0
};

// True when /proc/PID/comm names gpsd (every user may read it).
bool IsGpsdProcess(const char* procFolder);

// The TCP port a gpsd process listens on: its -S (or --port) argument, else 2947.
uint16_t GpsdPort(pid_t pid);

// Asks each gpsd process (which runs already: a connection to a socket-activated
// gpsd that does not would start it) for its devices, in at most kGpsdQuestionMs in
// all; a gpsd that does not answer in time adds nothing.
constexpr int kGpsdQuestionMs = 250;
void AskGpsd(const std::vector<pid_t>& processes, std::vector<GpsdDevice>* devices);
