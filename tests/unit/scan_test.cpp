// Whole scans over the fake port layer: order, names, log, progress, waits, and the
// ways a port can fail on the way.
#include "scan_fixture.h"

#include <cstdio>
#include <cstring>

namespace {

class ScanTest : public FakeScanTest {};

std::wstring ExpectedName(int32_t port) {
  wchar_t name[16];
  if (port <= 9) {
    std::swprintf(name, 16, L"COM%d:", static_cast<int>(port));
  } else {
    std::swprintf(name, 16, L"\\\\.\\COM%d", static_cast<int>(port));
  }
  return name;
}

// Progress as the scan reports it for the given attempts (port numbers, one entry per
// attempt), found or not.
std::vector<int32_t> ExpectedProgress(const std::vector<int32_t>& attempts) {
  std::vector<int32_t> progress = {0};
  for (int32_t port : attempts) progress.push_back(PortProgress(port));
  progress.push_back(100);
  return progress;
}

TEST_F(ScanTest, NoPortsAtAll) {
  ScanOutcome outcome = RunScan();
  EXPECT_FALSE(outcome.found);
  EXPECT_EQ(outcome.port, -7);  // untouched
  EXPECT_EQ(outcome.rate, 12345u);

  std::string log;
  std::vector<int32_t> attempts;
  for (int32_t port = 1; port <= 255; ++port) {
    log += CheckingLine(port, 4800) + kNoSuchPortLine;
    attempts.push_back(port);
  }
  EXPECT_EQ(outcome.log, log);
  EXPECT_EQ(ProgressSeen(), ExpectedProgress(attempts));
  EXPECT_EQ(ProgressSeen()[2], 0);  // port 2
  EXPECT_EQ(ProgressSeen()[3], 1);  // port 3

  // One open per port, under the name Windows knows it by, and nothing else.
  std::vector<FakeCall> calls = FakeCalls();
  ASSERT_EQ(calls.size(), 255u);
  for (int32_t port = 1; port <= 255; ++port) {
    const FakeCall& call = calls[port - 1];
    EXPECT_EQ(static_cast<int>(call.kind), static_cast<int>(FakeCallKind::kCreateFile));
    EXPECT_EQ(call.name, ExpectedName(port)) << port;
    EXPECT_EQ(call.port, port);
  }
  EXPECT_EQ(calls[8].name, L"COM9:");
  EXPECT_EQ(calls[9].name, L"\\\\.\\COM10");
  EXPECT_EQ(calls[254].name, L"\\\\.\\COM255");
  EXPECT_EQ(FakeNowMs(), 0u);
}

// The receiver sends the liveness byte and then exactly the 1024 bytes a capture needs,
// and goes quiet: enough at the first look after the wait.
TEST_F(ScanTest, ReceiverOnPort3At4800) {
  FakeScriptPort(3, ReceiverPort(4800, 1 + kCaptureThreshold));
  ScanOutcome outcome = RunScan();
  ASSERT_TRUE(outcome.found);
  EXPECT_EQ(outcome.port, 3);
  EXPECT_EQ(outcome.rate, 4800u);
  EXPECT_EQ(outcome.log, CheckingLine(1, 4800) + kNoSuchPortLine + CheckingLine(2, 4800) +
                             kNoSuchPortLine + CheckingLine(3, 4800) + kAliveLine);
  EXPECT_EQ(ProgressSeen(), ExpectedProgress({1, 2, 3}));
  // One wait of 7 s, then the port is closed; ports 4 and up are never opened.
  EXPECT_EQ(DriverSleeps(), std::vector<DWORD>({7000}));
  EXPECT_EQ(CallsOf(FakeCallKind::kCreateFile).size(), 3u);
  std::vector<FakeCall> closes = CallsOf(FakeCallKind::kCloseHandle);
  ASSERT_EQ(closes.size(), 2u);  // the port, then the reader's thread handle
  EXPECT_EQ(closes[0].port, 3);
  EXPECT_EQ(closes[1].handle, CallsOf(FakeCallKind::kCreateThread)[0].handle);
}

// Port-major order through every kind of failure, each port closed before the next
// one is opened.
TEST_F(ScanTest, EveryKindOfPortInOrder) {
  FakePortScript busy = ReceiverPort(4800);
  busy.busy = true;
  FakeScriptPort(2, busy);
  FakePortScript refusesState = ReceiverPort(4800);
  refusesState.refuseCommState = true;
  FakeScriptPort(3, refusesState);
  FakePortScript refusesTimeouts = ReceiverPort(4800);
  refusesTimeouts.refuseCommTimeouts = true;
  FakeScriptPort(4, refusesTimeouts);
  FakeScriptPort(5, PlainPort());  // silent
  FakePortScript garbageThenSilent = PlainPort();
  garbageThenSilent.streams[4800] = Stream(Garbage(3000), 480);
  FakeScriptPort(6, garbageThenSilent);
  FakeScriptPort(7, ReceiverPort(4800));
  FakeScriptPort(8, ReceiverPort(4800));

  ScanOutcome outcome = RunScan();
  ASSERT_TRUE(outcome.found);
  EXPECT_EQ(outcome.port, 7);
  EXPECT_EQ(outcome.rate, 4800u);
  EXPECT_EQ(outcome.log,
            CheckingLine(1, 4800) + kNoSuchPortLine + CheckingLine(2, 4800) + kNoSuchPortLine +
                CheckingLine(3, 4800) + CheckingLine(4, 4800) + CheckingLine(5, 4800) + kDeadLine +
                CheckingLine(6, 4800) + kAliveLine + CheckingLine(6, 9600) + kDeadLine +
                CheckingLine(7, 4800) + kAliveLine);
  EXPECT_EQ(ProgressSeen(), ExpectedProgress({1, 2, 3, 4, 5, 6, 6, 7}));

  std::vector<int32_t> opened;
  for (const FakeCall& call : CallsOf(FakeCallKind::kCreateFile)) opened.push_back(call.port);
  EXPECT_EQ(opened, std::vector<int32_t>({1, 2, 3, 4, 5, 6, 6, 7}));
  ExpectClosedBeforeNextOpen();
  EXPECT_EQ(DriverSleeps(), std::vector<DWORD>({7000, 7000}));
}

// A receiver at 38400 on port 12 whose port delivers garbage at the lower rates.
TEST_F(ScanTest, ReceiverOnPort12At38400) {
  FakePortScript script = PlainPort();
  script.streams[4800] = Stream(Garbage(4000, 1), 480);
  script.streams[9600] = Stream(Garbage(4000, 2), 960);
  script.streams[19200] = Stream(Garbage(4000, 3), 1920);
  script.streams[38400] = Stream(NmeaText(8000), 3840);
  script.streams[57600] = Stream(NmeaText(8000), 5760);
  FakeScriptPort(12, script);

  ScanOutcome outcome = RunScan();
  ASSERT_TRUE(outcome.found);
  EXPECT_EQ(outcome.port, 12);
  EXPECT_EQ(outcome.rate, 38400u);
  std::string log;
  for (int32_t port = 1; port <= 11; ++port) log += CheckingLine(port, 4800) + kNoSuchPortLine;
  for (uint32_t rate : {4800u, 9600u, 19200u, 38400u}) log += CheckingLine(12, rate) + kAliveLine;
  EXPECT_EQ(outcome.log, log);

  std::vector<uint32_t> rates;
  for (const FakeCall& call : CallsOf(FakeCallKind::kSetCommState)) {
    DCB dcb;
    std::memcpy(&dcb, call.dcb, sizeof dcb);
    rates.push_back(dcb.BaudRate);
    EXPECT_EQ(call.port, 12);
  }
  EXPECT_EQ(rates, std::vector<uint32_t>({4800, 9600, 19200, 38400}));
  EXPECT_EQ(CallsOf(FakeCallKind::kCreateFile).back().name, L"\\\\.\\COM12");
  EXPECT_EQ(DriverSleeps(), std::vector<DWORD>({7000, 3000, 1000, 1000}));
  ExpectClosedBeforeNextOpen();
}

// DTR then RTS after the line settings, at every rate tried.
TEST_F(ScanTest, DtrBeforeRtsAtEveryRate) {
  FakePortScript script = PlainPort();
  for (uint32_t rate : kBaudRates) script.streams[rate] = Stream(Garbage(3000, rate));
  FakeScriptPort(1, script);
  ScanOutcome outcome = RunScan();
  EXPECT_FALSE(outcome.found);

  std::vector<FakeCall> calls = FakeCalls();
  int32_t attempts = 0;
  for (size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].kind != FakeCallKind::kCreateFile || calls[i].port != 1) continue;
    ++attempts;
    ASSERT_LT(i + 6, calls.size());
    EXPECT_EQ(static_cast<int>(calls[i + 4].kind), static_cast<int>(FakeCallKind::kSetCommTimeouts));
    EXPECT_EQ(static_cast<int>(calls[i + 5].kind), static_cast<int>(FakeCallKind::kEscapeCommFunction));
    EXPECT_EQ(calls[i + 5].value, static_cast<DWORD>(SETDTR));
    EXPECT_EQ(static_cast<int>(calls[i + 6].kind), static_cast<int>(FakeCallKind::kEscapeCommFunction));
    EXPECT_EQ(calls[i + 6].value, static_cast<DWORD>(SETRTS));
    EXPECT_EQ(calls[i + 6].handle, calls[i].handle);
  }
  EXPECT_EQ(attempts, 6);
  // Every capture was full at the first look: no waiting at all.
  EXPECT_TRUE(DriverSleeps().empty());
}

