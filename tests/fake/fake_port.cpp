#include "fake_port.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

// Last, so that the renaming macros touch nothing above.
#include "fake_win32.h"

namespace {

// Only guards against a hang: a reader stuck outside the fake.
constexpr auto kQuiescenceDeadline = std::chrono::seconds(10);
// A reader making more calls than this without once waiting for the clock spins. A
// healthy one makes at most a capture's 2048 reads, or 100 event-only waits of three
// calls each, in a row.
constexpr uint32_t kSpinCallLimit = 10000;
// A wait for ever is cut off after this much virtual time.
constexpr uint64_t kLongestWaitMs = 3600 * 1000;
// Under the Windows model, a call that waits this long for another thread's call on
// the same port is taken to hang.
constexpr uint64_t kHungCallMs = 10 * 1000;

struct OpenPort {
  int32_t port = 0;
  bool open = true;
  uint32_t rate = 0;  // set by an accepted SetCommState; picks the stream
  uint64_t openedAtMs = 0;
  size_t next = 0;    // the next byte of the stream to deliver
  DWORD mask = 0;
  size_t waits = 0;   // WaitCommEvent calls on this handle so far
};

struct Reader {
  HANDLE handle = nullptr;
  std::thread thread;
  bool alive = true;
  bool handleOpen = true;
  // Blocked inside the fake, having seen `sawEpoch`: quiescent until the epoch moves.
  bool blocked = false;
  uint64_t sawEpoch = 0;
  // Inside a WaitCommEvent or ReadFile on callHandle that waits for the port.
  bool inCall = false;
  HANDLE callHandle = nullptr;
  bool abortCall = false;    // a cancel (or the hang watchdog) ends the call in progress
  bool cancelSeen = false;   // some CancelSynchronousIo has been aimed at this thread
  uint64_t cancelAtMs = 0;   // when the first one was
  uint32_t callsSinceBlocked = 0;
  bool spinning = false;     // found spinning: each call waits for the clock first
  // The fake has given up on this reader (reset, or time ran out): it is held nowhere,
  // and each call it makes fails at once, so that it ends.
  bool letGo = false;
};

struct Fake {
  FakeHost host = FakeHost::kWine;
  uint32_t tickMs = 0;    // the timer's tick; 0: by the millisecond
  uint64_t sleeps = 0;    // Sleep calls so far, to alternate short and long ones
  std::mutex mutex;
  std::condition_variable changed;
  uint64_t nowMs = 0;
  uint64_t epoch = 0;  // moves with whatever may wake a blocked reader: time, a close
  uintptr_t nextHandle = 0x1000;
  std::map<int32_t, FakePortScript> scripts;
  std::map<int32_t, int32_t> closeFailuresLeft;
  std::map<HANDLE, OpenPort> ports;  // every port handle handed out, open or not
  std::vector<std::unique_ptr<Reader>> readers;
  int32_t createThreadFailures = 0;
  std::vector<FakeCall> calls;
  std::vector<HANDLE> freePortHandles;  // Windows model: values the next open reuses
  bool ranAway = false;
  bool hung = false;
  bool timeRanOut = false;
  bool outlived = false;
};

Fake& TheFake() {
  static Fake fake;
  return fake;
}

thread_local Reader* tReader = nullptr;

// "COMn:" names ports 1 to 9 only, as on Windows; "\\.\COMn" names any port.
int32_t ParsePortName(LPCWSTR name) {
  if (name == nullptr) return 0;
  std::wstring text(name);
  bool device = text.rfind(L"\\\\.\\COM", 0) == 0;
  bool dos = text.rfind(L"COM", 0) == 0;
  size_t at = device ? 7 : dos ? 3 : text.size();
  int32_t number = 0;
  size_t digits = 0;
  while (at < text.size() && text[at] >= L'0' && text[at] <= L'9' && digits < 4) {
    number = number * 10 + (text[at] - L'0');
    ++at;
    ++digits;
  }
  if (digits == 0 || number < 1) return 0;
  if (device && at == text.size()) return number;
  if (dos && number <= 9 && at + 1 == text.size() && text[at] == L':') return number;
  return 0;
}

HANDLE NewHandle(Fake& f) {
  f.nextHandle += 0x10;
  return reinterpret_cast<HANDLE>(f.nextHandle);
}

// Windows hands a closed handle's value to the next open, so a stale copy of it
// names someone else's port; under Wine's model values are never reused here.
HANDLE NewPortHandle(Fake& f) {
  if (f.host != FakeHost::kWindows || f.freePortHandles.empty()) return NewHandle(f);
  HANDLE handle = f.freePortHandles.back();
  f.freePortHandles.pop_back();
  return handle;
}

void RetirePort(Fake& f, HANDLE handle, OpenPort* port) {
  port->open = false;
  if (f.host == FakeHost::kWindows) f.freePortHandles.push_back(handle);
}

OpenPort* FindOpenPort(Fake& f, HANDLE handle) {
  auto it = f.ports.find(handle);
  if (it == f.ports.end() || !it->second.open) return nullptr;
  return &it->second;
}

Reader* FindReader(Fake& f, HANDLE handle) {
  for (auto& reader : f.readers) {
    if (reader->handle == handle && reader->handleOpen) return reader.get();
  }
  return nullptr;
}

const FakeStream* StreamOf(Fake& f, const OpenPort& port) {
  auto script = f.scripts.find(port.port);
  if (script == f.scripts.end()) return nullptr;
  auto stream = script->second.streams.find(port.rate);
  if (stream == script->second.streams.end()) return nullptr;
  return &stream->second;
}

bool ByteDue(Fake& f, const OpenPort& port) {
  const FakeStream* stream = StreamOf(f, port);
  if (stream == nullptr || port.next >= stream->bytes.size()) return false;
  uint64_t index = port.next;
  uint64_t offset = 0;
  if (stream->burstBytes != 0) {
    offset = index / stream->burstBytes * stream->periodMs;
    index %= stream->burstBytes;
  }
  if (stream->bytesPerSecond != 0) offset += index * 1000 / stream->bytesPerSecond;
  return port.openedAtMs + stream->firstByteMs + offset <= f.nowMs;
}

bool Unplugged(Fake& f, const OpenPort& port) {
  const FakeStream* stream = StreamOf(f, port);
  return stream != nullptr && port.next >= stream->bytes.size() &&
         stream->end == FakeStreamEnd::kReadsFail;
}

FakeCall NewCall(Fake& f, FakeCallKind kind, HANDLE handle) {
  FakeCall call;
  call.kind = kind;
  call.onReader = tReader != nullptr;
  call.handle = handle;
  call.timeMs = f.nowMs;
  auto it = f.ports.find(handle);
  if (it != f.ports.end()) call.port = it->second.port;
  return call;
}

bool Quiet(Fake& f) {
  for (auto& reader : f.readers) {
    if (reader->alive && !(reader->blocked && reader->sawEpoch == f.epoch)) return false;
  }
  return true;
}

// Called off the reader: returns once every reader waits for the clock or has ended.
void AwaitQuiescence(Fake& f, std::unique_lock<std::mutex>& lock) {
  if (tReader != nullptr) return;
  if (!f.changed.wait_for(lock, kQuiescenceDeadline, [&] { return Quiet(f); })) f.ranAway = true;
}

// Moves the clock (or marks a close) and lets the reader catch up.
void Wake(Fake& f, std::unique_lock<std::mutex>& lock, uint64_t advanceMs) {
  f.nowMs += advanceMs;
  if (f.nowMs > kFakeLongestScanMs && !f.timeRanOut) {
    f.timeRanOut = true;
    for (auto& reader : f.readers) reader->letGo = true;
  }
  ++f.epoch;
  f.changed.notify_all();
  AwaitQuiescence(f, lock);
}

// The reader waits here, quiescent, until the clock moves or a handle is closed.
void BlockReader(Fake& f, std::unique_lock<std::mutex>& lock) {
  Reader* reader = tReader;
  uint64_t seen = f.epoch;
  reader->blocked = true;
  reader->sawEpoch = seen;
  reader->callsSinceBlocked = 0;
  f.changed.notify_all();
  f.changed.wait(lock, [&] { return f.epoch != seen; });
  reader->blocked = false;
}

// On entry to each call a reader makes. A real port would let a reader spin; a test
// must not, and a spinning reader never lets the scan's waits return. So it is
// reported, and from then on each of its calls first waits for the clock to move:
// the scan goes on in virtual time and the test ends with the fault named.
void PaceReader(Fake& f, std::unique_lock<std::mutex>& lock) {
  Reader* reader = tReader;
  if (reader == nullptr) return;
  if (++reader->callsSinceBlocked > kSpinCallLimit) {
    f.ranAway = true;
    reader->spinning = true;
  }
  if (reader->spinning && !reader->letGo) BlockReader(f, lock);
}

// A reader whose port has readerHeldMs returns from its call only that long after the
// first cancel aimed at it, held outside any call.
void HoldReader(Fake& f, std::unique_lock<std::mutex>& lock, int32_t port) {
  Reader* reader = tReader;
  if (reader == nullptr || !reader->cancelSeen) return;
  auto script = f.scripts.find(port);
  if (script == f.scripts.end()) return;
  uint64_t until = reader->cancelAtMs + script->second.readerHeldMs;
  while (f.nowMs < until && !reader->letGo) BlockReader(f, lock);
}

// As BlockReader, but inside a synchronous call on the port, which a cancel ends
// under the Windows model. Returns false when the call was cancelled.
bool BlockReaderInCall(Fake& f, std::unique_lock<std::mutex>& lock, HANDLE handle) {
  Reader* reader = tReader;
  reader->inCall = true;
  reader->callHandle = handle;
  BlockReader(f, lock);
  reader->inCall = false;
  if (!reader->abortCall) return true;
  reader->abortCall = false;
  return false;
}

// Under the Windows model a call off the reader on a port waits for the reader's call
// in progress on the same port, while time passes. One that would wait for ever is
// reported and the reader's call ended, so that the test ends too.
void AwaitPortFree(Fake& f, std::unique_lock<std::mutex>& lock, HANDLE handle) {
  if (f.host != FakeHost::kWindows || tReader != nullptr) return;
  auto holder = [&]() -> Reader* {
    for (auto& reader : f.readers) {
      if (reader->alive && reader->inCall && reader->callHandle == handle) return reader.get();
    }
    return nullptr;
  };
  for (uint64_t waited = 0; Reader* reader = holder(); ++waited) {
    if (waited < kHungCallMs) {
      Wake(f, lock, 1);
    } else {
      f.hung = true;
      reader->abortCall = true;
      Wake(f, lock, 0);
    }
  }
}

void RunReader(Reader* reader, LPTHREAD_START_ROUTINE start, LPVOID parameter) {
  tReader = reader;
  start(parameter);
  Fake& f = TheFake();
  std::lock_guard<std::mutex> lock(f.mutex);
  reader->alive = false;
  f.changed.notify_all();
}

}  // namespace

