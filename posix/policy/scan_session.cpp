// One scan's hold on the ports.
#include "win32/scan_session.h"

#include "win32/com_names.h"
#include "win32/port_holders.h"
#include "win32/port_notes.h"

void BeginScanSession() {
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
  EndHolderWatch();
  ReleasePortNumbering();
}
