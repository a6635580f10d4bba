// The simulator seen through its links by a plain termios client, as the program
// sees a port: what it sends at its own speed and at others, and that nothing stale
// survives a close.
#include "burst.h"
#include "sim.h"
#include "sim_launch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int kReadyDeadlineSeconds = 20;
constexpr int kDataDeadlineMs = 10000;  // only guards against a hang

int64_t NowMs() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

int OpenPort(const std::string& folder, int port, speed_t speed) {
  std::string path = folder + "/com" + std::to_string(port);
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  termios settings = {};
  tcgetattr(fd, &settings);
  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  cfsetispeed(&settings, speed);
  cfsetospeed(&settings, speed);
  tcsetattr(fd, TCSANOW, &settings);
  return fd;
}

// Reads until `want` bytes came or `windowMs` passed.
std::string ReadPort(int fd, size_t want, int windowMs) {
  std::string data;
  int64_t end = NowMs() + windowMs;
  while (data.size() < want) {
    int64_t left = end - NowMs();
    if (left <= 0) break;
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char chunk[256];
    ssize_t size = read(fd, chunk, std::min(sizeof chunk, want - data.size()));
    if (size > 0) data.append(chunk, static_cast<size_t>(size));
  }
  return data;
}

// Every complete sentence ("$...*hh\r\n") in the data has a right checksum; returns
// how many there were.
int CheckedSentences(const std::string& data, std::string* bad) {
  int good = 0;
  size_t start = data.find('$');
  while (start != std::string::npos) {
    size_t end = data.find("\r\n", start);
    if (end == std::string::npos) break;
    std::string sentence = data.substr(start, end - start);
    size_t star = sentence.find('*');
    unsigned sum = 0;
    if (star == std::string::npos || star + 3 != sentence.size() ||
        std::sscanf(sentence.c_str() + star + 1, "%2X", &sum) != 1 ||
        sum != NmeaChecksum(sentence.c_str() + 1, star - 1)) {
      *bad = sentence;
      return -1;
    }
    ++good;
    start = data.find('$', end);
  }
  return good;
}