// ---- scripting and records ------------------------------------------------------

void FakeReset() {
  Fake& f = TheFake();
  std::vector<std::unique_ptr<Reader>> readers;
  {
    std::lock_guard<std::mutex> lock(f.mutex);
    for (auto& port : f.ports) port.second.open = false;
    for (auto& reader : f.readers) reader->letGo = true;
    ++f.epoch;
    f.changed.notify_all();
    readers.swap(f.readers);
  }
  for (auto& reader : readers) {
    if (reader->thread.joinable()) reader->thread.join();
  }
  std::lock_guard<std::mutex> lock(f.mutex);
  f.nowMs = 0;
  f.epoch = 0;
  f.nextHandle = 0x1000;
  f.scripts.clear();
  f.closeFailuresLeft.clear();
  f.ports.clear();
  f.createThreadFailures = 0;
  f.calls.clear();
  f.freePortHandles.clear();
  f.ranAway = false;
  f.hung = false;
  f.timeRanOut = false;
  f.outlived = false;
  f.tickMs = 0;
  f.sleeps = 0;
  const char* host = std::getenv("SENTROVA_FAKE_HOST");
  f.host = host != nullptr && std::strcmp(host, "windows") == 0 ? FakeHost::kWindows
                                                                : FakeHost::kWine;
}

