// Who else uses a serial device. Windows gives a COM port one opener; here any
// process may open a tty, so before a port is taken the stand-in looks for another
// user of it and leaves a port in use untouched, as Windows refuses its open.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

// True when a process other than this one uses the device (`file` is its stat): a
// UUCP lock file names it with a living pid, or a process holds a flock, POSIX or
// open file description lock on it, or has it open (among the processes this user
// may look into: all of them for root). A pseudo-terminal's far end, the process
// with its master open, is the device itself, not a user of it. *holder is the
// process, or 0 when none can be named.
bool DeviceInUse(const char* device, const struct stat& file, pid_t* holder);

// The process that holds the device, for a port that refused its open (EBUSY): one
// with a lock on it, else one that has it open. Never this process.
bool FindDeviceHolder(const char* device, pid_t* pid);

// The process's name (/proc/PID/comm) as it set it; "" when it cannot be read.
std::string ProcessName(pid_t pid);