// A port that passes the liveness test and then stops short of the threshold, its
// capture at the pace the bound needs: the driver gives up after
// kCaptureWaitLimitSeconds at each rate and goes on with the next.
TEST_F(ScanTest, WaitForACaptureIsBounded) {
  FakePortScript script = PlainPort();
  for (uint32_t rate : kBaudRates) script.streams[rate] = Stream(NmeaText(1001));
  FakeScriptPort(1, script);
  ScanOutcome outcome = RunScan();
  EXPECT_FALSE(outcome.found);

  std::vector<DWORD> expected;
  for (uint32_t rate : kBaudRates) {
    uint32_t wait = WaitPeriodSeconds(rate);
    for (uint32_t slept = 0; slept < kCaptureWaitLimitSeconds; slept += wait) {
      expected.push_back(wait * 1000);
    }
  }
  ASSERT_EQ(kCaptureWaitLimitSeconds, 30u);
  EXPECT_EQ(expected.size(), 5u + 10u + 4 * 30u);
  EXPECT_EQ(DriverSleeps(), expected);
  std::string log;
  for (uint32_t rate : kBaudRates) log += CheckingLine(1, rate) + kAliveLine;
  EXPECT_EQ(outcome.log.substr(0, log.size()), log);
}

// Bursts once a second. A receiver at 115200 seen at 4800 is 19 garbage bytes a burst,
// too few to reach the threshold by the bound: given up at the first look, not after
// 35 s. A slow but real one (70 bytes a second, at 4800) still gets its 1024 bytes,
// and 300 bytes and then silence end at the second look.
TEST_F(ScanTest, CaptureBehindThePaceOfTheBoundEndsEarly) {
  auto bursts = [](std::string bytes, uint32_t rate, uint32_t perBurst) {
    FakeStream stream = Stream(std::move(bytes), rate / 10);
    stream.burstBytes = perBurst;
    stream.firstByteMs = 300;
    return stream;
  };
  FakePortScript fast = PlainPort();
  for (uint32_t rate : kBaudRates) {
    fast.streams[rate] = rate == 115200 ? bursts(NmeaText(20000), rate, 450)
                                        : bursts(Garbage(20000, rate), rate, 450 * rate / 115200);
  }
  FakeScriptPort(1, fast);
  ScanOutcome outcome = RunScan();
  EXPECT_TRUE(outcome.found);
  EXPECT_EQ(outcome.rate, 115200u);
  std::vector<DWORD> sleeps = DriverSleeps();
  ASSERT_GE(sleeps.size(), 2u);
  EXPECT_EQ(sleeps[0], 7000u);  // the one wait at 4800
  EXPECT_EQ(sleeps[1], 3000u);

  FakeReset();
  FakePortScript slow = PlainPort();
  slow.streams[4800] = bursts(NmeaText(3000), 4800, 70);
  FakeScriptPort(1, slow);
  outcome = RunScan();
  EXPECT_TRUE(outcome.found);
  EXPECT_EQ(outcome.port, 1);
  EXPECT_EQ(DriverSleeps(), std::vector<DWORD>({7000, 7000, 7000}));

  FakeReset();
  FakePortScript stops = PlainPort();
  stops.streams[4800] = Stream(NmeaText(300), 480);
  FakeScriptPort(2, stops);
  EXPECT_FALSE(RunScan().found);
  EXPECT_EQ(DriverSleeps(), std::vector<DWORD>({7000, 7000}));
}