void FakeScriptPort(int32_t port, const FakePortScript& script) {
  Fake& f = TheFake();
  std::lock_guard<std::mutex> lock(f.mutex);
  f.scripts[port] = script;
  f.closeFailuresLeft[port] = script.closeFailures;
}

void FakeSetTimerTick(uint32_t tickMs) {
  Fake& f = TheFake();
  std::lock_guard<std::mutex> lock(f.mutex);
  f.tickMs = tickMs;
}

void FakeFailCreateThread(int32_t count) {
  Fake& f = TheFake();
  std::lock_guard<std::mutex> lock(f.mutex);
  f.createThreadFailures = count;
}

std::vector<FakeCall> FakeCalls() {
  Fake& f = TheFake();
  std::lock_guard<std::mutex> lock(f.mutex);
  return f.calls;
}

uint64_t FakeNowMs() {
  Fake& f = TheFake();
  std::lock_guard<std::mutex> lock(f.mutex);
  return f.nowMs;
}

int32_t FakeOpenPortCount() {
  Fake& f = TheFake();
  std::lock_guard<std::mutex> lock(f.mutex);
  int32_t open = 0;
  for (auto& port : f.ports) open += port.second.open ? 1 : 0;
  return open;
}

int32_t FakeAliveReaderCount() {
  Fake& f = TheFake();
  std::lock_guard<std::mutex> lock(f.mutex);
  int32_t alive = 0;
  for (auto& reader : f.readers) alive += reader->alive ? 1 : 0;
  return alive;
}

