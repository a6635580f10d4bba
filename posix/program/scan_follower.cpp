// How the Linux program follows the scans of the detection core, whoever starts them:
// the Detect command in the dialog, or the scan for scripts.
#include "program/program.h"

#include "detect/scan_observer.h"
#include "policy/scan_session.h"
#include "terminal/terminal.h"

namespace {

// Set on the scanning thread as a scan ends, read there after it.
ScanOutcome gLast = {false, 0, 0, {}, {}};
bool gToResultBox = false;

// The numbering and the watch on the ports belong to the scan from its start; the
// notes of earlier scans are forgotten.
void ScanBegan() {
  BeginScanSession();
  BeginCaptureNotes();
}

void CaptureTaken(const CaptureReport* report) {
  NoteCapture(report->port, report->rate, report->data, report->count);
}

// The notes and the found port's device are read while the scan's numbering is still
// held; then the numbering goes, and the notes wait for the result box if one comes.
void ScanEnded(bool found, int32_t port, uint32_t rate) {
  gLast.found = found;
  gLast.port = port;
  gLast.rate = rate;
  gLast.findings = TakeScanFindings(!found);
  gLast.notes = ScanResultNotes(port, gLast.findings);
  EndScanSession();
  if (gToResultBox) AppendToNextMessageBox(gLast.notes);
}

const ScanObserver kFollower = {ScanBegan, CaptureTaken, ScanEnded};

}  // namespace

void FollowScans(bool toResultBox) {
  gToResultBox = toResultBox;
  SetScanObserver(&kFollower);
}

const ScanOutcome& LastScanOutcome() { return gLast; }
