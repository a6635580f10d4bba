// What the ports that answered a scan held, for the result of a scan that found no
// GPS receiver: NMEA of other talkers or of instruments, a receiver in a binary
// protocol (u-blox UBX, SiRF binary), or data with nothing recognisable in it. Each
// capture of a scan is handed over as the scan makes it; only complete frames
// with valid checksums count, as a capture may start and end mid-frame.
#pragma once

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

// Forgets what earlier scans noted; at the start of a scan, on the scanning thread.
void BeginCaptureNotes();
// One attempt's capture: count bytes of data, taken on port at rate.
void NoteCapture(int32_t port, uint32_t rate, const unsigned char* data, int32_t count);
// The ports that delivered data, in the order scanned, and forgets them.
std::vector<SeenPort> TakeSeenPorts();

// The result's lines on one port: what it sends and, where the user can act, how.
// device is the port's device (raw text from outside), "" when unknown; ratesTried
// the rates a scan tries on a port, so that a port with data at each reads so.
void SeenPortLines(const SeenPort& seen, const std::string& device, size_t ratesTried,
                   std::vector<std::string>* lines);
// "other_talkers", "ubx", ...: the `what` of the JSON result.
const char* SeenKindName(SeenKind kind);
const char* SeenProtocol(SeenKind kind);  // "NMEA", "UBX", "SiRF"; nullptr for none