namespace {

// One of the fake's fault flags, read under its lock.
bool FaultFlag(bool Fake::*flag) {
  Fake& f = TheFake();
  std::lock_guard<std::mutex> lock(f.mutex);
  return f.*flag;
}

}  // namespace

bool FakeReaderRanAway() { return FaultFlag(&Fake::ranAway); }
bool FakeCallHung() { return FaultFlag(&Fake::hung); }
bool FakeTimeRanOut() { return FaultFlag(&Fake::timeRanOut); }
bool FakeReaderOutlivedItsHandle() { return FaultFlag(&Fake::outlived); }

uint32_t FakeDcbFlags(const unsigned char (&dcb)[28]) {
  uint32_t flags = 0;
  std::memcpy(&flags, dcb + 8, sizeof flags);
  return flags;
}

// ---- the Win32 calls ------------------------------------------------------------

HANDLE WINAPI FakeCreateFileW(LPCWSTR name, DWORD access, DWORD shareMode,
                              LPSECURITY_ATTRIBUTES security, DWORD creation, DWORD flags,
                              HANDLE templateFile) {
  Fake& f = TheFake();
  std::lock_guard<std::mutex> lock(f.mutex);
  FakeCall call = NewCall(f, FakeCallKind::kCreateFile, nullptr);
  if (name != nullptr) call.name = name;
  call.openArgs[0] = access;
  call.openArgs[1] = shareMode;
  call.openArgs[2] = creation;
  call.openArgs[3] = flags;
  call.openPointersNull = security == nullptr && templateFile == nullptr;
  call.port = ParsePortName(name);
  call.handle = INVALID_HANDLE_VALUE;
  auto script = f.scripts.find(call.port);
  bool held = false;  // share mode 0: a port open already is busy
  for (auto& port : f.ports) held = held || (port.second.open && port.second.port == call.port);
  if (script != f.scripts.end() && !script->second.busy && !held && !f.timeRanOut) {
    call.handle = NewPortHandle(f);
    OpenPort port;
    port.port = call.port;
    port.openedAtMs = f.nowMs;
    f.ports[call.handle] = port;
  }
  call.result = call.handle != INVALID_HANDLE_VALUE;
  f.calls.push_back(call);
  return call.handle;
}