// Junk is mostly high-bit bytes; NMEA text is long runs of printable ASCII.
size_t LongestTextRun(const std::string& data) {
  size_t longest = 0;
  size_t run = 0;
  for (char c : data) {
    bool text = (c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n';
    run = text ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  return longest;
}

struct SimulatorTest : ::testing::Test {
  std::string folder;
  SimProcess sim;

  void Start(const std::vector<std::string>& ports) {
    alarm(120);  // a hang fails the test instead of blocking the suite
    ASSERT_TRUE(MakeLinkFolder(&folder));
    std::vector<std::string> args = {"--dir", folder};
    if (getenv("SIM_VERBOSE") != nullptr) args.push_back("--verbose");
    for (const std::string& port : ports) {
      args.push_back("--port");
      args.push_back(port);
    }
    ASSERT_TRUE(StartSimulator(SENTROVA_SIM_PATH, args, kReadyDeadlineSeconds, &sim));
  }
  void TearDown() override {
    StopSimulator(&sim);
    RemoveLinkFolder(folder);
    alarm(0);
  }
};

TEST_F(SimulatorTest, SendsSentencesAtItsRateAndJunkAtOthers) {
  Start({"1:nmea:4800", "2:gn:4800", "3:nmea:4800:" SENTROVA_TEST_DATA "/nmea/garmin48.nmea"});

  int fd = OpenPort(folder, 1, B4800);
  ASSERT_GE(fd, 0);
  std::string text = ReadPort(fd, 600, kDataDeadlineMs);
  close(fd);
  std::string bad;
  EXPECT_GE(CheckedSentences(text, &bad), 5) << bad;
  EXPECT_NE(text.find("$GPRMC,"), std::string::npos);
  EXPECT_NE(text.find("$GPGSV,"), std::string::npos);

  fd = OpenPort(folder, 1, B9600);
  ASSERT_GE(fd, 0);
  std::string junk = ReadPort(fd, 600, kDataDeadlineMs);
  close(fd);
  EXPECT_EQ(junk.size(), 600u);
  EXPECT_EQ(junk.find('$'), std::string::npos);
  EXPECT_LT(LongestTextRun(junk), 12u);
  size_t high = 0;
  for (char c : junk) high += (static_cast<unsigned char>(c) & 0x80) != 0;
  EXPECT_GT(high, junk.size() / 2);

  fd = OpenPort(folder, 2, B4800);
  ASSERT_GE(fd, 0);
  std::string gn = ReadPort(fd, 600, kDataDeadlineMs);
  close(fd);
  EXPECT_GE(CheckedSentences(gn, &bad), 5) << bad;
  EXPECT_NE(gn.find("$GNRMC,"), std::string::npos);
  EXPECT_EQ(gn.find("$GP"), std::string::npos);

  // A replayed log comes byte for byte from its start on the first open.
  std::vector<unsigned char> log;
  std::string error;
  ASSERT_TRUE(LoadReplayText(SENTROVA_TEST_DATA "/nmea/garmin48.nmea", &log, &error)) << error;
  fd = OpenPort(folder, 3, B4800);
  ASSERT_GE(fd, 0);
  std::string replay = ReadPort(fd, 500, kDataDeadlineMs);
  close(fd);
  ASSERT_EQ(replay.size(), 500u);
  EXPECT_EQ(replay, std::string(log.begin(), log.begin() + 500));
}

TEST_F(SimulatorTest, NothingStaleSurvivesAClose) {
  Start({"1:nmea:4800", "2:silent", "3:alive-then-silent:9600"});

  // Leave NMEA unread in the queue, close, reopen at a speed that gets only junk and
  // read at once: a pty would hand the old sentences to the new open. First with
  // the close seen before the reopen, then with a reader that stopped long before
  // its close and a reopen right after it, as the program does.
  for (int stopMs : {200, 600}) {
    int fd = OpenPort(folder, 1, B4800);
    ASSERT_GE(fd, 0);
    ASSERT_FALSE(ReadPort(fd, 20, kDataDeadlineMs).empty());
    usleep(stopMs * 1000);
    close(fd);
    if (stopMs == 200) usleep(100'000);
    fd = OpenPort(folder, 1, B9600);
    ASSERT_GE(fd, 0);
    std::string after = ReadPort(fd, 300, kDataDeadlineMs);
    close(fd);
    EXPECT_EQ(after.size(), 300u) << stopMs;
    EXPECT_LT(LongestTextRun(after), 12u) << stopMs;
  }

  int fd = OpenPort(folder, 2, B4800);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ReadPort(fd, 1, 300), "");
  close(fd);

  fd = OpenPort(folder, 3, B4800);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ReadPort(fd, 1, 300), "");
  close(fd);
  fd = OpenPort(folder, 3, B9600);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ReadPort(fd, 100, kDataDeadlineMs).size(), 100u);
  close(fd);
}

TEST_F(SimulatorTest, StopsForAReaderThatStoppedAndAfterItsByteCount) {
  Start({"1:nmea:115200", "2:stop-after:4800:300"});

  // A reader that stops: what was queued is dropped and no more comes while it
  // keeps the port open; the next open gets data again.
  int fd = OpenPort(folder, 1, B115200);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ReadPort(fd, 100, kDataDeadlineMs).size(), 100u);
  usleep(2'500'000);
  EXPECT_EQ(ReadPort(fd, 1, 300), "");
  close(fd);
  fd = OpenPort(folder, 1, B115200);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ReadPort(fd, 100, kDataDeadlineMs).size(), 100u);
  close(fd);

  for (int open = 0; open < 2; ++open) {
    fd = OpenPort(folder, 2, B4800);
    ASSERT_GE(fd, 0);
    std::string data = ReadPort(fd, 300, kDataDeadlineMs);
    EXPECT_EQ(data.size(), 300u);
    EXPECT_EQ(ReadPort(fd, 1, 500), "") << "open " << open;
    close(fd);
  }
}