// A device that goes away mid-capture: its reader ends at the failed read, and the
// driver stops waiting as soon as it sees that.
TEST_F(ScanTest, UnpluggedMidCapture) {
  FakePortScript script = PlainPort();
  script.streams[4800] = Stream(NmeaText(300), 100, FakeStreamEnd::kReadsFail);
  FakeScriptPort(1, script);
  FakeScriptPort(2, ReceiverPort(4800));
  ScanOutcome outcome = RunScan();
  // Too few bytes to analyse; at 9600 port 1 is silent and left.
  ASSERT_TRUE(outcome.found);
  EXPECT_EQ(outcome.port, 2);
  EXPECT_EQ(outcome.rate, 4800u);
  EXPECT_EQ(DriverSleeps(), std::vector<DWORD>({7000, 7000}));

  std::vector<FakeCall> reads = CallsOf(FakeCallKind::kReadFile, true);
  // Port 1's reader: 299 bytes, one failed read, nothing after it.
  size_t failedAt = reads.size();
  int32_t port1Reads = 0;
  for (size_t i = 0; i < reads.size(); ++i) {
    if (reads[i].port != 1) continue;
    ++port1Reads;
    if (!reads[i].result && failedAt == reads.size()) failedAt = i;
  }
  ASSERT_LT(failedAt, reads.size());
  EXPECT_EQ(port1Reads, 300);
  int32_t port1ReadsAfterFailure = 0;  // counted: a reader that went on makes thousands
  for (size_t i = failedAt + 1; i < reads.size(); ++i) port1ReadsAfterFailure += reads[i].port == 1;
  EXPECT_EQ(port1ReadsAfterFailure, 0);
  EXPECT_EQ(outcome.log, CheckingLine(1, 4800) + kAliveLine + CheckingLine(1, 9600) + kDeadLine +
                             CheckingLine(2, 4800) + kAliveLine);
}

