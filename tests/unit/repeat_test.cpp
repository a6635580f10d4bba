// Many scans in one process over the fake port layer, every one through a port of
// each kind of fault: after each scan no port is open, no reader runs, every thread
// handle is closed and the result is the same; at the end the process has the
// threads and descriptors it started with (and, in the ASan build, LeakSanitizer
// finds nothing at exit).
#include "scan_fixture.h"

#include <dirent.h>

#include "../proc_entries.h"

#include <set>

namespace {

constexpr int kScans = 1000;

// Ports 1 to 11 in order: absent, busy, silent, refusing its settings, a reader that
// cannot start, junk then silence, unplugged mid-capture, a failing first wait, a
// close that fails once, endless modem events, and a receiver at 19200 behind junk
// on a port without modem lines. Port 12 holds a receiver that is never reached.
void ScriptEveryFault() {
  FakePortScript busy = ReceiverPort(4800);
  busy.busy = true;
  FakeScriptPort(2, busy);
  FakeScriptPort(3, PlainPort());
  FakePortScript refuses = ReceiverPort(4800);
  refuses.refuseCommState = true;
  FakeScriptPort(4, refuses);
  FakeScriptPort(5, ReceiverPort(4800));
  FakeFailCreateThread(1);  // the first reader is port 5's
  FakePortScript junk = PlainPort();
  junk.streams[4800] = Stream(Garbage(4000, 6), 480);
  FakeScriptPort(6, junk);
  FakePortScript unplugged = PlainPort();
  unplugged.streams[4800] = Stream(NmeaText(300), 100, FakeStreamEnd::kReadsFail);
  FakeScriptPort(7, unplugged);
  FakePortScript waitFails = ReceiverPort(4800);
  waitFails.waitOutcomes = {{FALSE, 0}};
  FakeScriptPort(8, waitFails);
  FakePortScript closeFails = PlainPort();
  closeFails.streams[4800] = Stream(Garbage(4000, 9), 480);
  closeFails.closeFailures = 1;
  FakeScriptPort(9, closeFails);
  FakePortScript modemEvents = ReceiverPort(4800);
  modemEvents.waitOutcomes.assign(1000, FakeWaitOutcome{TRUE, EV_DSR});
  FakeScriptPort(10, modemEvents);
  FakePortScript receiver = ReceiverPort(19200);
  receiver.escapeFails = true;
  receiver.streams[4800] = Stream(Garbage(4000, 11), 480);
  receiver.streams[9600] = Stream(Garbage(4000, 12), 960);
  FakeScriptPort(11, receiver);
  FakeScriptPort(12, ReceiverPort(4800));
}

std::string ExpectedLog() {
  std::string log = CheckingLine(1, 4800) + kNoSuchPortLine + CheckingLine(2, 4800) +
                    kNoSuchPortLine + CheckingLine(3, 4800) + kDeadLine +
                    CheckingLine(4, 4800) + CheckingLine(5, 4800) + kAliveLine;
  for (int32_t port = 6; port <= 10; ++port) {
    log += CheckingLine(port, 4800) + kAliveLine + CheckingLine(port, 9600) + kDeadLine;
  }
  for (uint32_t rate : {4800u, 9600u, 19200u}) log += CheckingLine(11, rate) + kAliveLine;
  return log;
}

// Every reader thread started has ended and its handle is closed before the next
// port is opened; after a failed read or wait its reader reads and waits no more.
void ExpectReadersEndedInTurn() {
  std::set<HANDLE> running;
  std::set<HANDLE> unclosed;
  std::set<HANDLE> failedReaders;
  HANDLE lastReader = nullptr;
  int32_t callsAfterFailure = 0;  // counted: a reader that went on makes thousands
  for (const FakeCall& call : FakeCalls()) {
    if (call.onReader) {
      bool waitOrRead =
          call.kind == FakeCallKind::kReadFile || call.kind == FakeCallKind::kWaitCommEvent;
      if (!waitOrRead) continue;  // the mask is set again after every wait, failed or not
      callsAfterFailure += static_cast<int32_t>(failedReaders.count(lastReader));
      if (!call.result) failedReaders.insert(lastReader);
      continue;
    }
    switch (call.kind) {
      case FakeCallKind::kCreateFile:
        EXPECT_TRUE(running.empty()) << "port " << call.port << " opened while a reader runs";
        EXPECT_TRUE(unclosed.empty()) << "port " << call.port << " opened before a thread handle closed";
        break;
      case FakeCallKind::kCreateThread:
        if (call.result) {
          running.insert(call.handle);
          unclosed.insert(call.handle);
          lastReader = call.handle;
        }
        break;
      case FakeCallKind::kWaitForSingleObject:
        if (call.result) running.erase(call.handle);
        break;
      case FakeCallKind::kCloseHandle:
        if (call.result) unclosed.erase(call.handle);
        break;
      default:
        break;
    }
  }
  EXPECT_EQ(callsAfterFailure, 0) << "a reader went on after a failed call";
  EXPECT_TRUE(running.empty());
  EXPECT_TRUE(unclosed.empty());
}

class RepeatTest : public FakeScanTest {};

TEST_F(RepeatTest, ThousandScansThroughEveryFault) {
  // Counted after the first scan: ThreadSanitizer starts a thread of its own when the
  // first reader starts.
  int32_t threadsBefore = -1;
  int32_t fdsBefore = -1;
  std::vector<int32_t> firstProgress;
  size_t firstCallCount = 0;
  for (int scan = 0; scan < kScans; ++scan) {
    SCOPED_TRACE(testing::Message() << "scan " << scan);
    FakeReset();
    ProgressSeen().clear();
    ScriptEveryFault();
    ScanOutcome outcome = RunScan();  // checks: no port open, no reader alive
    EXPECT_TRUE(outcome.found);
    EXPECT_EQ(outcome.port, 11);
    EXPECT_EQ(outcome.rate, 19200u);
    EXPECT_FALSE(FakeReaderRanAway());
    size_t calls = FakeCalls().size();
    if (scan == 0) {
      EXPECT_EQ(outcome.log, ExpectedLog());
      EXPECT_EQ(DriverSleeps(), std::vector<DWORD>({7000, 7000, 7000, 7000, 3000, 1000}));
      ExpectClosedBeforeNextOpen();
      ExpectReadersEndedInTurn();
      firstProgress = ProgressSeen();
      firstCallCount = calls;
      FakeReset();
      threadsBefore = CountEntries("/proc/self/task");
      fdsBefore = CountEntries("/proc/self/fd");
    } else {
      // The same scan to the call: the first one was checked in detail.
      EXPECT_EQ(outcome.log, ExpectedLog());
      EXPECT_EQ(ProgressSeen(), firstProgress);
      EXPECT_EQ(calls, firstCallCount);
    }
    if (HasFailure()) break;  // rather than print a thousand copies of one fault
  }
  FakeReset();
#ifndef _WIN32
  // Under Wine /proc/self is the emulator's own process, whose descriptors and threads
  // come and go by themselves; the fake's live-reader count covers threads there.
  EXPECT_EQ(CountEntries("/proc/self/task"), threadsBefore);
  EXPECT_EQ(CountEntries("/proc/self/fd"), fdsBefore);
#else
  (void)threadsBefore;
  (void)fdsBefore;
#endif
}

}  // namespace
