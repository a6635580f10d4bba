// Receivers in a binary protocol: the built-in sentences' five fixes (Munich,
// 2026-03-23 12:35:19 UTC on, GPS week 2411, eight satellites) as a u-blox sends them
// in UBX and a SiRF in SiRF binary, laid out and checksummed as their protocol
// specifications give them. Debian's gpsd decodes both to the same fixes.
#include "sim.h"

#include <initializer_list>
#include <utility>

namespace {

typedef std::vector<unsigned char> Bytes;
typedef std::initializer_list<std::pair<uint32_t, int>> Fields;  // value, bytes

constexpr uint32_t kWeek = 2411;
constexpr uint32_t kTow = 131737;  // seconds: Monday 12:35:19 UTC and 18 leap seconds
constexpr uint32_t kLat = 481172833, kLon = 115166667;  // 1e-7 degrees
constexpr uint32_t kX = 4180516, kY = 851802, kZ = 4726033;  // ECEF, metres
constexpr unsigned char kPrns[8] = {4, 5, 9, 12, 17, 24, 25, 29};

// UBX is little-endian, SiRF big-endian.
void Put(Bytes* out, bool bigEndian, Fields fields) {
  for (const auto& [value, size] : fields) {
    for (int n = 0; n < size; ++n) {
      int byte = bigEndian ? size - 1 - n : n;  // wider fields are zeros beyond four bytes
      out->push_back(byte < 4 ? static_cast<unsigned char>(value >> (8 * byte)) : 0);
    }
  }
}

// B5 62, class, id, length, payload, Fletcher-8 over class to payload.
void UbxFrame(Bytes* out, uint32_t cls, uint32_t id, const Bytes& payload) {
  Bytes body;
  Put(&body, false, {{cls, 1}, {id, 1}, {static_cast<uint32_t>(payload.size()), 2}});
  body.insert(body.end(), payload.begin(), payload.end());
  unsigned char a = 0, b = 0;
  for (unsigned char byte : body) b = static_cast<unsigned char>(b + (a = static_cast<unsigned char>(a + byte)));
  Put(out, false, {{0x62B5, 2}});
  out->insert(out->end(), body.begin(), body.end());
  Put(out, false, {{a, 1}, {b, 1}});
}

// A0 A2, 15-bit length, payload (message id first), 15-bit sum of the payload, B0 B3.
void SirfFrame(Bytes* out, const Bytes& payload) {
  uint32_t sum = 0;
  for (unsigned char byte : payload) sum += byte;
  Put(out, true, {{0xA0A2, 2}, {static_cast<uint32_t>(payload.size()), 2}});
  out->insert(out->end(), payload.begin(), payload.end());
  Put(out, true, {{sum & 0x7FFF, 2}, {0xB0B3, 2}});
}

}  // namespace

// Each second: NAV-PVT (01 07, 92 bytes) and NAV-SOL (01 06, 52 bytes).
std::vector<unsigned char> BuiltInUbx() {
  Bytes out;
  for (uint32_t s = 0; s < 5; ++s) {
    uint32_t itow = (kTow + s) * 1000;
    Bytes pvt;  // time valid, 3D fix of 8 satellites at rest, heights in mm, pDOP 1.8
    Put(&pvt, false, {{itow, 4}, {2026, 2}, {3, 1}, {23, 1}, {12, 1}, {35, 1}, {19 + s, 1}, {7, 1},
                      {20, 4}, {0, 4}, {3, 1}, {1, 1}, {0, 1}, {8, 1}, {kLon, 4}, {kLat, 4},
                      {592300, 4}, {545400, 4}, {1500, 4}, {2500, 4}, {0, 20}, {100, 4},
                      {18000000, 4}, {180, 2}, {0, 14}});
    UbxFrame(&out, 0x01, 0x07, pvt);
    Bytes sol;  // fix OK, week and time set; ECEF in cm
    Put(&sol, false, {{itow, 4}, {0, 4}, {kWeek, 2}, {3, 1}, {0x0D, 1}, {kX * 100, 4}, {kY * 100, 4},
                      {kZ * 100, 4}, {150, 4}, {0, 12}, {10, 4}, {180, 2}, {0, 1}, {8, 1}, {0, 4}});
    UbxFrame(&out, 0x01, 0x06, sol);
  }
  return out;
}

// Each second: Geodetic Navigation Data (MID 41, 91 bytes), Measured Navigation Data
// (MID 2, 41 bytes) and Measured Tracker Data (MID 4, 188 bytes).
std::vector<unsigned char> BuiltInSirf() {
  Bytes out;
  uint32_t used = 0;
  for (unsigned char prn : kPrns) used |= 1u << (prn - 1);
  for (uint32_t s = 0; s < 5; ++s) {
    Bytes geodetic;  // 3D fix, WGS 84, altitudes in cm, 8 satellites, HDOP 0.8
    Put(&geodetic, true, {{41, 1}, {0, 2}, {4, 2}, {kWeek, 2}, {(kTow + s) * 1000, 4}, {2026, 2},
                          {3, 1}, {23, 1}, {12, 1}, {35, 1}, {(19 + s) * 1000, 2}, {used, 4},
                          {kLat, 4}, {kLon, 4}, {59230, 4}, {54540, 4}, {21, 1}, {0, 10}, {150, 4},
                          {250, 4}, {20, 4}, {0, 26}, {8, 1}, {4, 1}, {0, 1}});
    SirfFrame(&out, geodetic);
    Bytes navigation;  // ECEF in m, at rest, 3D, truncated week, time in 10 ms
    Put(&navigation, true, {{2, 1}, {kX, 4}, {kY, 4}, {kZ, 4}, {0, 6}, {4, 1}, {4, 1}, {0, 1},
                            {kWeek % 1024, 2}, {(kTow + s) * 100, 4}, {8, 1}});
    navigation.insert(navigation.end(), kPrns, kPrns + 8);
    Put(&navigation, true, {{0, 4}});
    SirfFrame(&out, navigation);
    Bytes tracker;  // twelve channels, eight tracking: azimuth, elevation, state, C/N0 x10
    Put(&tracker, true, {{4, 1}, {kWeek % 1024, 2}, {(kTow + s) * 100, 4}, {12, 1}});
    for (int channel = 0; channel < 12; ++channel) {
      uint32_t prn = channel < 8 ? kPrns[channel] : 0;
      Put(&tracker, true, {{prn, 1}, {prn * 7, 1}, {prn * 3, 1}, {prn != 0 ? 0xBFu : 0u, 2}});
      tracker.insert(tracker.end(), 10, prn != 0 ? 42 : 0);
    }
    SirfFrame(&out, tracker);
  }
  return out;
}
