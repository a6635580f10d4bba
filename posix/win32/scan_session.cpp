// One scan's hold on the ports.
#include "win32/scan_session.h"

#include "win32/com_names.h"
#include "win32/port_notes.h"

void BeginScanSession() {
  // Notes on ports are made by the scan that follows, for its result.
  TakePortNotes();
  // COM numbers stay with their devices for the whole scan and its result, as on
  // Windows; the next scan numbers what is there then.
  HoldPortNumbering("");
}

void EndScanSession() { ReleasePortNumbering(); }
