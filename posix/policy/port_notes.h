// What the Linux build notes about ports a scan could not open, for the result to
// explain: a device the user may not open, or one another program holds. The scan's
// log and its result stay as they are; these notes are the Linux build's own.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

enum PortNoteKind { kPortRefused, kPortBusy };

struct PortNote {
  int32_t port;
  PortNoteKind kind;
  std::string device;  // the device node, links resolved
  pid_t holderPid;     // busy ports: the process that holds it, or 0 when unknown
  std::string holderName;
  uint32_t gpsdRate;  // a device gpsd reads a GPS receiver on: its rate; 0 when not known
};

// Notes a port whose open failed for lack of permission, or because another program
// holds it; once per port until the notes are taken. path is the path opened; holder
// the process that holds a busy port, 0 when not known (then looked for here); rate
// the speed gpsd reads a GPS receiver at there, 0 when not known.
void NotePort(int32_t port, PortNoteKind kind, const char* path, pid_t holder, uint32_t rate);

// The notes since the last call, in the order they were made, and forgets them.
std::vector<PortNote> TakePortNotes();