BOOL WINAPI FakeCloseHandle(HANDLE handle) {
  Fake& f = TheFake();
  std::unique_lock<std::mutex> lock(f.mutex);
  AwaitPortFree(f, lock, handle);
  FakeCall call = NewCall(f, FakeCallKind::kCloseHandle, handle);
  if (OpenPort* port = FindOpenPort(f, handle)) {
    int32_t& failures = f.closeFailuresLeft[port->port];
    call.result = failures <= 0;
    if (failures > 0) --failures;
    f.calls.push_back(call);
    RetirePort(f, handle, port);
    Wake(f, lock, 0);
    return call.result;
  }
  if (Reader* reader = FindReader(f, handle)) {
    reader->handleOpen = false;
    if (reader->alive) f.outlived = true;
    // The thread has marked itself ended under the lock and needs it no more.
    if (!reader->alive && reader->thread.joinable()) reader->thread.join();
    f.calls.push_back(call);
    return TRUE;
  }
  call.result = FALSE;
  f.calls.push_back(call);
  return FALSE;
}

// What every call on a port does around its own part: the fake's lock, the pace of a
// spinning reader (paced calls), the wait for the port under the Windows model, the
// call's record, and the record kept with the outcome `body` gives.
template <typename Body>
BOOL PortCall(FakeCallKind kind, HANDLE handle, bool paced, Body body) {
  Fake& f = TheFake();
  std::unique_lock<std::mutex> lock(f.mutex);
  if (paced) PaceReader(f, lock);
  AwaitPortFree(f, lock, handle);
  FakeCall call = NewCall(f, kind, handle);
  call.result = body(f, &call, FindOpenPort(f, handle));
  f.calls.push_back(call);
  return call.result;
}

BOOL WINAPI FakeGetCommState(HANDLE handle, LPDCB dcb) {
  return PortCall(FakeCallKind::kGetCommState, handle, false, [dcb](Fake& f, FakeCall* call, OpenPort* port) {
    std::memcpy(call->dcb, dcb, sizeof call->dcb);
    if (port != nullptr) *dcb = f.scripts[port->port].reportedDcb;
    return port != nullptr;
  });
}

BOOL WINAPI FakeSetCommState(HANDLE handle, LPDCB dcb) {
  return PortCall(FakeCallKind::kSetCommState, handle, false, [dcb](Fake& f, FakeCall* call, OpenPort* port) {
    std::memcpy(call->dcb, dcb, sizeof call->dcb);
    if (port == nullptr || f.scripts[port->port].refuseCommState) return false;
    port->rate = dcb->BaudRate;
    port->next = 0;
    return true;
  });
}

BOOL WINAPI FakeGetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
  return PortCall(FakeCallKind::kGetCommTimeouts, handle, false, [timeouts](Fake& f, FakeCall*, OpenPort* port) {
    if (port != nullptr) *timeouts = f.scripts[port->port].reportedTimeouts;
    return port != nullptr;
  });
}

BOOL WINAPI FakeSetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
  return PortCall(FakeCallKind::kSetCommTimeouts, handle, false, [timeouts](Fake& f, FakeCall* call, OpenPort* port) {
    call->timeouts = *timeouts;
    return port != nullptr && !f.scripts[port->port].refuseCommTimeouts;
  });
}

BOOL WINAPI FakeEscapeCommFunction(HANDLE handle, DWORD function) {
  return PortCall(FakeCallKind::kEscapeCommFunction, handle, false, [function](Fake& f, FakeCall* call, OpenPort* port) {
    call->value = function;
    return port != nullptr && !f.scripts[port->port].escapeFails;
  });
}

