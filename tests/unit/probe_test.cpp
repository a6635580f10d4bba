// One port during one attempt, over the fake port layer: the probe's configuration
// and liveness test, the capture reader and the close.
#include "scan_fixture.h"

#include "fake_win32.h"

#include <cstddef>
#include <cstring>
#include <random>

namespace {

class ProbeTest : public FakeScanTest {
 protected:
  void SetUp() override {
    FakeScanTest::SetUp();
    context = CreateScanContext(nullptr);
    ASSERT_NE(context, nullptr);
  }
  void TearDown() override {
    ClosePort(context);
    EndReader(context);
    EXPECT_EQ(FakeAliveReaderCount(), 0);
    DestroyScanContext(context);
    FakeScanTest::TearDown();
  }

  // Probes port 1 at the rate, with stdout captured into `log`.
  bool Probe(uint32_t rate) {
    testing::internal::CaptureStdout();
    bool ok = ProbePort(rate, MakePortName(1), context);
    log = testing::internal::GetCapturedStdout();
    return ok;
  }

  std::string Captured() const {
    return std::string(reinterpret_cast<const char*>(context->captureBuffer),
                       static_cast<size_t>(context->capture.count.load()));
  }

  ScanContext* context = nullptr;
  std::string log;
};

// The DCB flag word for several reported words, and every other field of the DCB.
TEST_F(ProbeTest, LineSettingsKeepWhatThePortReported) {
  std::mt19937 random(20240601);
  std::vector<uint32_t> reportedFlags = {0u, 0xFFFFFFFFu, 0x00006F6Cu, 0xFFFF0000u};
  for (int i = 0; i < 4; ++i) reportedFlags.push_back(static_cast<uint32_t>(random()));

  for (uint32_t flags : reportedFlags) {
    SCOPED_TRACE(testing::Message() << std::hex << "reported flags 0x" << flags);
    FakeReset();
    context->portHandle = INVALID_HANDLE_VALUE;
    FakePortScript script = PlainPort();
    unsigned char reported[sizeof(DCB)];
    for (size_t i = 0; i < sizeof reported; ++i) reported[i] = static_cast<unsigned char>(random());
    std::memcpy(&script.reportedDcb, reported, sizeof reported);
    script.reportedDcb.DCBlength = sizeof(DCB);
    std::memcpy(reinterpret_cast<unsigned char*>(&script.reportedDcb) + 8, &flags, 4);
    std::memcpy(reported, &script.reportedDcb, sizeof reported);
    script.reportedTimeouts = {5, 6, 7, 8, 9};
    script.streams[57600] = Stream(NmeaText(100));
    FakeScriptPort(1, script);

    ASSERT_TRUE(Probe(57600));
    ClosePort(context);
    EndReader(context);

    std::vector<FakeCall> gets = CallsOf(FakeCallKind::kGetCommState);
    ASSERT_EQ(gets.size(), 1u);
    DWORD lengthBeforeRead = 0;
    std::memcpy(&lengthBeforeRead, gets[0].dcb, 4);
    EXPECT_EQ(lengthBeforeRead, 28u);

    std::vector<FakeCall> sets = CallsOf(FakeCallKind::kSetCommState);
    ASSERT_EQ(sets.size(), 1u);
    const unsigned char* written = sets[0].dcb;
    DCB dcb;
    std::memcpy(&dcb, written, sizeof dcb);
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, 0);
    EXPECT_EQ(dcb.StopBits, 0);
    EXPECT_EQ(FakeDcbFlags(sets[0].dcb), (flags & 0xFFFF9093u) | 0x1093u);
    // Every byte from the flag word on that is not a line setting is the port's own.
    for (size_t i = 12; i < sizeof(DCB); ++i) {
      if (i == offsetof(DCB, ByteSize) || i == offsetof(DCB, Parity) ||
          i == offsetof(DCB, StopBits)) {
        continue;
      }
      EXPECT_EQ(written[i], reported[i]) << "byte " << i;
    }

    std::vector<FakeCall> timeouts = CallsOf(FakeCallKind::kSetCommTimeouts);
    ASSERT_EQ(timeouts.size(), 1u);
    EXPECT_EQ(timeouts[0].timeouts.ReadIntervalTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(timeouts[0].timeouts.ReadTotalTimeoutMultiplier, 1u);
    EXPECT_EQ(timeouts[0].timeouts.ReadTotalTimeoutConstant, 1u);
    EXPECT_EQ(timeouts[0].timeouts.WriteTotalTimeoutMultiplier, 1u);
    EXPECT_EQ(timeouts[0].timeouts.WriteTotalTimeoutConstant, 1u);
  }
}

// Open, configure, raise DTR then RTS, then the liveness test; exclusive, synchronous.
TEST_F(ProbeTest, CallOrderOfOneProbe) {
  FakeScriptPort(1, ReceiverPort(4800));
  ASSERT_TRUE(Probe(4800));
  EXPECT_EQ(log, kAliveLine);

  std::vector<FakeCall> calls = FakeCalls();
  const FakeCallKind expected[] = {
      FakeCallKind::kCreateFile,      FakeCallKind::kGetCommState,
      FakeCallKind::kSetCommState,    FakeCallKind::kGetCommTimeouts,
      FakeCallKind::kSetCommTimeouts, FakeCallKind::kEscapeCommFunction,
      FakeCallKind::kEscapeCommFunction, FakeCallKind::kSetCommMask,
      FakeCallKind::kReadFile,        FakeCallKind::kSleep,
      FakeCallKind::kCreateThread,
  };
  std::vector<FakeCall> mainCalls;
  for (const FakeCall& call : calls) {
    if (!call.onReader) mainCalls.push_back(call);
  }
  ASSERT_EQ(mainCalls.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(static_cast<int>(mainCalls[i].kind), static_cast<int>(expected[i])) << i;
  }
  EXPECT_EQ(mainCalls[0].name, L"COM1:");
  // Read and write, exclusive (share mode 0), an existing device, synchronous I/O.
  EXPECT_EQ(mainCalls[0].openArgs[0], static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
  EXPECT_EQ(mainCalls[0].openArgs[1], 0u);
  EXPECT_EQ(mainCalls[0].openArgs[2], static_cast<DWORD>(OPEN_EXISTING));
  EXPECT_EQ(mainCalls[0].openArgs[3], 0u);
  EXPECT_TRUE(mainCalls[0].openPointersNull);
  EXPECT_EQ(mainCalls[5].value, static_cast<DWORD>(SETDTR));
  EXPECT_EQ(mainCalls[6].value, static_cast<DWORD>(SETRTS));
  EXPECT_EQ(mainCalls[7].value, 0x1BDu);
  EXPECT_EQ(mainCalls[9].value, kLivenessSpanMs / kProbeTries);
  EXPECT_EQ(context->portHandle, mainCalls[0].handle);
  EXPECT_EQ(context->readerThread, mainCalls[10].handle);
  // The reader works on the probed port and waits for data with the full mask.
  std::vector<FakeCall> readerCalls = CallsOf(FakeCallKind::kSetCommMask, true);
  ASSERT_FALSE(readerCalls.empty());
  EXPECT_EQ(readerCalls[0].handle, context->portHandle);
  EXPECT_EQ(readerCalls[0].value, 0x1BDu);
}

// A port without modem lines refuses DTR and RTS and is probed all the same.
TEST_F(ProbeTest, FailedEscapeIsNotFatal) {
  FakePortScript script = ReceiverPort(4800);
  script.escapeFails = true;
  FakeScriptPort(1, script);
  EXPECT_TRUE(Probe(4800));
  std::vector<FakeCall> escapes = CallsOf(FakeCallKind::kEscapeCommFunction);
  ASSERT_EQ(escapes.size(), 2u);
  EXPECT_FALSE(escapes[0].result);
  EXPECT_FALSE(escapes[1].result);
}

TEST_F(ProbeTest, RefusedSettingsFailWithoutALogLine) {
  FakePortScript script = ReceiverPort(4800);
  script.refuseCommState = true;
  FakeScriptPort(1, script);
  EXPECT_FALSE(Probe(4800));
  EXPECT_EQ(log, "");
  EXPECT_TRUE(CallsOf(FakeCallKind::kSetCommTimeouts).empty());
  // The port stays open for the caller to close.
  EXPECT_EQ(FakeOpenPortCount(), 1);
  ClosePort(context);
  EXPECT_EQ(FakeOpenPortCount(), 0);

  FakeReset();
  script.refuseCommState = false;
  script.refuseCommTimeouts = true;
  FakeScriptPort(1, script);
  EXPECT_FALSE(Probe(4800));
  EXPECT_EQ(log, "");
  EXPECT_TRUE(CallsOf(FakeCallKind::kEscapeCommFunction).empty());
  EXPECT_TRUE(CallsOf(FakeCallKind::kReadFile).empty());
  EXPECT_EQ(FakeOpenPortCount(), 1);
}

TEST_F(ProbeTest, AbsentAndBusyPortsLookTheSame) {
  EXPECT_FALSE(Probe(4800));
  EXPECT_EQ(log, kNoSuchPortLine);
  FakePortScript busy = ReceiverPort(4800);
  busy.busy = true;
  FakeScriptPort(1, busy);
  EXPECT_FALSE(Probe(4800));
  EXPECT_EQ(log, kNoSuchPortLine);
  EXPECT_EQ(context->portHandle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(CallsOf(FakeCallKind::kCreateFile).size(), 2u);
  EXPECT_EQ(FakeCalls().size(), 2u);  // nothing but the opens
}

// The 100th try still counts; a byte due one millisecond later does not. The tries span
// more than the idle part of a receiver's second, also on a host whose Sleep ends only
// on 16 ms ticks, sooner or later than asked.
TEST_F(ProbeTest, LivenessTestHasOneHundredTries) {
  const uint32_t lastTryMs = kLivenessSpanMs * (kProbeTries - 1) / kProbeTries;
  struct Case {
    uint32_t tickMs;
    uint32_t firstByteMs;
  };
  for (Case c : {Case{0, lastTryMs}, Case{0, lastTryMs + 1}, Case{16, 5000}}) {
    SCOPED_TRACE(testing::Message() << "tick " << c.tickMs << ", first byte at " << c.firstByteMs);
    FakeReset();
    FakeSetTimerTick(c.tickMs);
    FakePortScript script = PlainPort();
    script.streams[4800] = Stream(NmeaText(3000));
    script.streams[4800].firstByteMs = c.firstByteMs;
    FakeScriptPort(1, script);
    bool alive = Probe(4800);
    EXPECT_EQ(alive, c.firstByteMs == lastTryMs);
    EXPECT_EQ(log, alive ? kAliveLine : kDeadLine);

    std::vector<FakeCall> reads = CallsOf(FakeCallKind::kReadFile);
    ASSERT_EQ(reads.size(), 100u);
    for (size_t i = 0; i < 99; ++i) EXPECT_EQ(reads[i].value, 0u) << i;
    EXPECT_EQ(reads[99].value, alive ? 1u : 0u);
    EXPECT_GE(reads[99].timeMs - reads[0].timeMs, 1200u);
    EXPECT_LE(FakeNowMs(), kLivenessSpanMs + 2 * c.tickMs);
    EXPECT_EQ(CallsOf(FakeCallKind::kSetCommMask).size(), 100u);
    EXPECT_EQ(CallsOf(FakeCallKind::kCreateThread).size(), alive ? 1u : 0u);
    ClosePort(context);
    EndReader(context);
  }
}

// A receiver once a second at each rate, its burst (the sentences of one fix) at any
// point of its second after the open: the test hears it.
TEST_F(ProbeTest, LivenessTestHearsAReceiverAtAnyPointOfItsSecond) {
  for (uint32_t rate : kBaudRates) {
    for (uint32_t phaseMs = 0; phaseMs < 1000; phaseMs += 50) {
      SCOPED_TRACE(testing::Message() << rate << " bit/s, burst at " << phaseMs << " ms");
      FakeReset();
      FakePortScript script = PlainPort();
      script.streams[rate] = Stream(NmeaText(4500), rate / 10);
      script.streams[rate].burstBytes = 450;
      script.streams[rate].firstByteMs = phaseMs;
      FakeScriptPort(1, script);
      EXPECT_TRUE(Probe(rate));
      ClosePort(context);
      EndReader(context);
    }
  }
}

// The byte that proves the port alive never enters the capture.
TEST_F(ProbeTest, LivenessByteIsDropped) {
  std::string bytes = Garbage(500);
  FakePortScript script = PlainPort();
  script.streams[19200] = Stream(bytes);
  FakeScriptPort(1, script);
  ASSERT_TRUE(Probe(19200));
  // Everything was due at once, so the reader has all of it and waits for more.
  EXPECT_EQ(FakeAliveReaderCount(), 1);
  EXPECT_EQ(Captured(), bytes.substr(1));
  ClosePort(context);
  EndReader(context);
  EXPECT_EQ(Captured(), bytes.substr(1));
}

// The reader stores 2047 bytes, reads the 2048th, drops it and ends by itself.
TEST_F(ProbeTest, CaptureStopsAt2047Bytes) {
  std::string bytes = Garbage(3000, 7);
  FakePortScript script = PlainPort();
  script.streams[4800] = Stream(bytes);
  FakeScriptPort(1, script);
  ASSERT_TRUE(Probe(4800));
  EXPECT_EQ(FakeAliveReaderCount(), 0);
  EXPECT_EQ(context->capture.count.load(), kCaptureLimit);
  EXPECT_EQ(Captured(), bytes.substr(1, 2047));
  EXPECT_EQ(context->captureBuffer[kCaptureLimit], 0);  // the lost byte left no trace
  std::vector<FakeCall> reads = CallsOf(FakeCallKind::kReadFile, true);
  ASSERT_EQ(reads.size(), 2048u);
  EXPECT_EQ(reads.back().byte, static_cast<unsigned char>(bytes[2048]));
}

// The stop signal ends a reading reader after its current read, whether ClosePort sets
// it or it is set alone with the port still open and delivering (a reader that kept
// reading with its own copy of the handle would then run on). After ClosePort the
// fields are at rest and a second close does nothing. A reader held up past ClosePort's
// bound (not scheduled while the port is closed) outlives ClosePort; EndReader returns
// only once it has ended, so that nothing it does lands in the next attempt's capture.
TEST_F(ProbeTest, StopSignalEndsTheReader) {
  enum Stop { kSignalAlone, kClosePort, kClosePortReaderHeld };
  for (Stop stop : {kSignalAlone, kClosePort, kClosePortReaderHeld}) {
    SCOPED_TRACE(stop == kSignalAlone ? "stop signal alone"
                 : stop == kClosePort ? "ClosePort"
                                      : "ClosePort, reader held");
    FakeReset();
    context->capture.count.store(0);
    FakePortScript script = ReceiverPort(4800);
    if (stop == kClosePortReaderHeld) script.readerHeldMs = kReaderOffPortBoundMs + 50;
    FakeScriptPort(1, script);
    ASSERT_TRUE(Probe(4800));
    context->portOpen = 1;
    Sleep(1000 - static_cast<DWORD>(FakeNowMs()));  // virtual: at 1 s, bytes 1 to 480 are due
    int32_t count = context->capture.count.load();
    EXPECT_EQ(count, 480);
    size_t reads = CallsOf(FakeCallKind::kReadFile, true).size();
    if (stop == kSignalAlone) {
      context->capture.portHandle.store(INVALID_HANDLE_VALUE);
      Sleep(1000);  // another 480 bytes due, for a reader that ignored the signal
      EXPECT_EQ(FakeOpenPortCount(), 1);
    } else {
      ClosePort(context);
      EXPECT_EQ(context->portHandle, INVALID_HANDLE_VALUE);
      EXPECT_EQ(context->capture.portHandle.load(), INVALID_HANDLE_VALUE);
      EXPECT_EQ(context->portOpen, 0);
      EXPECT_EQ(FakeOpenPortCount(), 0);
    }
    EXPECT_EQ(FakeAliveReaderCount(), stop == kClosePortReaderHeld ? 1 : 0);
    size_t calls = FakeCalls().size();
    ClosePort(context);
    if (stop != kSignalAlone) {
      EXPECT_EQ(FakeCalls().size(), calls);
    }
    EndReader(context);
    EXPECT_EQ(context->readerThread, nullptr);
    EXPECT_EQ(FakeAliveReaderCount(), 0);
    EXPECT_FALSE(FakeReaderOutlivedItsHandle());
    EXPECT_LE(CallsOf(FakeCallKind::kReadFile, true).size(), reads + 1);
    int32_t ended = context->capture.count.load();
    EXPECT_LE(ended, count + 1);
    EndReader(context);
    Sleep(1000);  // a reader still running would make its last moves now
    EXPECT_EQ(context->capture.count.load(), ended);
    // The reader's last call came before EndReader closed its thread handle.
    std::vector<FakeCall> all = FakeCalls();
    size_t lastReaderCall = 0;
    size_t threadClosedAt = 0;
    for (size_t i = 0; i < all.size(); ++i) {
      if (all[i].onReader) lastReaderCall = i;
      if (all[i].kind == FakeCallKind::kCloseHandle && all[i].port == 0) threadClosedAt = i;
    }
    EXPECT_LT(lastReaderCall, threadClosedAt);
  }
}

// A device unplugged mid-capture: the reader ends on the first failed read.
TEST_F(ProbeTest, FailedReadEndsTheReader) {
  FakePortScript script = PlainPort();
  script.streams[4800] = Stream(NmeaText(300), 100, FakeStreamEnd::kReadsFail);
  FakeScriptPort(1, script);
  ASSERT_TRUE(Probe(4800));
  Sleep(2000);
  EXPECT_EQ(FakeAliveReaderCount(), 1);
  Sleep(2000);
  EXPECT_EQ(FakeAliveReaderCount(), 0);
  EXPECT_EQ(context->capture.count.load(), 299);
  std::vector<FakeCall> reads = CallsOf(FakeCallKind::kReadFile, true);
  ASSERT_FALSE(reads.empty());
  EXPECT_FALSE(reads.back().result);
  int32_t failed = 0;
  for (const FakeCall& read : reads) failed += read.result ? 0 : 1;
  EXPECT_EQ(failed, 1);
}

// The reader's first wait: an event without received data waits again; a failed
// wait or an empty event word ends the reader without a single read.
TEST_F(ProbeTest, FirstWaitForData) {
  struct Case {
    FakeWaitOutcome outcome;
    bool reads;
  };
  const Case cases[] = {
      {{TRUE, EV_CTS | EV_DSR}, true},
      {{FALSE, 0}, false},
      {{TRUE, 0}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.outcome.result << "/" << c.outcome.events);
    FakeReset();
    context->capture.count.store(0);  // as the driver does before each attempt
    FakePortScript script = ReceiverPort(9600);
    script.waitOutcomes = {c.outcome};
    FakeScriptPort(1, script);
    ASSERT_TRUE(Probe(9600));
    EXPECT_EQ(FakeAliveReaderCount(), c.reads ? 1 : 0);
    Sleep(3000);
    std::vector<FakeCall> waits = CallsOf(FakeCallKind::kWaitCommEvent, true);
    EXPECT_EQ(waits.size(), c.reads ? 2u : 1u);
    std::vector<FakeCall> reads = CallsOf(FakeCallKind::kReadFile, true);
    if (c.reads) {
      EXPECT_EQ(waits.back().value, static_cast<DWORD>(EV_RXCHAR));
      EXPECT_GE(context->capture.count.load(), 2000);
    } else {
      EXPECT_TRUE(reads.empty());
      EXPECT_EQ(context->capture.count.load(), 0);
    }
    ClosePort(context);
    EndReader(context);
  }
}

// A driver that keeps answering the wait with modem events and never with data: the
// reader gives up after 100 such waits instead of spinning through all of them, and
// reads nothing.
TEST_F(ProbeTest, EndlessModemEventsEndTheReader) {
  FakePortScript script = ReceiverPort(4800);
  script.waitOutcomes.assign(5000, FakeWaitOutcome{TRUE, EV_CTS | EV_RLSD});
  FakeScriptPort(1, script);
  ASSERT_TRUE(Probe(4800));
  EXPECT_EQ(FakeAliveReaderCount(), 0);
  EXPECT_EQ(CallsOf(FakeCallKind::kWaitCommEvent, true).size(), 100u);
  EXPECT_TRUE(CallsOf(FakeCallKind::kReadFile, true).empty());
  EXPECT_EQ(context->capture.count.load(), 0);
}

// A device gone between the open and the liveness test: every read fails, which the
// test takes as no byte, at its usual pace (one wait per try), then gives up.
TEST_F(ProbeTest, UnpluggedBeforeTheLivenessTest) {
  FakePortScript script = PlainPort();
  script.streams[4800] = Stream("", 0, FakeStreamEnd::kReadsFail);
  FakeScriptPort(1, script);
  EXPECT_FALSE(Probe(4800));
  EXPECT_EQ(log, kDeadLine);
  std::vector<FakeCall> reads = CallsOf(FakeCallKind::kReadFile);
  ASSERT_EQ(reads.size(), 100u);
  for (const FakeCall& read : reads) EXPECT_FALSE(read.result);
  EXPECT_EQ(CallsOf(FakeCallKind::kSleep).size(), 100u);
  EXPECT_EQ(FakeNowMs(), kLivenessSpanMs);
  EXPECT_TRUE(CallsOf(FakeCallKind::kCreateThread).empty());
}

// A reader still in its first wait on a port gone silent ends when the port is closed,
// also when it entered that wait just after the first cancel found it outside any call:
// on Windows a close then waits for the wait, which nothing else would end.
TEST_F(ProbeTest, CloseEndsAWaitingReader) {
  for (bool waitAfterFirstCancel : {false, true}) {
    SCOPED_TRACE(waitAfterFirstCancel ? "enters its wait after the first cancel" : "waiting");
    FakeReset();
    FakePortScript script = PlainPort();
    script.streams[4800] = Stream("x");  // one byte for the liveness test, then silence
    script.waitAfterFirstCancel = waitAfterFirstCancel;
    FakeScriptPort(1, script);
    ASSERT_TRUE(Probe(4800));
    Sleep(5000);
    EXPECT_EQ(FakeAliveReaderCount(), 1);
    ClosePort(context);
    EXPECT_FALSE(FakeCallHung()) << "the close waited for ever behind the reader's wait";
    EXPECT_EQ(FakeAliveReaderCount(), 0);
    EXPECT_EQ(FakeOpenPortCount(), 0);
    EXPECT_EQ(context->portHandle, INVALID_HANDLE_VALUE);
    EndReader(context);
    std::vector<FakeCall> waits = CallsOf(FakeCallKind::kWaitCommEvent, true);
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_EQ(waits[0].value, 0u);
    EXPECT_TRUE(CallsOf(FakeCallKind::kReadFile, true).empty());
  }
}

// No thread, no capture: the probe fails and nothing waits for bytes.
TEST_F(ProbeTest, ThreadThatCannotStartFailsTheProbe) {
  FakeScriptPort(1, ReceiverPort(4800));
  FakeFailCreateThread(1);
  EXPECT_FALSE(Probe(4800));
  EXPECT_EQ(context->readerThread, nullptr);
  EXPECT_EQ(context->capture.portHandle.load(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(FakeAliveReaderCount(), 0);
}

}  // namespace