// The reader's first wait fails or brings only a modem event.
TEST_F(ScanTest, ReaderWaitOutcomes) {
  FakePortScript failing = ReceiverPort(4800);
  failing.waitOutcomes = {{FALSE, 0}};
  FakeScriptPort(1, failing);
  FakePortScript modemEvent = ReceiverPort(4800);
  modemEvent.waitOutcomes = {{TRUE, EV_RING}};
  FakeScriptPort(2, modemEvent);

  ScanOutcome outcome = RunScan();
  ASSERT_TRUE(outcome.found);
  EXPECT_EQ(outcome.port, 2);
  EXPECT_EQ(outcome.rate, 4800u);
  // Port 1's reader ended at once: no sleep for it, and port 1 is silent at 9600.
  EXPECT_EQ(DriverSleeps(), std::vector<DWORD>({7000}));
  EXPECT_EQ(outcome.log, CheckingLine(1, 4800) + kAliveLine + CheckingLine(1, 9600) + kDeadLine +
                             CheckingLine(2, 4800) + kAliveLine);
  int32_t port1Reads = 0;
  for (const FakeCall& read : CallsOf(FakeCallKind::kReadFile, true)) port1Reads += read.port == 1;
  EXPECT_EQ(port1Reads, 0);
}

// No reader thread: the port is closed, its other rates skipped, and nothing waits.
TEST_F(ScanTest, ReaderThatCannotStart) {
  FakeScriptPort(1, ReceiverPort(4800));
  FakeScriptPort(2, ReceiverPort(4800));
  FakeFailCreateThread(1);
  ScanOutcome outcome = RunScan();
  ASSERT_TRUE(outcome.found);
  EXPECT_EQ(outcome.port, 2);
  EXPECT_EQ(outcome.rate, 4800u);
  EXPECT_EQ(outcome.log, CheckingLine(1, 4800) + kAliveLine + CheckingLine(2, 4800) + kAliveLine);
  EXPECT_EQ(ProgressSeen(), ExpectedProgress({1, 2}));
  EXPECT_EQ(DriverSleeps(), std::vector<DWORD>({7000}));
  ExpectClosedBeforeNextOpen();
}

