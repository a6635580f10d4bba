// Device behaviours: the --port syntax, the sentences a device sends and the junk a
// mismatched UART shows.
#include "sim.h"

#include "burst.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int32_t kMaxPort = 255;
constexpr size_t kMaxReplayBytes = 1 << 20;

bool ParseNumber(const std::string& text, uint32_t low, uint32_t high, uint32_t* value) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  unsigned long parsed = std::strtoul(text.c_str(), nullptr, 10);
  if (parsed < low || parsed > high) return false;
  *value = static_cast<uint32_t>(parsed);
  return true;
}

std::vector<std::string> SplitFields(const char* argument) {
  std::vector<std::string> fields;
  std::string field;
  for (const char* p = argument; *p != '\0'; ++p) {
    if (*p == ':') {
      fields.push_back(field);
      field.clear();
    } else {
      field.push_back(*p);
    }
  }
  fields.push_back(field);
  return fields;
}

// A replay path may itself hold colons: everything after the rate belongs to it.
std::string JoinFrom(const std::vector<std::string>& fields, size_t first) {
  std::string joined;
  for (size_t i = first; i < fields.size(); ++i) {
    if (i > first) joined.push_back(':');
    joined += fields[i];
  }
  return joined;
}

bool ParsePortRange(const std::string& text, uint32_t* first, uint32_t* last) {
  size_t dash = text.find('-');
  if (dash == std::string::npos) {
    if (!ParseNumber(text, 1, kMaxPort, first)) return false;
    *last = *first;
    return true;
  }
  return ParseNumber(text.substr(0, dash), 1, kMaxPort, first) &&
         ParseNumber(text.substr(dash + 1), 1, kMaxPort, last) && *first <= *last;
}

}  // namespace

uint8_t NmeaChecksum(const char* body, size_t length) {
  uint8_t sum = 0;
  for (size_t i = 0; i < length; ++i) sum ^= static_cast<uint8_t>(body[i]);
  return sum;
}

std::string MakeSentence(const std::string& body) {
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", NmeaChecksum(body.data(), body.size()));
  return "$" + body + tail;
}

// One fix a second for five seconds, a receiver standing still near Munich with
// eleven satellites in view, eight used: GGA, GSA, three GSV, RMC and VTG, as a SiRF or
// MTK chip sends them, about 450 bytes an epoch.
std::vector<unsigned char> BuiltInText(bool gnTalker) {
  const char* talker = gnTalker ? "GN" : "GP";
  std::string text;
  for (int second = 0; second < 5; ++second) {
    char time[16];
    std::snprintf(time, sizeof time, "1235%02d.00", 19 + second);
    std::string t = talker;
    text += MakeSentence(t + "GGA," + time + ",4807.0380,N,01131.0000,E,1,08,0.9,545.4,M,46.9,M,,");
    text += MakeSentence(t + "GSA,A,3,04,05,09,12,17,24,25,29,,,,,1.8,0.9,1.5");
    text += MakeSentence(t + "GSV,3,1,11,04,40,083,46,05,17,308,41,09,07,344,39,12,22,228,45");
    text += MakeSentence(t + "GSV,3,2,11,17,63,120,48,24,11,045,36,25,30,270,42,29,55,190,47");
    text += MakeSentence(t + "GSV,3,3,11,02,08,012,,10,03,155,,31,14,301,");
    text += MakeSentence(t + "RMC," + time +
                         ",A,4807.0380,N,01131.0000,E,000.0,084.4,230394,003.1,W,A");
    text += MakeSentence(t + "VTG,084.4,T,087.5,M,000.0,N,000.0,K,A");
  }
  return std::vector<unsigned char>(text.begin(), text.end());
}

bool LoadReplayText(const char* path, std::vector<unsigned char>* text, std::string* error) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    *error = std::string("cannot open ") + path + ": " + std::strerror(errno);
    return false;
  }
  std::vector<unsigned char> data(kMaxReplayBytes);
  size_t size = std::fread(data.data(), 1, data.size(), file);
  std::fclose(file);
  data.resize(size);
  // Logs are cut at a size, often mid-sentence: looping such a tail into the next
  // sentence's head would make a sentence no receiver ever sent.
  size_t end = data.size();
  while (end > 0 && data[end - 1] != '\n') --end;
  if (end > 0) data.resize(end);
  if (data.empty()) {
    *error = std::string("nothing to replay in ") + path;
    return false;
  }
  *text = std::move(data);
  return true;
}

