// Notes on ports a scan could not open.
#include "policy/port_notes.h"

#include "policy/port_holders.h"

#include <climits>
#include <cstdlib>
#include <mutex>

namespace {

std::mutex gNotesMutex;
std::vector<PortNote> gNotes;

}  // namespace

void NotePort(int32_t port, PortNoteKind kind, const char* path, pid_t holder, uint32_t rate) {
  {
    std::lock_guard<std::mutex> lock(gNotesMutex);
    for (const PortNote& note : gNotes) {
      if (note.port == port) return;
    }
  }
  PortNote note = {port, kind, path, holder, "", rate};
  char resolved[PATH_MAX];
  if (realpath(path, resolved) != nullptr) note.device = resolved;
  // Asked now, while the holder still has it: the result shows only after the scan.
  if (kind == kPortBusy && holder == 0) FindDeviceHolder(note.device.c_str(), &note.holderPid, &note.gpsdRate);
  if (note.holderPid != 0) note.holderName = ProcessName(note.holderPid);
  std::lock_guard<std::mutex> lock(gNotesMutex);
  gNotes.push_back(note);
}

std::vector<PortNote> TakePortNotes() {
  std::lock_guard<std::mutex> lock(gNotesMutex);
  std::vector<PortNote> notes;
  notes.swap(gNotes);
  return notes;
}