// A receiver talks once a second: one fix a burst, then nothing until the next; at
// another speed a few junk bytes while a burst lasts.
TEST_F(SimulatorTest, TalksInBurstsOnceASecond) {
  const char* log = SENTROVA_TEST_DATA "/nmea/ublox-lea-5h.nmea";
  Start({"1:nmea:115200+500", std::string("2:nmea:9600:") + log});
  std::vector<unsigned char> text;
  std::string error;
  ASSERT_TRUE(LoadReplayText(log, &text, &error)) << error;
  size_t at = 0;
  std::vector<uint32_t> epochs = SplitIntoBursts(text, &at);
  ASSERT_GE(epochs.size(), 3u);
  EXPECT_EQ(std::string(text.begin() + at, text.begin() + at + 7), "$GPRMC,");  // past the banner

  // A replay from its first open: each burst is the log's next epoch, whole.
  int fd = OpenPort(folder, 2, B9600);
  ASSERT_GE(fd, 0);
  for (int burst = 0; burst < 2; ++burst) {
    std::string got = ReadPort(fd, epochs[burst], kDataDeadlineMs);
    EXPECT_EQ(got, std::string(text.begin() + at, text.begin() + at + epochs[burst])) << burst;
    EXPECT_EQ(ReadPort(fd, 1, 300), "") << "the line is idle after burst " << burst;
    at += epochs[burst];
  }
  close(fd);

  // The built-in fix: GGA to VTG, then the line is idle.
  fd = OpenPort(folder, 1, B115200);
  ASSERT_GE(fd, 0);
  std::string first = ReadPort(fd, 1, kDataDeadlineMs);
  std::string burst = first + ReadPort(fd, 2000, 300);
  close(fd);
  std::string bad;
  EXPECT_EQ(CheckedSentences(burst, &bad), 7) << bad;
  EXPECT_EQ(burst.find("$GPGGA,"), 0u);
  EXPECT_EQ(burst.rfind("$GP"), burst.find("$GPVTG,"));

  // At 4800 it is about 19 junk bytes a burst: two or three bursts in 2.5 s.
  fd = OpenPort(folder, 1, B4800);
  ASSERT_GE(fd, 0);
  std::string junk = ReadPort(fd, 1000, 2500);
  close(fd);
  EXPECT_GE(junk.size(), 2 * 17u);
  EXPECT_LE(junk.size(), 3 * 20u);
  EXPECT_EQ(junk.find('$'), std::string::npos);
}