bool ParsePortArgument(const char* argument, std::vector<DeviceBehaviour>* devices, std::string* error) {
  std::vector<std::string> f = SplitFields(argument);
  uint32_t first = 0;
  uint32_t last = 0;
  if (f.size() < 2 || !ParsePortRange(f[0], &first, &last)) {
    *error = std::string("bad --port '") + argument + "': expected N[-M]:MODE[:...]";
    return false;
  }
  const std::string& mode = f[1];
  DeviceBehaviour device;
  bool binary = mode == "ubx" || mode == "sirf";
  bool wantsRate = mode == "nmea" || mode == "gn" || binary || mode == "alive-then-silent" ||
                   mode == "stop-after" || mode == "vanish-after";
  if (wantsRate && (f.size() < 3 || !ParseRateField(f[2], &device))) {
    *error = std::string("bad --port '") + argument + "': " + mode +
             " needs a rate, BITS[/HZ|/stream][+MS]";
    return false;
  }
  size_t fileField = 3;
  if (mode == "silent" || mode == "garbage") {
    if (f.size() != 2) {
      *error = std::string("bad --port '") + argument + "': " + mode + " takes no arguments";
      return false;
    }
    device.atOtherRates = mode == "garbage" ? LineOutput::kGarbage : LineOutput::kNothing;
  } else if (mode == "nmea" || mode == "gn" || binary) {
    if (mode != "nmea" && f.size() != 3) {
      *error = std::string("bad --port '") + argument + "': " + mode + " takes only a rate";
      return false;
    }
    device.atOwnRate = LineOutput::kText;
    device.atOtherRates = LineOutput::kGarbage;
  } else if (mode == "alive-then-silent") {
    device.atOwnRate = LineOutput::kText;
    device.atOtherRates = LineOutput::kNothing;
  } else if (mode == "stop-after" || mode == "vanish-after") {
    uint32_t* bytes = mode == "stop-after" ? &device.bytesPerOpen : &device.vanishAfter;
    if (f.size() < 4 || !ParseNumber(f[3], 1, 100000000, bytes)) {
      *error = std::string("bad --port '") + argument + "': " + mode + " needs RATE:BYTES";
      return false;
    }
    device.atOwnRate = LineOutput::kText;
    device.atOtherRates = LineOutput::kGarbage;
    fileField = 4;
  } else {
    *error = std::string("bad --port '") + argument + "': unknown mode '" + mode + "'";
    return false;
  }
  if (device.atOwnRate == LineOutput::kText) {
    if (f.size() > fileField) {
      std::string path = JoinFrom(f, fileField);
      if (!LoadReplayText(path.c_str(), &device.text, error)) return false;
    } else {
      device.text = mode == "ubx" ? BuiltInUbx() : mode == "sirf" ? BuiltInSirf() : BuiltInText(mode == "gn");
    }
  }
  for (uint32_t n = first; n <= last; ++n) {
    device.port = static_cast<int32_t>(n);
    devices->push_back(device);
  }
  return true;
}

LineOutput OutputAt(const DeviceBehaviour& device, uint32_t configured) {
  if (configured == 0) return LineOutput::kNothing;
  if (device.ownRate != 0 && configured == device.ownRate) return device.atOwnRate;
  return device.atOtherRates;
}

// A receiver sends back to back, one character of ten bits (8N1) after another, so
// text goes at a tenth of its rate. A UART at another speed sampling such a busy line
// frames about one junk byte per character time of its own speed, so junk goes at a
// tenth of the configured rate.
uint32_t PacedBytesPerSecond(const DeviceBehaviour& device, uint32_t configured) {
  switch (OutputAt(device, configured)) {
    case LineOutput::kText:
      return device.ownRate / 10;
    case LineOutput::kGarbage:
      return configured / 10;
    case LineOutput::kNothing:
      break;
  }
  return 0;
}

void FillGarbage(unsigned char* out, size_t length, uint64_t* state) {
  for (size_t i = 0; i < length; ++i) {
    // xorshift64: cheap, and the same junk on every run for a given seed.
    uint64_t x = *state;
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    *state = x;
    unsigned char byte = static_cast<unsigned char>(x >> 24);
    // Framing at the wrong speed mostly sees the idle-high line as set high bits;
    // a quarter of the bytes keep their low-bit pattern.
    if (((x >> 40) & 3) != 0) byte |= 0x80;
    if (byte == '$') byte = 0xA4;
    out[i] = byte;
  }
}