BOOL WINAPI FakeSetCommMask(HANDLE handle, DWORD mask) {
  return PortCall(FakeCallKind::kSetCommMask, handle, true, [mask](Fake&, FakeCall* call, OpenPort* port) {
    call->value = mask;
    if (port != nullptr) port->mask = mask;
    return port != nullptr;
  });
}

// Returns the scripted outcome of an early wait; otherwise blocks until a byte is due
// (EV_RXCHAR, when the mask asks for it) or the handle is closed (failure).
BOOL WINAPI FakeWaitCommEvent(HANDLE handle, LPDWORD events, LPOVERLAPPED) {
  Fake& f = TheFake();
  std::unique_lock<std::mutex> lock(f.mutex);
  PaceReader(f, lock);
  AwaitPortFree(f, lock, handle);
  FakeCall call = NewCall(f, FakeCallKind::kWaitCommEvent, handle);
  *events = 0;
  OpenPort* port = FindOpenPort(f, handle);
  if (tReader != nullptr && tReader->letGo) port = nullptr;
  if (port != nullptr) {
    const FakePortScript& script = f.scripts[port->port];
    const std::vector<FakeWaitOutcome>& outcomes = script.waitOutcomes;
    size_t index = port->waits++;
    if (index == 0 && script.waitAfterFirstCancel && tReader != nullptr) {
      while (!tReader->cancelSeen && !tReader->letGo) BlockReader(f, lock);
    }
    if (index < outcomes.size()) {
      *events = outcomes[index].events;
      call.value = *events;
      call.result = outcomes[index].result;
      f.calls.push_back(call);
      return call.result;
    }
  }
  call.result = FALSE;
  for (;;) {
    port = FindOpenPort(f, handle);
    if (port == nullptr || port->mask == 0) break;
    if (tReader != nullptr && tReader->letGo) break;
    if ((port->mask & EV_RXCHAR) != 0 && ByteDue(f, *port)) {
      *events = EV_RXCHAR;
      call.result = TRUE;
      break;
    }
    if (tReader == nullptr) break;  // nobody else would ever move the clock
    if (!BlockReaderInCall(f, lock, handle)) break;  // cancelled
  }
  HoldReader(f, lock, call.port);
  call.value = *events;
  f.calls.push_back(call);
  return call.result;
}

// Delivers the bytes due now. Off the reader it never blocks. On the reader a read
// with nothing due waits for the clock to move, then times out with nothing, as a
// read under short timeouts does; a close makes it fail.
BOOL WINAPI FakeReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED) {
  Fake& f = TheFake();
  std::unique_lock<std::mutex> lock(f.mutex);
  PaceReader(f, lock);
  AwaitPortFree(f, lock, handle);
  FakeCall call = NewCall(f, FakeCallKind::kReadFile, handle);
  if (read != nullptr) *read = 0;
  uint64_t enteredAtMs = f.nowMs;
  DWORD got = 0;
  for (;;) {
    OpenPort* port = FindOpenPort(f, handle);
    if (port == nullptr || (tReader != nullptr && tReader->letGo)) {
      call.result = FALSE;
      break;
    }
    while (got < toRead && ByteDue(f, *port)) {
      unsigned char byte = static_cast<unsigned char>(StreamOf(f, *port)->bytes[port->next++]);
      static_cast<unsigned char*>(buffer)[got] = byte;
      if (got == 0) call.byte = byte;
      ++got;
    }
    if (got > 0) break;
    if (Unplugged(f, *port)) {
      call.result = FALSE;
      break;
    }
    if (tReader == nullptr || f.nowMs != enteredAtMs) break;
    if (!BlockReaderInCall(f, lock, handle)) {
      call.result = FALSE;  // cancelled
      break;
    }
  }
  HoldReader(f, lock, call.port);
  if (read != nullptr) *read = got;
  call.value = got;
  f.calls.push_back(call);
  return call.result;
}

