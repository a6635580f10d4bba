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
// when bytesPerSecond is 0). Unread bytes wait, as in a UART's buffer.
struct FakeStream {
  std::string bytes;
  uint32_t bytesPerSecond = 0;
  uint32_t firstByteMs = 0;
  FakeStreamEnd end = FakeStreamEnd::kSilent;
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
// True when the fake gave up waiting for a reader to become quiescent: the reader
// kept running without ever waiting for a byte (a spin), or hung outside the fake.
bool FakeReaderRanAway();
// True when, under the Windows model, a call waited more than 10 s of virtual time for
// another thread's call on the same port: a close behind a wait that nothing ends,
// which on Windows hangs. The fake then ends that wait itself, so the test goes on.
bool FakeCallHung();

// The flag word at offset 8 of a recorded DCB.
uint32_t FakeDcbFlags(const unsigned char (&dcb)[28]);
