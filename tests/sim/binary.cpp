// Receivers in a binary protocol: the same five fixes as the built-in sentences
// (Munich, 2026-03-23 12:35:19 UTC on, GPS week 2411, eight satellites), as a u-blox
// sends them in UBX and a SiRF in SiRF binary, frames laid out and checksummed as
// their protocol specifications give them.
#include "sim.h"

#include <initializer_list>

namespace {

typedef std::vector<unsigned char> Bytes;

constexpr uint32_t kWeek = 2411;
constexpr uint32_t kFirstTowSeconds = 131737;  // Monday 12:35:19 UTC, 18 leap seconds
constexpr int32_t kLat = 481172833;            // 1e-7 degrees
constexpr int32_t kLon = 115166667;
constexpr int32_t kEcef[3] = {4180516, 851802, 4726033};  // metres
constexpr unsigned char kPrns[8] = {4, 5, 9, 12, 17, 24, 25, 29};

// Appends value in `size` bytes, little-endian (UBX) or big-endian (SiRF).
void Le(Bytes* out, uint32_t value, int size) {
  for (int n = 0; n < size; ++n) out->push_back(static_cast<unsigned char>(value >> (8 * n)));
}
void Be(Bytes* out, uint32_t value, int size) {
  for (int n = size - 1; n >= 0; --n) out->push_back(static_cast<unsigned char>(value >> (8 * n)));
}

// B5 62, class, id, length, payload, Fletcher-8 over class to payload.
void UbxFrame(Bytes* out, unsigned char cls, unsigned char id, const Bytes& payload) {
  Bytes body = {cls, id};
  Le(&body, static_cast<uint32_t>(payload.size()), 2);
  body.insert(body.end(), payload.begin(), payload.end());
  unsigned char a = 0;
  unsigned char b = 0;
  for (unsigned char byte : body) {
    a = static_cast<unsigned char>(a + byte);
    b = static_cast<unsigned char>(b + a);
  }
  out->insert(out->end(), {0xB5, 0x62});
  out->insert(out->end(), body.begin(), body.end());
  out->insert(out->end(), {a, b});
}

// A0 A2, 15-bit length, payload (message id first), 15-bit sum of the payload, B0 B3.
void SirfFrame(Bytes* out, const Bytes& payload) {
  uint32_t sum = 0;
  for (unsigned char byte : payload) sum += byte;
  out->insert(out->end(), {0xA0, 0xA2});
  Be(out, static_cast<uint32_t>(payload.size()), 2);
  out->insert(out->end(), payload.begin(), payload.end());
  Be(out, sum & 0x7FFF, 2);
  out->insert(out->end(), {0xB0, 0xB3});
}

}  // namespace

// Per second: NAV-PVT (01 07, 92 bytes) and NAV-SOL (01 06, 52 bytes).
std::vector<unsigned char> BuiltInUbx() {
  Bytes out;
  for (uint32_t second = 0; second < 5; ++second) {
    uint32_t itow = (kFirstTowSeconds + second) * 1000;
    Bytes pvt;
    Le(&pvt, itow, 4);
    Le(&pvt, 2026, 2);
    pvt.insert(pvt.end(), {3, 23, 12, 35, static_cast<unsigned char>(19 + second), 0x07});
    Le(&pvt, 20, 4);  // tAcc, ns
    Le(&pvt, 0, 4);   // nano
    pvt.insert(pvt.end(), {3, 0x01, 0, 8});  // 3D fix, fix OK, 8 satellites
    for (uint32_t value : {uint32_t(kLon), uint32_t(kLat), 592300u, 545400u, 1500u, 2500u})
      Le(&pvt, value, 4);                                   // lon, lat, heights (mm), accuracies
    for (int n = 0; n < 5; ++n) Le(&pvt, 0, 4);             // velocity N E D, speed, heading
    Le(&pvt, 100, 4);                                       // sAcc
    Le(&pvt, 18000000, 4);                                  // headAcc
    Le(&pvt, 180, 2);                                       // pDOP 1.8
    pvt.insert(pvt.end(), 6 + 4 + 2 + 2, 0);                // reserved, headVeh, magDec, magAcc
    UbxFrame(&out, 0x01, 0x07, pvt);
    Bytes sol;
    Le(&sol, itow, 4);
    Le(&sol, 0, 4);
    Le(&sol, kWeek, 2);
    sol.insert(sol.end(), {3, 0x0D});                       // 3D, fix OK + week and TOW set
    for (int32_t axis : kEcef) Le(&sol, static_cast<uint32_t>(axis * 100), 4);  // cm
    Le(&sol, 150, 4);                                       // pAcc
    for (int n = 0; n < 3; ++n) Le(&sol, 0, 4);             // velocity
    Le(&sol, 10, 4);                                        // sAcc
    Le(&sol, 180, 2);
    sol.insert(sol.end(), {0, 8, 0, 0, 0, 0});              // reserved, numSV, reserved
    UbxFrame(&out, 0x01, 0x06, sol);
  }
  return out;
}

