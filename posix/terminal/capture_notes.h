// What the ports that answered a scan held, for the result of a scan that found no
// GPS receiver: NMEA of other talkers or of instruments, a receiver in a binary
// protocol (u-blox UBX, SiRF binary), or data with nothing recognisable in it. The
// detection core hands each capture over through its observer; only complete frames
// with valid checksums count, as a capture may start and end mid-frame.
#pragma once

#include "detect/scan_observer.h"

#include <cstdint>
#include <string>
#include <vector>

// The complete, valid frames of one capture.
struct CaptureContents {
  int32_t nmea;  // sentences, proprietary ($P...) ones left out
  int32_t ubx;
  int32_t sirf;
  std::vector<std::string> talkers;    // "GN", "AI": sorted, each once
  std::vector<std::string> sentences;  // "$GNRMC", "!AIVDM": sorted, each once
};

enum SeenKind {
  kSeenNothingKnown,   // data, but fewer than two frames of anything
  kSeenGpUnrecognised, // GP sentences, though not one the scan takes first
  kSeenOtherTalkers,   // a position source of other talkers: GN, GL, GA, GB, BD, ..., or
                       // any talker's GGA, GLL, GNS or RMC
  kSeenInstrument,     // NMEA with no fix in it: AIS, autopilots, compasses, ...
  kSeenUbx,
  kSeenSirf,
};

// A port that delivered data in a scan, judged by its best attempt: the rate whose
// capture held the most frames, the lowest of equals.
struct SeenPort {
  int32_t port;
  uint32_t rate;                  // the best attempt's; 0 for kSeenNothingKnown
  std::vector<uint32_t> rates;    // every rate at which the capture held a byte
  CaptureContents contents;       // the best attempt's
  SeenKind kind;
};

void ReadCapture(const unsigned char* data, int32_t count, CaptureContents* contents);
SeenKind KindOfCapture(const CaptureContents& contents);

// Sets the core's observer so that the scans that follow note what their captures
// held, and forgets what earlier scans noted; EndCaptureNotes removes the observer,
// the notes staying until taken. On the scanning thread, around a scan.
void BeginCaptureNotes();
void EndCaptureNotes();
// The observer's event: one attempt's capture.
void NoteCapture(const CaptureReport* report);
// The ports that delivered data, in the order scanned, and forgets them.
std::vector<SeenPort> TakeSeenPorts();

// The result's lines on one port: what it sends and, where the user can act, how.
// device is the port's device (raw text from outside), "" when unknown.
void SeenPortLines(const SeenPort& seen, const std::string& device, std::vector<std::string>* lines);
// "other_talkers", "ubx", ...: the `what` of the JSON result.
const char* SeenKindName(SeenKind kind);
const char* SeenProtocol(SeenKind kind);  // "NMEA", "UBX", "SiRF"; nullptr for none
