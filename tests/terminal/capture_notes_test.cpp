// What a capture holds: real UBX and SiRF frames cut as a capture cuts them, real
// receivers' and instruments' logs, junk; and a port judged by its best rate.
#include "terminal/capture_notes.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <fstream>
#include <iterator>
#include <map>
#include <random>

namespace {

typedef std::vector<unsigned char> Bytes;

// u-blox's ACK-ACK of a CFG-PRT (CK 0E 37), and SiRF's "switch to NMEA at 9600"
// (MID 129, sum 0x013A), as the receivers' manuals give them.
const Bytes kUbxAck = {0xB5, 0x62, 0x05, 0x01, 0x02, 0x00, 0x06, 0x00, 0x0E, 0x37};
const Bytes kSirfToNmea = {0xA0, 0xA2, 0x00, 0x18, 0x81, 0x02, 0x01, 0x01, 0x00, 0x01, 0x01,
                           0x01, 0x05, 0x01, 0x01, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01,
                           0x00, 0x01, 0x00, 0x01, 0x25, 0x80, 0x01, 0x3A, 0xB0, 0xB3};

// Begun and ended mid-frame, with one frame a byte off: only the whole valid ones count.
Bytes Cut(const Bytes& frame, int whole) {
  Bytes capture(frame.end() - 3, frame.end());
  for (int n = 0; n <= whole; ++n) capture.insert(capture.end(), frame.begin(), frame.end());
  capture[capture.size() - 3] ^= 1;
  capture.insert(capture.end(), frame.begin(), frame.end() - 1);
  return capture;
}

CaptureContents Read(const Bytes& capture) {
  CaptureContents contents;
  ReadCapture(capture.data(), static_cast<int32_t>(capture.size()), &contents);
  return contents;
}

TEST(CaptureContents, WholeValidFramesOnly) {
  EXPECT_EQ(Read(Cut(kUbxAck, 3)).ubx, 3);
  EXPECT_EQ(KindOfCapture(Read(Cut(kUbxAck, 3))), kSeenUbx);
  EXPECT_EQ(Read(Cut(kSirfToNmea, 2)).sirf, 2);
  EXPECT_EQ(KindOfCapture(Read(Cut(kSirfToNmea, 2))), kSeenSirf);
  EXPECT_EQ(KindOfCapture(Read(Cut(kSirfToNmea, 1))), kSeenNothingKnown);  // one frame: chance
  // Every real log, its first 2047 bytes after the liveness test's: no binary frame in
  // any; receivers and instruments (some pass positions on) told apart.
  const std::map<std::string, SeenKind> kinds = {
      {"garmin48.nmea", kSeenGpUnrecognised}, {"humminbird-M37.nmea", kSeenOtherTalkers},
      {"sounder.nmea", kSeenOtherTalkers},    {"ais-raw-messages.nmea", kSeenInstrument},
      {"pypilot.nmea", kSeenInstrument}};
  DIR* folder = opendir(SENTROVA_NMEA_DIR);
  ASSERT_NE(folder, nullptr);
  int checked = 0;
  while (const dirent* entry = readdir(folder)) {
    std::string name = entry->d_name;
    if (name.size() < 5 || name.compare(name.size() - 5, 5, ".nmea") != 0) continue;
    std::ifstream log(std::string(SENTROVA_NMEA_DIR) + "/" + name, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    CaptureContents contents = Read(Bytes(bytes.begin() + 1, bytes.begin() + std::min<size_t>(bytes.size(), 2048)));
    EXPECT_EQ(contents.ubx + contents.sirf, 0) << name;
    EXPECT_TRUE(kinds.count(name) == 0 || KindOfCapture(contents) == kinds.at(name)) << name;
    EXPECT_TRUE(name != "pypilot.nmea" || (contents.sentences == std::vector<std::string>{"$APHDM", "$APROT", "$APXDR"}));
    ++checked;
  }
  closedir(folder);
  EXPECT_EQ(checked, 45);
}

// Port 3: junk at 4800, UBX at 9600, fewer frames at 19200, as many at 38400: judged
// at 9600. Port 5: junk at every rate. Port 6: a liveness test's byte, then nothing.
TEST(SeenPorts, EachPortByItsBestRate) {
  std::mt19937 random(25);  // junk: 2047 random bytes
  Bytes junk(2047);
  auto note = [](int32_t port, uint32_t rate, const Bytes& capture) {
    CaptureReport report = {port, rate, capture.data(), static_cast<int32_t>(capture.size()), false};
    NoteCapture(&report);
  };
  BeginCaptureNotes();
  for (uint32_t rate : {4800, 9600, 19200, 38400, 57600, 115200}) {
    for (unsigned char& byte : junk) byte = static_cast<unsigned char>(random());
    note(5, rate, junk);
  }
  note(3, 4800, junk);
  note(3, 9600, Cut(kUbxAck, 4));
  note(3, 19200, Cut(kUbxAck, 2));
  note(3, 38400, Cut(kUbxAck, 4));
  note(6, 4800, {});
  EndCaptureNotes();
  std::vector<SeenPort> seen = TakeSeenPorts();
  ASSERT_EQ(seen.size(), 2u);
  std::vector<std::string> lines;
  for (const SeenPort& port : seen) SeenPortLines(port, "/dev/ttyUSB0", &lines);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "COM5 sends data at every rate, but no NMEA, UBX or SiRF binary: "
                      "no GPS receiver, or one at another rate");
  EXPECT_EQ(lines[1], "COM3 at 9600: a u-blox receiver in binary mode (UBX), no NMEA");
}

}  // namespace
