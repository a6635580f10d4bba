// The watch a scan keeps on its devices from its start to its end: the look at who
// else uses them made once, then inotify's report of every open and close since.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// One scan's look: every device given is looked at in one walk over /proc (and gpsd
// asked once), then watched with inotify until EndHolderWatch, which forgets it all.
void BeginHolderWatch(const std::vector<std::string>& paths);
void EndHolderWatch();

// Whether the watch holds the device (*watched, unless null) and, if so, whether
// another process holds it: answered from the watch's look, looked at again only when
// another process opened or closed it since. Right after this process opened the
// device, that tells whether another opened it between the look before the open and
// now, and holds it.
bool WatchedDeviceHeld(const struct stat& file, bool* watched, pid_t* holder, uint32_t* rate);

// This process's own opens and closes of a device, so that the watch tells them
// from others'. Called right after the open or close.
void NoteOwnOpen(const struct stat& file);
void NoteOwnClose(const struct stat& file);
