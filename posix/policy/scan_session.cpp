// One scan's hold on the ports.
#include "policy/scan_session.h"

#include "policy/port_numbering.h"
#include "policy/port_watch.h"
#include "policy/port_notes.h"

namespace {

int gDepth = 0;  // sessions begun and not yet ended; only the outermost holds

}  // namespace

void BeginScanSession() {
  if (gDepth++ > 0) return;
  // Notes on ports are made by the scan that follows, for its result.
  TakePortNotes();
  // COM numbers stay with their devices for the whole scan and its result, as on
  // Windows; the next scan numbers what is there then.
  HoldPortNumbering("");
  // The ports' other users, looked for once for all the numbered devices (gpsd
  // asked once), then watched: each open pays only for what changed since.
  BeginHolderWatch(NumberedDevices());
}

void EndScanSession() {
  if (gDepth == 0 || --gDepth > 0) return;
  EndHolderWatch();
  ReleasePortNumbering();
}
