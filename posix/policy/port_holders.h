// Who else uses a serial device. Windows gives a COM port one opener; here any
// process may open a tty, so before a port is taken the stand-in looks for another
// user of it and leaves a port in use untouched, as Windows refuses its open.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// True when a process other than this one uses the device (`file` is its stat): a
// UUCP lock file names it with a living pid, or a process holds a flock, POSIX or
// open file description lock on it, or has it open (among the processes this user
// may look into: all of them for root), or a running gpsd says it has it active. A
// pseudo-terminal's far end, the process with its master open, is the device
// itself, not a user of it. *holder is the process, or 0 when none can be named;
// *rate the speed gpsd reads a GPS receiver at there, or 0.
// Inside a holder watch a device it numbers is answered from the watch's look, and
// looked at again only when another process opened or closed it since.
bool DeviceInUse(const char* device, const struct stat& file, pid_t* holder, uint32_t* rate);

// The process that holds the device, for a port that refused its open (EBUSY): one
// with a lock on it, else one that has it open. Never this process.
bool FindDeviceHolder(const char* device, pid_t* pid, uint32_t* rate);

// The look into /proc, which the watch of a scan makes once for all its devices.
// A descriptor of another process that has a device open.
struct OpenerFd {
  pid_t pid;
  long fd;
};

// A device looked for in /proc, and what the look found of it.
struct LookTarget {
  struct stat file;
  long ptyIndex;   // a pty slave's index, -1 for any other device
  pid_t opener;    // a process other than this one that has it open
  pid_t locker;    // one of those whose descriptor holds a lock on it
  pid_t gpsdPid;   // a gpsd that has it active, by its own word
  uint32_t gpsdRate;  // the speed that gpsd reads a GPS receiver at, 0 when not known
  bool farEnd;     // a process with the pty's master has the slave open too
  std::vector<OpenerFd> openers;  // every descriptor of the openers (far ends aside)
};


// A target for the device whose stat is `file`, nothing found of it yet.
LookTarget MakeTarget(const struct stat& file);
// One walk over /proc for all the targets at once, gpsd asked once.
void LookAt(std::vector<LookTarget>* targets);
// The holder the look found (gpsd's word first, then a lock, then an opener) and the
// rate gpsd reads there; false when it found none.
bool TargetHeld(const LookTarget& target, pid_t* holder, uint32_t* rate);

// The process's name (/proc/PID/comm) as it set it; "" when it cannot be read.
std::string ProcessName(pid_t pid);
