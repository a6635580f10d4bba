// The fake port layer: scripted serial ports, real reader threads and a virtual clock,
// recording every Win32 call the detection core makes.
//
// Two host models. Under Wine's (the default, and the Linux stand-in's too), closing
// a port ends a WaitCommEvent blocked on it and CancelSynchronousIo finds nothing to
// cancel. Under Windows' own, synchronous calls on one port are serialized (a close
// waits for a wait or read in progress on another thread and does not end it),
// CancelSynchronousIo ends the call its thread is blocked in at that moment and
// otherwise finds nothing, and a closed port's handle value is given to the next open.
// FakeReset takes the model from the environment variable SENTROVA_FAKE_HOST
// ("windows" or "wine"), so that a test program runs under either unchanged.
//
// Time is virtual. Only Sleep and finite thread waits move the clock, and they return
// once the reader thread is quiescent: blocked in ReadFile or WaitCommEvent with no
// byte due at the current time, or ended. So a test over the fake is deterministic
// although the reader runs on a real thread.
//
// A fault that would make a test wait for ever is turned into a flag that the test
// checks, and the fake then ends the wait itself: a reader that spins (FakeReaderRanAway),
// a close behind a wait nothing ends (FakeCallHung), virtual time past the longest scan
// (FakeTimeRanOut). A reader's thread handle closed before the thread ended is flagged
// too (FakeReaderOutlivedItsHandle).
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// What a port does once its stream at the configured rate is used up.
enum class FakeStreamEnd {
  kSilent,     // no more bytes; reads return nothing
  kReadsFail,  // the device is gone: every further read fails
};

// The bytes a port delivers at one baud rate. Byte i is due firstByteMs + i * 1000 /
// bytesPerSecond virtual milliseconds after the port was opened (all at firstByteMs
// when bytesPerSecond is 0). With burstBytes, they come as a receiver sends them: a
// burst of burstBytes every periodMs, the first at firstByteMs, each paced as above.
// Unread bytes wait, as in a UART's buffer.
struct FakeStream {
  std::string bytes;
  uint32_t bytesPerSecond = 0;
  uint32_t firstByteMs = 0;
  FakeStreamEnd end = FakeStreamEnd::kSilent;
  uint32_t burstBytes = 0;
  uint32_t periodMs = 1000;
};

// A scripted outcome of one WaitCommEvent call.
struct FakeWaitOutcome {
  BOOL result;
  DWORD events;
};

struct FakePortScript {
  bool busy = false;  // held by another program: the open fails
  bool refuseCommState = false;
  bool refuseCommTimeouts = false;
  bool escapeFails = false;
  // The first closes of this port's handles fail. A close fails only for a value that
  // is no longer an open handle, so the port is gone all the same.
  int32_t closeFailures = 0;
  // The reader is held up between its stop check and its first WaitCommEvent (outside
  // any call, so a cancel finds nothing) until the first CancelSynchronousIo aimed at
  // it, and then enters the wait.
  bool waitAfterFirstCancel = false;
  // Once the first CancelSynchronousIo is aimed at the reader (the scan is closing the
  // port), the reader's ReadFile or WaitCommEvent then under way returns only this
  // many virtual milliseconds after that cancel, held outside any call so that no
  // cancel ends it: a reader thread that is not scheduled while the port is closed.
  // Longer than kReaderOffPortBoundMs, the reader outlives ClosePort.
  uint32_t readerHeldMs = 0;
  DCB reportedDcb = {};       // what GetCommState gives
  COMMTIMEOUTS reportedTimeouts = {};
  std::map<uint32_t, FakeStream> streams;  // by baud rate; a rate not here is silent
  // Outcomes of the first WaitCommEvent calls after each open; later calls wait for
  // a byte or the close.
  std::vector<FakeWaitOutcome> waitOutcomes;
};

