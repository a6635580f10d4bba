// What a port that answered held: the frames of each capture, counted by protocol,
// and the lines that say what that means to a user who has just plugged a receiver in.
#include "terminal/capture_notes.h"

#include "detect/scan_driver.h"

#include <algorithm>

namespace {

// A claim needs two frames: one could still be chance in a stream of junk.
constexpr int32_t kMinFrames = 2;
constexpr int32_t kNmeaMaxLength = 100;  // 82 by the standard; some receivers exceed it
constexpr size_t kSentencesShown = 8;

struct Talker {
  const char* id;
  const char* what;
};

// Positioning talkers other than GP: working receivers, which the scan does not count.
const Talker kPositioning[] = {
    {"GN", "a multi-constellation receiver"}, {"GL", "GLONASS"}, {"GA", "Galileo"},
    {"GB", "BeiDou"}, {"BD", "BeiDou"}, {"GQ", "QZSS"}, {"QZ", "QZSS"}, {"GI", "NavIC"},
};
// Other talkers of a ship's or a boat's NMEA bus, named in the notes. Some of them
// pass a position on (a fishfinder's $INGGA, an ECDIS's $ECGLL): sentences of a fix
// make a port a position source whatever its talker.
const Talker kInstruments[] = {
    {"AI", "AIS"}, {"AB", "AIS"}, {"BS", "AIS"}, {"AG", "autopilot"}, {"AP", "autopilot"},
    {"CD", "DSC radio"}, {"EC", "ECDIS"}, {"HC", "magnetic compass"}, {"HE", "gyrocompass"},
    {"HN", "gyrocompass"}, {"II", "integrated instrumentation"}, {"IN", "integrated navigation"},
    {"RA", "radar"}, {"SD", "depth sounder"}, {"SS", "scanning sonar"},
    {"TI", "turn rate indicator"}, {"VD", "Doppler log"}, {"VM", "speed log"},
    {"VW", "speed log"}, {"WI", "weather instruments"}, {"YX", "transducer"},
};

const char* const kFixSentences[] = {"GGA", "GLL", "GNS", "RMC"};

template <size_t N>
const Talker* FindTalker(const Talker (&table)[N], const std::string& id) {
  for (const Talker& talker : table) {
    if (id == talker.id) return &talker;
  }
  return nullptr;
}

bool Upper(unsigned char c) { return c >= 'A' && c <= 'Z'; }
bool Digit(unsigned char c) { return c >= '0' && c <= '9'; }
int HexValue(unsigned char c) {
  if (Digit(c)) return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void AddOnce(std::vector<std::string>* list, const std::string& item) {
  auto at = std::lower_bound(list->begin(), list->end(), item);
  if (at == list->end() || *at != item) list->insert(at, item);
}

// An NMEA sentence at data[at]: "$" or "!", a talker of two letters, a type of three
// letters or digits, then a comma or "*", printable text, and a checksum "*hh" that
// matches where there is one (older instruments send none), ended by CR or LF.
// Proprietary sentences ($P + maker) name no talker and are left out. Returns its
// length, 0 when there is none.
int32_t NmeaAt(const unsigned char* data, int32_t count, int32_t at, CaptureContents* contents) {
  const unsigned char* s = data + at;
  int32_t room = std::min(count - at, kNmeaMaxLength);
  if (room < 8 || (s[0] != '$' && s[0] != '!') || !Upper(s[1]) || !Upper(s[2])) return 0;
  if (s[0] == '$' && s[1] == 'P') return 0;
  for (int n = 3; n < 6; ++n) {
    if (!Upper(s[n]) && !Digit(s[n])) return 0;
  }
  if (s[6] != ',' && s[6] != '*') return 0;
  unsigned char sum = 0;
  int32_t end = 1;
  while (end < room && s[end] >= 0x20 && s[end] < 0x7F && s[end] != '*' && s[end] != '$' &&
         s[end] != '!') {
    sum ^= s[end++];
  }
  if (end + 2 < room && s[end] == '*') {
    int high = HexValue(s[end + 1]);
    int low = HexValue(s[end + 2]);
    if (high < 0 || low < 0 || high * 16 + low != sum) return 0;
    end += 3;
  }
  if (end >= room || (s[end] != '\r' && s[end] != '\n')) return 0;
  ++contents->nmea;
  AddOnce(&contents->talkers, std::string(reinterpret_cast<const char*>(s) + 1, 2));
  AddOnce(&contents->sentences, std::string(reinterpret_cast<const char*>(s), 6));
  return end + 1;
}

// A u-blox UBX frame: B5 62, class, id, a little-endian length, the payload, and the
// 8-bit Fletcher checksum CK_A CK_B over class to payload.
int32_t UbxAt(const unsigned char* data, int32_t count, int32_t at) {
  const unsigned char* f = data + at;
  if (count - at < 8 || f[0] != 0xB5 || f[1] != 0x62) return 0;
  int32_t length = f[4] | (f[5] << 8);
  int32_t size = 6 + length + 2;
  if (size > count - at) return 0;
  unsigned char a = 0;
  unsigned char b = 0;
  for (int32_t n = 2; n < 6 + length; ++n) {
    a = static_cast<unsigned char>(a + f[n]);
    b = static_cast<unsigned char>(b + a);
  }
  return f[size - 2] == a && f[size - 1] == b ? size : 0;
}

// A SiRF binary frame: A0 A2, a 15-bit big-endian length, the payload, the 15-bit
// big-endian sum of the payload's bytes, B0 B3.
int32_t SirfAt(const unsigned char* data, int32_t count, int32_t at) {
  const unsigned char* f = data + at;
  if (count - at < 9 || f[0] != 0xA0 || f[1] != 0xA2 || f[2] > 0x7F) return 0;
  int32_t length = (f[2] << 8) | f[3];
  int32_t size = 4 + length + 4;
  if (length == 0 || size > count - at) return 0;
  int32_t sum = 0;
  for (int32_t n = 4; n < 4 + length; ++n) sum += f[n];
  const unsigned char* tail = f + 4 + length;
  bool valid = ((tail[0] << 8) | tail[1]) == (sum & 0x7FFF) && tail[2] == 0xB0 && tail[3] == 0xB3;
  return valid ? size : 0;
}

int32_t Frames(const CaptureContents& contents) {
  return contents.nmea + contents.ubx + contents.sirf;
}

bool HasTalker(const CaptureContents& contents, const char* id) {
  return std::binary_search(contents.talkers.begin(), contents.talkers.end(), std::string(id));
}

std::string RateList(const std::vector<uint32_t>& rates) {
  if (rates.size() == static_cast<size_t>(kBaudRateCount)) return "at every rate";
  std::string list = "at ";
  for (size_t n = 0; n < rates.size(); ++n) {
    list += (n == 0 ? "" : n + 1 == rates.size() ? " and " : ", ") + std::to_string(rates[n]);
  }
  return list + " bauds";
}

// "talker GN (a multi-constellation receiver)", "talkers GL (GLONASS), GN (...)".
std::string TalkerList(const CaptureContents& contents) {
  std::string list = contents.talkers.size() == 1 ? "talker " : "talkers ";
  for (size_t n = 0; n < contents.talkers.size(); ++n) {
    const std::string& id = contents.talkers[n];
    const Talker* known = FindTalker(kPositioning, id);
    if (known == nullptr) known = FindTalker(kInstruments, id);
    list += (n > 0 ? ", " : "") + id;
    if (known != nullptr && id != "GP") list += std::string(" (") + known->what + ")";
  }
  return list;
}

std::string SentenceList(const CaptureContents& contents) {
  std::string list;
  for (size_t n = 0; n < contents.sentences.size() && n < kSentencesShown; ++n) {
    list += (n > 0 ? ", " : "") + contents.sentences[n];
  }
  if (contents.sentences.size() > kSentencesShown) list += ", ...";
  return list;
}

struct NotedPort {
  SeenPort seen;
  int32_t frames;  // of the best attempt
};

// Written and read on the scanning thread only: the observer's event comes there,
// and the result is read there after the scan.
std::vector<NotedPort> gNoted;
const ScanObserver kObserver = {NoteCapture};

}  // namespace

void ReadCapture(const unsigned char* data, int32_t count, CaptureContents* contents) {
  *contents = CaptureContents{0, 0, 0, {}, {}};
  for (int32_t at = 0; at < count;) {
    int32_t size = NmeaAt(data, count, at, contents);
    if (size == 0 && (size = UbxAt(data, count, at)) > 0) ++contents->ubx;
    if (size == 0 && (size = SirfAt(data, count, at)) > 0) ++contents->sirf;
    at += size > 0 ? size : 1;
  }
}

SeenKind KindOfCapture(const CaptureContents& contents) {
  if (Frames(contents) < kMinFrames) return kSeenNothingKnown;
  if (contents.nmea >= contents.ubx && contents.nmea >= contents.sirf) {
    if (HasTalker(contents, "GP")) return kSeenGpUnrecognised;
    for (const std::string& id : contents.talkers) {
      if (FindTalker(kPositioning, id) != nullptr) return kSeenOtherTalkers;
    }
    for (const std::string& sentence : contents.sentences) {
      for (const char* fix : kFixSentences) {
        if (sentence.compare(3, 3, fix) == 0) return kSeenOtherTalkers;
      }
    }
    return kSeenInstrument;
  }
  return contents.ubx >= contents.sirf ? kSeenUbx : kSeenSirf;
}

void BeginCaptureNotes() {
  gNoted.clear();
  SetScanObserver(&kObserver);
}

void EndCaptureNotes() { SetScanObserver(nullptr); }

void NoteCapture(const CaptureReport* report) {
  if (report->count <= 0) return;  // alive for its liveness test, then silent
  CaptureContents contents;
  ReadCapture(report->data, report->count, &contents);
  NotedPort* noted = nullptr;
  for (NotedPort& entry : gNoted) {
    if (entry.seen.port == report->port) noted = &entry;
  }
  if (noted == nullptr) {
    noted = &gNoted.emplace_back(NotedPort{{report->port, 0, {}, {}, kSeenNothingKnown}, -1});
  }
  noted->seen.rates.push_back(report->rate);
  int32_t frames = Frames(contents);
  if (frames > noted->frames) {  // the first of equals, the lower rate, stays
    noted->frames = frames;
    noted->seen.kind = KindOfCapture(contents);
    noted->seen.rate = noted->seen.kind == kSeenNothingKnown ? 0 : report->rate;
    noted->seen.contents = std::move(contents);
  }
}

std::vector<SeenPort> TakeSeenPorts() {
  std::vector<SeenPort> seen;
  seen.reserve(gNoted.size());
  for (NotedPort& noted : gNoted) seen.push_back(std::move(noted.seen));
  gNoted.clear();
  return seen;
}

void SeenPortLines(const SeenPort& seen, const std::string& device, std::vector<std::string>* lines) {
  std::string port = "COM" + std::to_string(seen.port);
  std::string at = port + " at " + std::to_string(seen.rate);
  std::string where = device.empty() ? port + "'s device" : device;
  const CaptureContents& contents = seen.contents;
  switch (seen.kind) {
    case kSeenNothingKnown:
      lines->push_back(port + " sends data " + RateList(seen.rates) +
                       ", but no NMEA, UBX or SiRF binary: no GPS receiver, or one at another rate");
      break;
    case kSeenGpUnrecognised:
      lines->push_back(at + " sends GP sentences the scan did not count (too few bytes, or a first one "
                            "it does not know): " + SentenceList(contents));
      break;
    case kSeenOtherTalkers:
    case kSeenInstrument:
      lines->push_back(at + " sends NMEA of " + TalkerList(contents) + ", not GP: " + SentenceList(contents));
      lines->push_back(seen.kind == kSeenInstrument
                           ? "No position fix in it: an instrument, not a GPS receiver."
                           : "It works as it is with gpsd and most programs: " + where + " at " +
                                 std::to_string(seen.rate) + " bauds.");
      break;
    case kSeenUbx:
    case kSeenSirf: {
      bool ubx = seen.kind == kSeenUbx;
      std::string nmea = contents.nmea == 0 ? "no NMEA" : "NMEA only " + SentenceList(contents);
      lines->push_back(at + (ubx ? ": a u-blox receiver in binary mode (UBX), "
                                 : ": a SiRF receiver in binary mode (SiRF binary), ") + nmea);
      // The scan never writes to a port: switching is the user's to do. gpsctl
      // (Debian's gpsd package) switches both kinds and hunts the speed itself. Kept
      // short: the dialog's box has seven rows of 42 characters.
      lines->push_back(ubx ? "To switch it back to NMEA: gpsctl -n " + where + " (package gpsd), or u-blox's u-center."
                           : "To switch it back to NMEA (gpsd may have left it so): gpsctl -n " + where +
                                 " (package gpsd).");
      break;
    }
  }
}

const char* SeenKindName(SeenKind kind) {
  switch (kind) {
    case kSeenNothingKnown:
      return "unrecognised";
    case kSeenGpUnrecognised:
      return "gp_not_taken";
    case kSeenOtherTalkers:
      return "other_talkers";
    case kSeenInstrument:
      return "instrument";
    case kSeenUbx:
      return "ubx";
    case kSeenSirf:
      return "sirf";
  }
  return "unrecognised";
}

const char* SeenProtocol(SeenKind kind) {
  switch (kind) {
    case kSeenNothingKnown:
      return nullptr;
    case kSeenUbx:
      return "UBX";
    case kSeenSirf:
      return "SiRF";
    default:
      return "NMEA";
  }
}