HANDLE WINAPI FakeCreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start,
                               LPVOID parameter, DWORD, LPDWORD threadId) {
  Fake& f = TheFake();
  std::unique_lock<std::mutex> lock(f.mutex);
  FakeCall call = NewCall(f, FakeCallKind::kCreateThread, nullptr);
  if (f.createThreadFailures > 0) {
    --f.createThreadFailures;
    call.result = FALSE;
    f.calls.push_back(call);
    return nullptr;
  }
  auto reader = std::make_unique<Reader>();
  Reader* started = reader.get();
  started->handle = NewHandle(f);
  call.handle = started->handle;
  f.calls.push_back(call);
  f.readers.push_back(std::move(reader));
  started->thread = std::thread(RunReader, started, start, parameter);
  if (threadId != nullptr) *threadId = static_cast<DWORD>(f.readers.size());
  AwaitQuiescence(f, lock);
  return started->handle;
}

// A wait of 0 tells whether the thread has ended. A longer wait lets virtual time
// pass a millisecond at a time until the thread ends or the wait times out, so that a
// reader waiting for the clock gets the time a real wait would have given it.
DWORD WINAPI FakeWaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  Fake& f = TheFake();
  std::unique_lock<std::mutex> lock(f.mutex);
  FakeCall call = NewCall(f, FakeCallKind::kWaitForSingleObject, handle);
  call.value = milliseconds;
  size_t index = f.calls.size();
  f.calls.push_back(call);
  Reader* reader = FindReader(f, handle);
  if (reader == nullptr) {
    f.calls[index].result = FALSE;
    return WAIT_FAILED;
  }
  uint64_t limit = milliseconds == INFINITE ? kLongestWaitMs : milliseconds;
  for (uint64_t waited = 0; reader->alive && waited < limit; ++waited) Wake(f, lock, 1);
  f.calls[index].result = !reader->alive;
  return reader->alive ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

// Under Wine's model there is never anything to cancel: waits end when the port is
// closed. Under Windows' the call the thread is blocked in at this moment fails, and
// with nothing in progress the cancel finds nothing and is not remembered. A reader
// held up before its first wait (waitAfterFirstCancel) enters it just after.
BOOL WINAPI FakeCancelSynchronousIo(HANDLE thread) {
  Fake& f = TheFake();
  std::unique_lock<std::mutex> lock(f.mutex);
  FakeCall call = NewCall(f, FakeCallKind::kCancelSynchronousIo, thread);
  Reader* reader = FindReader(f, thread);
  call.result = f.host == FakeHost::kWindows && reader != nullptr && reader->alive &&
                reader->inCall;
  f.calls.push_back(call);
  if (call.result) reader->abortCall = true;
  if (reader != nullptr && !reader->cancelSeen) {
    reader->cancelSeen = true;
    reader->cancelAtMs = f.nowMs;
  }
  Wake(f, lock, 0);
  return call.result;
}

void WINAPI FakeSleep(DWORD milliseconds) {
  Fake& f = TheFake();
  std::unique_lock<std::mutex> lock(f.mutex);
  FakeCall call = NewCall(f, FakeCallKind::kSleep, nullptr);
  call.value = milliseconds;
  f.calls.push_back(call);
  uint64_t until = f.nowMs + milliseconds;
  if (f.tickMs != 0) {
    uint64_t tick = f.tickMs;
    until =
        f.sleeps++ % 2 == 0 ? (f.nowMs / tick + 1) * tick : (until + tick - 1) / tick * tick + tick;
  }
  Wake(f, lock, until - f.nowMs);
}

// Read, not recorded: the liveness test reads it at every try, and its sleeps show
// the pacing.
ULONGLONG WINAPI FakeGetTickCount64(void) {
  Fake& f = TheFake();
  std::lock_guard<std::mutex> lock(f.mutex);
  return f.tickMs == 0 ? f.nowMs : f.nowMs / f.tickMs * f.tickMs;
}