// Per second: Geodetic Navigation Data (MID 41, 91 bytes), Measured Navigation Data
// (MID 2, 41 bytes) and Measured Tracker Data (MID 4, 188 bytes).
std::vector<unsigned char> BuiltInSirf() {
  Bytes out;
  uint32_t satellites = 0;
  for (unsigned char prn : kPrns) satellites |= 1u << (prn - 1);
  for (uint32_t second = 0; second < 5; ++second) {
    uint32_t tow = kFirstTowSeconds + second;
    Bytes geodetic = {41};
    Be(&geodetic, 0, 2);       // valid
    Be(&geodetic, 0x0004, 2);  // 3D fix
    Be(&geodetic, kWeek, 2);
    Be(&geodetic, tow * 1000, 4);
    Be(&geodetic, 2026, 2);
    geodetic.insert(geodetic.end(), {3, 23, 12, 35});
    Be(&geodetic, (19 + second) * 1000, 2);
    Be(&geodetic, satellites, 4);
    for (uint32_t value : {uint32_t(kLat), uint32_t(kLon), 59230u, 54540u}) Be(&geodetic, value, 4);
    geodetic.push_back(21);                                 // WGS 84
    geodetic.insert(geodetic.end(), 10, 0);                 // speed, course, variation, climb, turn
    for (uint32_t value : {150u, 250u, 20u}) Be(&geodetic, value, 4);  // position, time errors
    geodetic.insert(geodetic.end(), 2 + 4 * 5 + 2 + 2, 0);  // velocity error, clock, distance
    geodetic.insert(geodetic.end(), {8, 4, 0});             // satellites, HDOP 0.8, mode
    SirfFrame(&out, geodetic);
    Bytes navigation = {2};
    for (int32_t axis : kEcef) Be(&navigation, static_cast<uint32_t>(axis), 4);
    navigation.insert(navigation.end(), 6, 0);              // velocity
    navigation.insert(navigation.end(), {0x04, 4, 0});      // 3D, HDOP, mode 2
    Be(&navigation, kWeek % 1024, 2);
    Be(&navigation, tow * 100, 4);
    navigation.push_back(8);
    navigation.insert(navigation.end(), kPrns, kPrns + 8);
    navigation.insert(navigation.end(), 4, 0);
    SirfFrame(&out, navigation);
    Bytes tracker = {4};
    Be(&tracker, kWeek % 1024, 2);
    Be(&tracker, tow * 100, 4);
    tracker.push_back(12);
    for (int channel = 0; channel < 12; ++channel) {
      unsigned char prn = channel < 8 ? kPrns[channel] : 0;
      tracker.insert(tracker.end(), {prn, static_cast<unsigned char>(prn * 7), static_cast<unsigned char>(prn * 3)});
      Be(&tracker, prn != 0 ? 0xBF : 0, 2);                 // tracking state
      tracker.insert(tracker.end(), 10, prn != 0 ? 42 : 0);  // C/N0 of ten 100 ms slices
    }
    SirfFrame(&out, tracker);
  }
  return out;
}