// Where the bursts lie and when they go, as pure arithmetic.
TEST(Bursts, FixesScheduleAndJunk) {
  std::vector<unsigned char> builtIn = BuiltInText(false);
  size_t at = 7;
  std::vector<uint32_t> sizes = SplitIntoBursts(builtIn, &at);
  ASSERT_EQ(sizes.size(), 5u);
  EXPECT_EQ(at, 0u);
  for (uint32_t size : sizes) {
    EXPECT_NEAR(size, 450.0, 30.0);
    EXPECT_EQ(std::string(builtIn.begin() + at, builtIn.begin() + at + 6), "$GPGGA");
    at += size;
  }
  EXPECT_EQ(SplitIntoBursts(std::vector<unsigned char>(1000, 0xB5), &at),
            std::vector<uint32_t>({450, 450, 100}));
  // Binary receivers: a fix from one frame of the first frame's message to the next.
  for (const std::vector<unsigned char>& frames : {BuiltInUbx(), BuiltInSirf()}) {
    EXPECT_EQ(SplitIntoBursts(frames, &at), std::vector<uint32_t>(5, frames.size() / 5));
    EXPECT_EQ(at, 0u);
  }
  // A cut log: its last part fix and the part it begins with are one burst.
  std::string cut =
      "GSV*00\r\n" + MakeSentence("GPGGA,1") + MakeSentence("GPGSA") + MakeSentence("GPGGA,2");
  EXPECT_EQ(SplitIntoBursts(std::vector<unsigned char>(cut.begin(), cut.end()), &at),
            std::vector<uint32_t>({13 + 11, 13 + 8}));
  EXPECT_EQ(at, 8u);

  DeviceBehaviour receiver;
  receiver.ownRate = 115200;
  receiver.atOwnRate = LineOutput::kText;
  receiver.atOtherRates = LineOutput::kGarbage;
  receiver.text = builtIn;
  BurstSchedule schedule = MakeBurstSchedule(receiver);
  EXPECT_EQ(schedule.cycleNs, 5'000'000'000);
  BurstSlot slot;
  ASSERT_TRUE(BurstAt(schedule, -200'000'000, &slot));  // talking before the first open
  EXPECT_EQ(slot.index, -1);
  EXPECT_EQ(slot.startNs, -1'000'000'000);
  ASSERT_TRUE(BurstAt(schedule, 6'200'000'000, &slot));
  EXPECT_EQ(slot.index, 6);
  EXPECT_EQ(slot.startNs, 6'000'000'000);
  EXPECT_EQ(slot.offset, sizes[0]);
  EXPECT_EQ(slot.size, sizes[1]);
  EXPECT_EQ(BurstBytesPerSecond(receiver, 4800) * slot.lengthNs / 1'000'000'000, 18);

  // A fix that outlasts its period at 4800 (5 Hz): each burst follows the last at once.
  ASSERT_TRUE(ParseRateField("4800/5+150", &receiver));
  EXPECT_EQ(receiver.updateHz, 5u);
  EXPECT_EQ(receiver.phaseMs, 150u);
  schedule = MakeBurstSchedule(receiver);
  ASSERT_EQ(schedule.startNs.size(), 5u);
  EXPECT_EQ(schedule.startNs[1], schedule.lengthNs[0]);
  ASSERT_TRUE(ParseRateField("9600/stream", &receiver));
  EXPECT_EQ(receiver.updateHz, 0u);
  EXPECT_EQ(MakeBurstSchedule(receiver).cycleNs, 0);
  for (const char* wrong : {"4800/0", "4800/21", "4800+1000", "4800/10+100", "4800/stream+5",
                            "4800/", "4800+", "4800/5/5", "+5"}) {
    EXPECT_FALSE(ParseRateField(wrong, &receiver)) << wrong;
  }
}

TEST_F(SimulatorTest, RemovesItsLinksWhenStopped) {
  Start({"4:silent", "200:silent"});
  EXPECT_EQ(access((folder + "/com4").c_str(), F_OK), 0);
  EXPECT_EQ(access((folder + "/com200").c_str(), F_OK), 0);
  EXPECT_TRUE(StopSimulator(&sim));
  EXPECT_NE(access((folder + "/com4").c_str(), F_OK), 0);
  EXPECT_NE(access((folder + "/com200").c_str(), F_OK), 0);
}

TEST(PortArgument, ParsesModesAndRejectsNonsense) {
  std::vector<DeviceBehaviour> devices;
  std::string error;
  ASSERT_TRUE(ParsePortArgument("5-7:silent", &devices, &error)) << error;
  ASSERT_TRUE(ParsePortArgument("9:stop-after:4800:300", &devices, &error)) << error;
  ASSERT_EQ(devices.size(), 4u);
  EXPECT_EQ(devices[2].port, 7);
  EXPECT_EQ(devices[3].ownRate, 4800u);
  EXPECT_EQ(devices[3].bytesPerOpen, 300u);
  EXPECT_EQ(OutputAt(devices[3], 4800), LineOutput::kText);
  EXPECT_EQ(OutputAt(devices[3], 9600), LineOutput::kGarbage);
  EXPECT_EQ(OutputAt(devices[0], 4800), LineOutput::kNothing);

  ASSERT_TRUE(ParsePortArgument("10:nmea:38400/10+20", &devices, &error)) << error;
  EXPECT_EQ(devices[4].ownRate, 38400u);
  EXPECT_EQ(devices[4].updateHz, 10u);
  EXPECT_EQ(devices[4].phaseMs, 20u);
  devices.pop_back();
  for (const char* wrong : {"0:silent", "256:silent", "3", "3:nmea", "3:nmea:fast", "3:gn:4800:x",
                            "3:silent:4800", "3:loud", "7-5:silent", "3:stop-after:4800",
                            "3:nmea:4800:/nonexistent/log"}) {
    EXPECT_FALSE(ParsePortArgument(wrong, &devices, &error)) << wrong;
  }
  EXPECT_EQ(devices.size(), 4u);
}

}  // namespace
