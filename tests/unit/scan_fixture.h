// Shared by the tests that run the detection core over the fake port layer.
#pragma once

#include "detect/port_probe.h"
#include "detect/scan_context.h"
#include "detect/scan_driver.h"
#include "fake_port.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

inline std::vector<int32_t>& ProgressSeen() {
  static std::vector<int32_t> seen;
  return seen;
}

inline void RecordProgress(int32_t percent) { ProgressSeen().push_back(percent); }

const char kNoSuchPortLine[] = "No such port. Skipping.\n";
const char kDeadLine[] = "Port exists, but seems to be dead. Skipping.\n";
const char kAliveLine[] = "Port exists, not dead. Trying to analyze data for GPS sentences.\n";

inline std::string CheckingLine(int32_t port, uint32_t rate) {
  char line[64];
  std::snprintf(line, sizeof line, "Checking port COM%d: bauds rate %u\n", static_cast<int>(port),
                static_cast<unsigned>(rate));
  return line;
}

// Plain NMEA output of a GP receiver, repeated to the size asked.
inline std::string NmeaText(size_t size) {
  const std::string cycle =
      "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n"
      "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n"
      "$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1*39\r\n";
  std::string text;
  while (text.size() < size) text += cycle;
  text.resize(size);
  return text;
}

// What a receiver looks like through a UART at the wrong speed: bytes, never a "$".
inline std::string Garbage(size_t size, uint32_t seed = 1) {
  std::string bytes(size, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>((state >> 16) & 0xFF);
    if (byte == '$') byte = '#';
  }
  return bytes;
}

inline FakeStream Stream(std::string bytes, uint32_t bytesPerSecond = 0,
                         FakeStreamEnd end = FakeStreamEnd::kSilent) {
  FakeStream stream;
  stream.bytes = std::move(bytes);
  stream.bytesPerSecond = bytesPerSecond;
  stream.end = end;
  return stream;
}

// A port that exists and reports a plain DCB and zero timeouts.
inline FakePortScript PlainPort() {
  FakePortScript script;
  script.reportedDcb.DCBlength = sizeof(DCB);
  script.reportedDcb.BaudRate = 9600;
  script.reportedDcb.ByteSize = 7;
  script.reportedDcb.Parity = 2;
  script.reportedDcb.StopBits = 2;
  return script;
}

inline FakePortScript ReceiverPort(uint32_t rate, size_t size = 4000) {
  FakePortScript script = PlainPort();
  script.streams[rate] = Stream(NmeaText(size), rate / 10);
  return script;
}

inline std::vector<FakeCall> CallsOf(FakeCallKind kind, bool onReader = false) {
  std::vector<FakeCall> found;
  for (const FakeCall& call : FakeCalls()) {
    if (call.kind == kind && call.onReader == onReader) found.push_back(call);
  }
  return found;
}

// The driver's waits, in whole seconds: every Sleep but the liveness test's short ones.
inline std::vector<DWORD> DriverSleeps() {
  std::vector<DWORD> sleeps;
  for (const FakeCall& call : CallsOf(FakeCallKind::kSleep)) {
    if (call.value >= 1000) sleeps.push_back(call.value);
  }
  return sleeps;
}

// Every handle opened is closed before the next open, and nothing else is open then.
// A close that reports failure counts: the value was no longer an open handle.
inline void ExpectClosedBeforeNextOpen() {
  HANDLE open = nullptr;
  for (const FakeCall& call : FakeCalls()) {
    if (call.kind == FakeCallKind::kCreateFile) {
      EXPECT_EQ(open, nullptr) << "port " << call.port << " opened while another is open";
      if (call.result) open = call.handle;
    } else if (call.kind == FakeCallKind::kCloseHandle && call.handle == open) {
      open = nullptr;
    }
  }
}

struct ScanOutcome {
  bool found;
  int32_t port;
  uint32_t rate;
  std::string log;
};

class FakeScanTest : public testing::Test {
 protected:
  void SetUp() override {
    FakeReset();
    ProgressSeen().clear();
  }
  void TearDown() override {
    EXPECT_FALSE(FakeReaderRanAway()) << "a reader never waited for the clock";
    EXPECT_FALSE(FakeCallHung()) << "a call waited for ever behind another on its port";
    EXPECT_FALSE(FakeTimeRanOut()) << "virtual time ran past the longest a scan can take ("
                                   << kFakeLongestScanMs / 3600000 << " h): a wait without end";
    EXPECT_FALSE(FakeReaderOutlivedItsHandle())
        << "a reader's thread handle was closed before the reader ended";
    FakeReset();
  }

  // Runs a whole scan. When `expectClean`, checks that it left no port open, no
  // reader running and the context in its resting state.
  static ScanOutcome RunScan(bool expectClean = true) {
    ScanContext* context = CreateScanContext(RecordProgress);
    EXPECT_NE(context, nullptr);
    ScanOutcome outcome = {false, -7, 12345, ""};
    testing::internal::CaptureStdout();
    outcome.found = ScanForReceiver(context, &outcome.port, &outcome.rate);
    outcome.log = testing::internal::GetCapturedStdout();
    if (expectClean) {
      EXPECT_EQ(FakeOpenPortCount(), 0);
      EXPECT_EQ(FakeAliveReaderCount(), 0);
      EXPECT_EQ(context->portHandle, INVALID_HANDLE_VALUE);
      EXPECT_EQ(context->portOpen, 0);
    }
    EXPECT_EQ(context->readerThread, nullptr);
    DestroyScanContext(context);
    return outcome;
  }
};