enum class FakeCallKind {
  kCreateFile,
  kCloseHandle,
  kGetCommState,
  kSetCommState,
  kGetCommTimeouts,
  kSetCommTimeouts,
  kEscapeCommFunction,
  kSetCommMask,
  kWaitCommEvent,
  kReadFile,
  kCreateThread,
  kWaitForSingleObject,
  kCancelSynchronousIo,
  kSleep,
};

struct FakeCall {
  FakeCallKind kind;
  bool onReader = false;   // made by a thread that CreateThread started
  int32_t port = 0;        // port number the handle belongs to, 0 for none
  HANDLE handle = nullptr; // the handle passed or returned
  uint64_t timeMs = 0;     // virtual time of the call
  std::wstring name;       // CreateFileW: the name exactly as passed
  // CreateFileW: access, share mode, creation and flags as passed, and whether the
  // security attributes and the template were both null.
  DWORD openArgs[4] = {};
  bool openPointersNull = false;
  unsigned char dcb[28] = {};  // GetCommState: as passed in; SetCommState: as written
  COMMTIMEOUTS timeouts = {};  // SetCommTimeouts: as written
  // EscapeCommFunction: the function; SetCommMask: the mask; Sleep and
  // WaitForSingleObject: milliseconds; WaitCommEvent: the events; ReadFile: bytes read.
  DWORD value = 0;
  int32_t byte = -1;       // ReadFile: the byte delivered, or -1
  BOOL result = TRUE;      // the call's result (WaitForSingleObject: nonzero on WAIT_OBJECT_0)
};

enum class FakeHost { kWine, kWindows };

// The most virtual time one scan can take: every one of 255 ports passing its liveness
// test at all six rates and then sending too little, each attempt waiting out the
// 30 s capture bound (35 s at 4800, in whole 7 s periods) with its 1.25 s liveness
// test and 0.1 s close, rounded up to 40 s: 17 hours. Past it a wait has no end.
constexpr uint64_t kFakeLongestScanMs = 255ull * 6 * 40 * 1000;

// The host's timer, until the next FakeReset. With tickMs 0 (Linux, Wine, Windows with
// a raised resolution) Sleep(n) takes n ms and the tick count moves by the millisecond.
// With a tick (Windows' default, 15.6 ms) the tick count moves by whole ticks and each
// Sleep ends on one: every other Sleep at the first tick after it began, shorter than
// asked when it asked for less than a tick, and the others a tick after the first one
// at or past what they asked for (up to two ticks for Sleep(1)).
void FakeSetTimerTick(uint32_t tickMs);

// Forgets every script and record and sets the clock to 0. Ends and joins any reader
// thread a previous test left behind.
void FakeReset();
void FakeScriptPort(int32_t port, const FakePortScript& script);
// The next `count` CreateThread calls fail.
void FakeFailCreateThread(int32_t count);

std::vector<FakeCall> FakeCalls();
uint64_t FakeNowMs();
int32_t FakeOpenPortCount();
int32_t FakeAliveReaderCount();
// True when a reader made call after call without ever waiting for the clock (a
// spin), or hung outside the fake. A spinning reader's every further call waits for
// the clock to move first, so that the test goes on in virtual time.
bool FakeReaderRanAway();
// True when, under the Windows model, a call waited more than 10 s of virtual time for
// another thread's call on the same port: a close behind a wait that nothing ends,
// which on Windows hangs. The fake then ends that wait itself, so the test goes on.
bool FakeCallHung();
// True when the clock ran past kFakeLongestScanMs since FakeReset: the scan waits for
// something that never comes. The fake then ends it: every call a reader makes fails
// at once, as on a device unplugged, and no port opens again.
bool FakeTimeRanOut();
// True when a reader's thread handle was closed while the thread still ran: whoever
// closed it stopped waiting too early, and the reader could still store a byte into a
// capture that the next attempt has reset.
bool FakeReaderOutlivedItsHandle();

// The flag word at offset 8 of a recorded DCB.
uint32_t FakeDcbFlags(const unsigned char (&dcb)[28]);
