// The Linux program's front end: what the user invokes. Its command line, the scan
// for scripts and its JSON object, the notes under a scan's result, and its signals.
#pragma once

#include "policy/capture_notes.h"
#include "policy/port_notes.h"
#include "policy/usb_adapters.h"

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// The exit status of a command that got no answer: an argument the program does not
// take, a --device that is no COM port, or no scan possible. 0 and 1 are the scan's.
constexpr int kNoAnswerStatus = 2;

// Blocks SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGWINCH in every thread to come and
// handles them on a thread of their own: a resize redraws, the others close the open
// ports, give the terminal back and end the process by the same signal. A fatal
// signal the program was started with ignored stays ignored.
void StartSignalWatch();

// Follows every scan the detection core runs, the dialog's and the script's alike:
// the scan holds the numbering and the watch on the ports from its start to its end,
// notes what each capture held, and leaves its result and notes behind (below); with
// toResultBox, its notes also go under the next message box, the dialog's result.
// Set once, before the first scan.
void FollowScans(bool toResultBox);

// ---- the result's notes ----------------------------------------------------
// What a scan learnt beside its result: the ports it could not open and, when it
// found nothing, what the ports that answered held and the USB serial adapters that
// have no port (with whether brltty is installed, and its udev rule).
struct ScanFindings {
  std::vector<PortNote> ports;
  std::vector<SeenPort> seen;
  std::vector<PortlessAdapter> adapters;
  bool brltty;
  std::string brlttyRule;
};
// Takes the notes the scan made; the seen ports and the adapters only when it found
// nothing (foundNothing), and the adapters only when the ports are the machine's
// (no SENTROVA_COMDIR), under the numbering's root. Inside the scan's session.
ScanFindings TakeScanFindings(bool foundNothing);

// The last scan's result, as the core gave it, with what it learnt beside it and the
// lines shown under the result.
struct ScanOutcome {
  bool found;
  int32_t port;   // 0 when none was found
  uint32_t rate;
  ScanFindings findings;
  std::vector<std::string> notes;
};
const ScanOutcome& LastScanOutcome();

// The lines the Linux build shows under a scan's result text: for a receiver found,
// which device the port is; for ports refused for lack of permission, which ones,
// their group and how to join it; for busy ports, which program holds them; then
// what the ports that answered held, and the adapters without a port.
// foundPort is the port found, 0 when none was.
std::vector<std::string> ScanResultNotes(int32_t foundPort, const ScanFindings& findings);

// The group whose members may open a refused device and that this session is not
// in: the group the result names, with the way to join it. False where joining a
// group would not help (the mode gives the group no access, the session is in it
// already) or the device is gone.
bool JoinableGroup(const std::string& device, gid_t* group);

// Where the port found is: its path in the scan's numbering, the device that is
// (links resolved) and the device's stable udev link ("" when it has none). Raw
// text from outside, to be passed through VisibleText before it is shown.
struct FoundDevice {
  std::string path;
  std::string device;
  std::string stable;
};
bool FindFoundDevice(int32_t port, FoundDevice* found);

// ---- the scan for scripts --------------------------------------------------
// `sentrova --scan`: one scan, no dialog; the log on stdout (on stderr with json),
// the result lines on stderr as without a terminal, and with json one object on
// stdout at the end. devices: the paths given with --device, none for every port.
// Returns the exit status: 0 found, 1 none found, 2 bad usage or no scan possible.
int RunScriptScan(bool json, const std::vector<std::string>& devices);
// The JSON object of a finished scan, on one line.
std::string ScanResultJson(bool found, int32_t port, uint32_t rate, const ScanFindings& findings);