// DTR and RTS refused (a port without modem lines): the receiver is still found.
TEST_F(ScanTest, PortWithoutModemLines) {
  FakePortScript script = ReceiverPort(19200);
  script.escapeFails = true;
  script.streams[4800] = Stream(Garbage(3000), 480);
  script.streams[9600] = Stream(Garbage(3000), 960);
  FakeScriptPort(5, script);
  ScanOutcome outcome = RunScan();
  ASSERT_TRUE(outcome.found);
  EXPECT_EQ(outcome.port, 5);
  EXPECT_EQ(outcome.rate, 19200u);
  EXPECT_EQ(CallsOf(FakeCallKind::kEscapeCommFunction).size(), 6u);
}

// The closes of one port's handles, in order, with their results.
std::vector<bool> CloseResultsOf(int32_t port) {
  std::vector<bool> results;
  for (const FakeCall& call : CallsOf(FakeCallKind::kCloseHandle)) {
    if (call.port == port) results.push_back(call.result);
  }
  return results;
}

// Failed closes after a capture, after a failed probe and at the result. A close fails
// only for a value that is no longer an open handle, so none is tried again: under the
// Windows model that value goes to the next open, whose port a second close would
// take from under it. Each open is closed exactly once, and nothing waits for a retry.
TEST_F(ScanTest, FailedCloseIsNotRetried) {
  FakePortScript garbage = PlainPort();
  garbage.streams[4800] = Stream(Garbage(4000), 200);
  garbage.closeFailures = 1;
  FakeScriptPort(1, garbage);
  FakePortScript refuses = ReceiverPort(4800);
  refuses.refuseCommState = true;
  refuses.closeFailures = 1;
  FakeScriptPort(2, refuses);
  FakePortScript receiver = ReceiverPort(4800);
  receiver.closeFailures = 1;
  FakeScriptPort(3, receiver);
  ScanOutcome outcome = RunScan(false);  // the field keeps the last, stale value
  ASSERT_TRUE(outcome.found);
  EXPECT_EQ(outcome.port, 3);
  EXPECT_EQ(outcome.rate, 4800u);
  EXPECT_EQ(outcome.log, CheckingLine(1, 4800) + kAliveLine + CheckingLine(1, 9600) + kDeadLine +
                             CheckingLine(2, 4800) + CheckingLine(3, 4800) + kAliveLine);
  EXPECT_EQ(CloseResultsOf(1), std::vector<bool>({false, true}));
  EXPECT_EQ(CloseResultsOf(2), std::vector<bool>({false}));
  EXPECT_EQ(CloseResultsOf(3), std::vector<bool>({false}));
  EXPECT_EQ(DriverSleeps(), std::vector<DWORD>({7000, 7000}));
  EXPECT_EQ(FakeOpenPortCount(), 0);
  EXPECT_EQ(FakeAliveReaderCount(), 0);
  ExpectClosedBeforeNextOpen();
  size_t opens = 0;
  for (const FakeCall& call : CallsOf(FakeCallKind::kCreateFile)) opens += call.result ? 1 : 0;
  EXPECT_EQ(CallsOf(FakeCallKind::kCloseHandle).size(), opens + 2);  // and two reader threads
}

}  // namespace
