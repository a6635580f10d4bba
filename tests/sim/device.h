// One simulated device on the master side of a pseudo-terminal.
#pragma once

#include "burst.h"
#include "sim.h"

#include <cstdint>
#include <string>
#include <vector>

struct SimDevice {
  DeviceBehaviour behaviour;
  int master = -1;
  int slave = -1;  // our own slave descriptor: keeps the pty alive, flushes its queue
  std::string slavePath;
  std::vector<std::string> links;
  int watch = -1;  // inotify watch on the slave's node
  int32_t openers = 0;
  bool session = false;  // some program has the slave open
  bool stalled = false;  // it stopped reading: nothing more until the next open
  int64_t sendFromNs = 0;
  int64_t lastTickNs = 0;
  int64_t lastProgressNs = 0;
  double credit = 0;  // bytes due but not yet sent
  uint64_t sentThisOpen = 0;
  int32_t lastQueued = 0;
  uint64_t writtenSinceCheck = 0;
  size_t textPosition = 0;
  uint64_t garbageState = 0;
  uint32_t lastRate = 0;
  BurstSchedule bursts;         // when its fixes go out; no cycle: it streams
  int64_t anchorNs = -1;        // burst 0's start, phaseMs after the first open
  int64_t burstIndex = -1;      // the burst this open sends
  LineOutput burstOutput = LineOutput::kNothing;
  uint64_t burstSent = 0;       // its bytes sent, or lost, so far
  int64_t unplugAtNs = -1;   // when the device is pulled out, once it sent its bytes
  bool vanished = false;     // unplugged: no pty, no links, until replugAtNs
  int64_t replugAtNs = -1;   // set once the program has let go of the vanished pty
};

// Monotonic clock in nanoseconds.
int64_t NowNs();

// Creates the pty, puts its slave in a neutral state and links DIR/comN to it for
// every folder. The inotify watch is added afterwards, so our own slave descriptor
// never counts as an opener.
bool SetUpDevice(SimDevice* device, const std::vector<std::string>& folders, std::string* error);
bool WatchDevice(SimDevice* device, int inotifyFd, std::string* error);

// Removes the links that still point at our slave and closes the pty.
void TearDownDevice(SimDevice* device);

// Opens and closes of the slave by any process, as inotify reports them.
void DeviceOpened(SimDevice* device, int64_t now, bool verbose);
void DeviceClosed(SimDevice* device, int64_t now, bool verbose);

// Sends what is due, watches for a reader that stopped. Returns the time of the
// next tick, or -1 when nothing is due until the next open.
int64_t TickDevice(SimDevice* device, int64_t now, bool verbose);

// Pulls the device out, as a USB receiver is unplugged: the pty is hung up under
// whoever has it open (their reads and waits fail) and the links go away, so the port
// no longer exists. The watch stays on the dead pty until its last holder closes it.
void UnplugDevice(SimDevice* device, bool verbose);

// The last holder of a vanished device's pty has closed it (inotify IN_IGNORED): it is
// plugged back in, on a fresh pty, kReplugDelayNs later.
void DeviceReleased(SimDevice* device, int64_t now, bool verbose);

// Plugs a vanished device back in once its time has come; returns false on failure.
bool ReplugDevice(SimDevice* device, const std::vector<std::string>& folders, int inotifyFd,
                  bool verbose, std::string* error);

// Reads and drops whatever the program wrote to the port.
void DrainMaster(SimDevice* device);

// The bits per second that a termios speed stands for; 0 for B0 or unknown.
uint32_t SpeedToRate(unsigned int speed);
