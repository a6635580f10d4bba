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

// One scan's look: every device given is looked at in one walk over /proc (and gpsd
// asked once), then watched with inotify until EndHolderWatch, which forgets it all.
void BeginHolderWatch(const std::vector<std::string>& paths);
void EndHolderWatch();

// This process's own opens and closes of a device, so that the watch tells them
// from others'. Called right after the open or close.
void NoteOwnOpen(const struct stat& file);
void NoteOwnClose(const struct stat& file);

// Right after this process opened the device: whether another process opened it
// between the look before the open and now, and holds it.
bool DeviceTakenMeanwhile(const struct stat& file, pid_t* holder, uint32_t* rate);

// The process's name (/proc/PID/comm) as it set it; "" when it cannot be read.
std::string ProcessName(pid_t pid);
