// A receiver's bursts: where the fixes lie in its text, when each goes out, and what
// a UART at another speed makes of them.
#include "burst.h"

#include <algorithm>
#include <charconv>
#include <initializer_list>

namespace {

constexpr int64_t kNsPerSecond = 1'000'000'000;
constexpr uint32_t kMaxUpdateHz = 20;

bool ParseDecimal(const std::string& text, uint32_t low, uint32_t high, uint32_t* value) {
  if (text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  uint32_t parsed = 0;
  std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

// The address of the sentence starting at `at` ("GPRMC" of "$GPRMC,..."): up to the
// first comma, star or line end.
std::string AddressAt(const std::vector<unsigned char>& text, size_t at) {
  std::string address;
  for (size_t i = at + 1; i < text.size() && address.size() < 16; ++i) {
    unsigned char c = text[i];
    if (c == ',' || c == '*' || c == '\r' || c == '\n') break;
    address.push_back(static_cast<char>(c));
  }
  return address;
}

bool HasType(const std::string& address, std::initializer_list<const char*> types) {
  if (address.size() < 3) return false;
  for (const char* type : types) {
    if (address.compare(address.size() - 3, 3, type) == 0) return true;
  }
  return false;
}

}  // namespace

namespace {

// A whole u-blox UBX frame (B5 62, class, id, length, payload, Fletcher-8) or SiRF
// binary frame (A0 A2, length, payload, 15-bit sum, B0 B3) at `at`, checksum and all:
// its size and its message type.
bool FrameAt(const std::vector<unsigned char>& text, size_t at, size_t* size, std::string* type) {
  size_t left = text.size() - at;
  if (left >= 8 && text[at] == 0xB5 && text[at + 1] == 0x62) {
    *size = 8 + (text[at + 4] | static_cast<size_t>(text[at + 5]) << 8);
    if (*size > left) return false;
    unsigned char a = 0, b = 0;
    for (size_t i = at + 2; i < at + *size - 2; ++i) {
      a = static_cast<unsigned char>(a + text[i]);
      b = static_cast<unsigned char>(b + a);
    }
    *type = {'U', static_cast<char>(text[at + 2]), static_cast<char>(text[at + 3])};
    return a == text[at + *size - 2] && b == text[at + *size - 1];
  }
  if (left >= 9 && text[at] == 0xA0 && text[at + 1] == 0xA2) {
    size_t length = (text[at + 2] & 0x7Fu) << 8 | text[at + 3];
    *size = 8 + length;
    if (*size > left || length == 0) return false;
    uint32_t sum = 0;
    for (size_t i = at + 4; i < at + 4 + length; ++i) sum += text[i];
    const unsigned char* tail = &text[at + 4 + length];
    *type = {'S', static_cast<char>(text[at + 4])};
    uint32_t given = static_cast<uint32_t>(tail[0]) << 8 | tail[1];
    return given == (sum & 0x7FFF) && tail[2] == 0xB0 && tail[3] == 0xB3;
  }
  return false;
}

}  // namespace

std::vector<uint32_t> SplitIntoBursts(const std::vector<unsigned char>& text, size_t* first) {
  std::vector<size_t> starts;  // sentences and frames, each with its type
  std::vector<std::string> types;
  std::vector<bool> binary;
  for (size_t i = 0; i < text.size(); ++i) {
    size_t size = 0;
    std::string type;
    bool lineStart = i == 0 || text[i - 1] == '\n';
    if (lineStart && (text[i] == '$' || text[i] == '!')) {
      starts.push_back(i);
      types.push_back(AddressAt(text, i));
      binary.push_back(false);
    } else if (FrameAt(text, i, &size, &type)) {
      starts.push_back(i);
      types.push_back(type);
      binary.push_back(true);
      i += size - 1;  // nothing inside a frame starts another
    }
  }
  // A fix begins with its RMC (u-blox, Garmin) or its GGA (SiRF, MTK), whichever the
  // receiver sends first; GLL, GNS or ZDA where it sends neither; in a binary protocol
  // with its first frame's message; else with the first sentence.
  auto find = [&](auto matches) {
    for (size_t i = 0; i < starts.size(); ++i) {
      if (matches(i)) return i;
    }
    return starts.size();
  };
  size_t marker = find([&](size_t i) { return !binary[i] && HasType(types[i], {"RMC", "GGA"}); });
  if (marker == starts.size()) {
    marker = find([&](size_t i) { return !binary[i] && HasType(types[i], {"GLL", "GNS", "ZDA"}); });
  }
  if (marker == starts.size()) marker = find([&](size_t i) { return binary[i]; });
  if (marker == starts.size()) marker = 0;
  std::vector<size_t> edges;
  for (size_t i = 0; i < starts.size(); ++i) {
    if (binary[i] == binary[marker] && types[i] == types[marker]) edges.push_back(starts[i]);
  }
  if (edges.empty()) {
    for (size_t at = 0; at < text.size(); at += kDefaultBurstBytes) edges.push_back(at);
  }
  *first = edges.empty() ? 0 : edges[0];
  edges.push_back(text.size() + *first);  // round the loop
  std::vector<uint32_t> sizes;
  for (size_t i = 0; i + 1 < edges.size(); ++i) {
    sizes.push_back(static_cast<uint32_t>(edges[i + 1] - edges[i]));
  }
  return sizes;
}

bool ParseRateField(const std::string& field, DeviceBehaviour* device) {
  size_t timing = field.find_first_of("/+");
  if (!ParseDecimal(field.substr(0, timing), 50, 4000000, &device->ownRate)) return false;
  device->updateHz = 1;
  device->phaseMs = 0;
  if (timing == std::string::npos) return true;
  size_t plus = field.find('+', timing);
  if (field[timing] == '/') {
    std::string hz =
        field.substr(timing + 1, plus == std::string::npos ? std::string::npos : plus - timing - 1);
    if (hz == "stream") {
      device->updateHz = 0;
      return plus == std::string::npos;  // a stream has no phase
    }
    if (!ParseDecimal(hz, 1, kMaxUpdateHz, &device->updateHz)) return false;
  }
  if (plus == std::string::npos) return true;
  return ParseDecimal(field.substr(plus + 1), 0, 1000 / device->updateHz - 1, &device->phaseMs);
}

BurstSchedule MakeBurstSchedule(const DeviceBehaviour& device) {
  BurstSchedule schedule;
  uint32_t perSecond = device.ownRate / 10;
  if (device.updateHz == 0 || perSecond == 0 || device.text.empty()) return schedule;
  std::vector<uint32_t> sizes = device.burstSizes;
  size_t first = 0;
  if (sizes.empty()) sizes = SplitIntoBursts(device.text, &first);
  const int64_t period = kNsPerSecond / device.updateHz;
  int64_t ends = 0;
  size_t offset = first;
  const size_t end = first + device.text.size();
  for (size_t k = 0; k < sizes.size() && offset < end; ++k) {
    int64_t start = std::max(static_cast<int64_t>(k) * period, ends);
    uint32_t size = static_cast<uint32_t>(std::min<size_t>(sizes[k], end - offset));
    int64_t length = static_cast<int64_t>(size) * kNsPerSecond / perSecond;
    schedule.startNs.push_back(start);
    schedule.lengthNs.push_back(length);
    schedule.offset.push_back(offset);
    schedule.size.push_back(size);
    ends = start + length;
    offset += size;
  }
  // The next pass starts on the next period after the last burst, as the next fix does.
  schedule.cycleNs = std::max((ends + period - 1) / period * period,
                              static_cast<int64_t>(schedule.startNs.size()) * period);
  return schedule;
}

bool BurstAt(const BurstSchedule& schedule, int64_t sinceNs, BurstSlot* slot) {
  if (schedule.cycleNs <= 0) return false;
  // Floored: before the first open the receiver was already talking.
  int64_t cycle = sinceNs / schedule.cycleNs - (sinceNs % schedule.cycleNs < 0 ? 1 : 0);
  int64_t within = sinceNs - cycle * schedule.cycleNs;
  size_t k = static_cast<size_t>(
      std::upper_bound(schedule.startNs.begin(), schedule.startNs.end(), within) -
      schedule.startNs.begin() - 1);
  size_t count = schedule.startNs.size();
  int64_t base = cycle * schedule.cycleNs;
  slot->index = cycle * static_cast<int64_t>(count) + static_cast<int64_t>(k);
  slot->startNs = base + schedule.startNs[k];
  slot->lengthNs = schedule.lengthNs[k];
  slot->nextStartNs = k + 1 < count ? base + schedule.startNs[k + 1] : base + schedule.cycleNs;
  slot->offset = schedule.offset[k];
  slot->size = schedule.size[k];
  return true;
}

uint32_t BurstBytesPerSecond(const DeviceBehaviour& device, uint32_t configured) {
  switch (OutputAt(device, configured)) {
    case LineOutput::kText:
      return device.ownRate / 10;
    case LineOutput::kGarbage:
      return configured < device.ownRate ? configured / 10 : device.ownRate * 3 / 10;
    case LineOutput::kNothing:
      break;
  }
  return 0;
}
