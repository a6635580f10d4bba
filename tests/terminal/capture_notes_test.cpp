// What a capture holds: real receivers' and instruments' logs, real UBX and SiRF
// frames cut as a capture cuts them, and junk; and a port judged by its best rate.
#include "terminal/capture_notes.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <fstream>
#include <iterator>
#include <random>

namespace {

typedef std::vector<unsigned char> Bytes;

// u-blox's ACK-ACK of a CFG-PRT (05 01, payload 06 00, CK 0E 37), and SiRF's
// "switch to NMEA at 9600" (MID 129, sum 0x013A): frames as the receivers' manuals give them.
const Bytes kUbxAck = {0xB5, 0x62, 0x05, 0x01, 0x02, 0x00, 0x06, 0x00, 0x0E, 0x37};
const Bytes kSirfToNmea = {0xA0, 0xA2, 0x00, 0x18, 0x81, 0x02, 0x01, 0x01, 0x00, 0x01, 0x01, 0x01,
                           0x05, 0x01, 0x01, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01,
                           0x00, 0x01, 0x25, 0x80, 0x01, 0x3A, 0xB0, 0xB3};

// A capture of whole frames, begun mid-frame and cut mid-frame, with one frame whose
// checksum is one off: only the whole, valid ones count.
Bytes Cut(const Bytes& frame, int whole) {
  Bytes capture(frame.end() - 3, frame.end());
  for (int n = 0; n < whole; ++n) capture.insert(capture.end(), frame.begin(), frame.end());
  Bytes bad = frame;
  bad[bad.size() - 3] ^= 1;  // the last payload byte of UBX, the sum's low byte of SiRF
  capture.insert(capture.end(), bad.begin(), bad.end());
  capture.insert(capture.end(), frame.begin(), frame.end() - 1);
  return capture;
}

CaptureContents Read(const Bytes& capture) {
  CaptureContents contents;
  ReadCapture(capture.data(), static_cast<int32_t>(capture.size()), &contents);
  return contents;
}

// The first 2047 bytes after the one the liveness test takes.
Bytes LogCapture(const std::string& file) {
  std::ifstream log(std::string(SENTROVA_NMEA_DIR) + "/" + file, std::ios::binary);
  Bytes bytes((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  if (bytes.size() > 2048) bytes.resize(2048);
  return bytes.empty() ? bytes : Bytes(bytes.begin() + 1, bytes.end());
}

TEST(CaptureContents, CountsOnlyWholeValidFrames) {
  CaptureContents ubx = Read(Cut(kUbxAck, 3));
  EXPECT_EQ(ubx.ubx, 3);
  EXPECT_EQ(ubx.sirf + ubx.nmea, 0);
  EXPECT_EQ(KindOfCapture(ubx), kSeenUbx);
  CaptureContents sirf = Read(Cut(kSirfToNmea, 2));
  EXPECT_EQ(sirf.sirf, 2);
  EXPECT_EQ(KindOfCapture(sirf), kSeenSirf);
  EXPECT_EQ(KindOfCapture(Read(Cut(kSirfToNmea, 1))), kSeenNothingKnown);  // one frame: chance

  // Real logs: receivers, GP and others, and instruments. None holds a binary frame.
  struct Case {
    const char* file;
    SeenKind kind;
    const char* sentence;
  } cases[] = {{"garmin48.nmea", kSeenGpUnrecognised, "$GPRMC"},
               {"humminbird-M37.nmea", kSeenOtherTalkers, "$INGGA"},
               {"sounder.nmea", kSeenOtherTalkers, "$SDDBT"},
               {"ais-raw-messages.nmea", kSeenInstrument, "!AIVDM"},
               {"pypilot.nmea", kSeenInstrument, "$APHDM"}};
  for (const Case& c : cases) {
    CaptureContents contents = Read(LogCapture(c.file));
    EXPECT_EQ(KindOfCapture(contents), c.kind) << c.file;
    EXPECT_TRUE(std::binary_search(contents.sentences.begin(), contents.sentences.end(),
                                   std::string(c.sentence))) << c.file;
  }
  DIR* folder = opendir(SENTROVA_NMEA_DIR);
  ASSERT_NE(folder, nullptr);
  int logs = 0;
  while (const dirent* entry = readdir(folder)) {
    std::string name = entry->d_name;
    if (name.size() < 5 || name.compare(name.size() - 5, 5, ".nmea") != 0) continue;
    CaptureContents contents = Read(LogCapture(name));
    EXPECT_EQ(contents.ubx + contents.sirf, 0) << name;
    ++logs;
  }
  closedir(folder);
  EXPECT_EQ(logs, 45);
}

// Port 3: junk at 4800, UBX at 9600, fewer frames at 19200, as many at 38400: judged at
// 9600. Port 5:
// junk at every rate. Port 6 answered its liveness test only.
TEST(SeenPorts, EachPortByItsBestRate) {
  std::mt19937 random(25);
  auto junk = [&random]() {
    Bytes bytes(2047);
    for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(random());
    return bytes;
  };
  BeginCaptureNotes();
  auto note = [](int32_t port, uint32_t rate, const Bytes& capture) {
    CaptureReport report = {port, rate, capture.data(), static_cast<int32_t>(capture.size()), false};
    NoteCapture(&report);
  };
  note(3, 4800, junk());
  note(3, 9600, Cut(kUbxAck, 4));
  note(3, 19200, Cut(kUbxAck, 2));
  note(3, 38400, Cut(kUbxAck, 4));  // as many as at 9600: the lower rate stays
  for (uint32_t rate : {4800, 9600, 19200, 38400, 57600, 115200}) note(5, rate, junk());
  note(6, 4800, {});
  EndCaptureNotes();
  std::vector<SeenPort> seen = TakeSeenPorts();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_TRUE(TakeSeenPorts().empty());
  std::vector<std::string> lines;
  SeenPortLines(seen[0], "/dev/ttyUSB0", &lines);
  SeenPortLines(seen[1], "/dev/ttyS0", &lines);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "COM3 at 9600: a u-blox receiver in binary mode (UBX), no NMEA");
  EXPECT_NE(lines[1].find("gpsctl -n /dev/ttyUSB0, or ubxtool -f /dev/ttyUSB0 -s 9600 -e NMEA"),
            std::string::npos);
  EXPECT_EQ(lines[2], "COM5 sends data at every rate, but no NMEA, UBX or SiRF binary: "
                      "no GPS receiver, or one at another rate");
  EXPECT_EQ(seen[1].rate, 0u);
}

}  // namespace
