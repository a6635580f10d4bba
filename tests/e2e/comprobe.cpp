// comprobe: checks, under Wine, that a COM port backed by a pseudo-terminal behaves as
// the program needs: exclusive open, line settings, DTR/RTS, a WaitCommEvent that
// reports received data, one-byte reads, and a wait that ends when the port is closed
// from another thread. Built with mingw-w64; driven by ptyline_check.sh.
//
//   comprobe COMn read N     open, configure, wait for data, read N bytes, print them
//   comprobe COMn busy       expect the open to fail (another program holds the port)
//   comprobe COMn closewait  wait on a silent port; another thread closes it
//
// Prints one "key value" line per step on stdout and exits 0 when every step went as
// expected, 1 otherwise.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr DWORD kPortEventMask = 0x1BD;
constexpr DWORD kReadDeadlineMs = 10000;

bool OpenPort(const char* port, HANDLE* handle) {
  wchar_t name[32];
  std::swprintf(name, sizeof name / sizeof name[0], L"\\\\.\\%hs", port);
  *handle = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                        nullptr);
  return *handle != INVALID_HANDLE_VALUE;
}

// The settings the program itself writes: 8N1 at 4800, no flow control, short reads.
bool Configure(HANDLE port) {
  DCB dcb = {};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port, &dcb)) {
    std::printf("getcommstate failed %lu\n", GetLastError());
    return false;
  }
  dcb.BaudRate = 4800;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = 1;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  if (!SetCommState(port, &dcb)) {
    std::printf("setcommstate failed %lu\n", GetLastError());
    return false;
  }
  COMMTIMEOUTS timeouts = {};
  GetCommTimeouts(port, &timeouts);
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 1;
  timeouts.ReadTotalTimeoutConstant = 1;
  timeouts.WriteTotalTimeoutMultiplier = 1;
  timeouts.WriteTotalTimeoutConstant = 1;
  if (!SetCommTimeouts(port, &timeouts)) {
    std::printf("setcommtimeouts failed %lu\n", GetLastError());
    return false;
  }
  bool dtr = EscapeCommFunction(port, SETDTR) != 0;
  bool rts = EscapeCommFunction(port, SETRTS) != 0;
  DWORD lines = 0;
  bool status = GetCommModemStatus(port, &lines) != 0;
  std::printf("dtr %d rts %d modemstatus %d 0x%lx\n", dtr, rts, status, lines);
  return dtr && rts && status;
}

int ReadBytes(HANDLE port, int wanted) {
  if (!Configure(port)) return 1;
  SetCommMask(port, kPortEventMask);
  DWORD events = 0;
  BOOL waited = WaitCommEvent(port, &events, nullptr);
  std::printf("waitcommevent %d 0x%lx\n", waited, events);
  if (!waited || (events & EV_RXCHAR) == 0) return 1;
  char text[256] = {};
  int count = 0;
  DWORD start = GetTickCount();
  while (count < wanted && count < static_cast<int>(sizeof text) - 1 &&
         GetTickCount() - start < kReadDeadlineMs) {
    char byte = 0;
    DWORD got = 0;
    if (!ReadFile(port, &byte, 1, &got, nullptr)) {
      std::printf("readfile failed %lu\n", GetLastError());
      return 1;
    }
    if (got == 1) text[count++] = byte;
  }
  for (int i = 0; i < count; ++i) {
    if (text[i] == '\r' || text[i] == '\n') text[i] = '|';
  }
  std::printf("read %d %s\n", count, text);
  return count == wanted ? 0 : 1;
}

struct CloseJob {
  HANDLE port;
  std::atomic<int> closed;
};

DWORD WINAPI CloseLater(LPVOID param) {
  auto* job = static_cast<CloseJob*>(param);
  Sleep(500);
  job->closed.store(1);
  CloseHandle(job->port);
  return 0;
}

// A wait blocked on a silent port must end once another thread closes the port.
int CloseDuringWait(HANDLE port) {
  if (!Configure(port)) return 1;
  SetCommMask(port, kPortEventMask);
  CloseJob job = {port, {0}};
  HANDLE thread = CreateThread(nullptr, 0, CloseLater, &job, 0, nullptr);
  DWORD events = 0;
  BOOL waited = WaitCommEvent(port, &events, nullptr);
  int closed = job.closed.load();
  std::printf("waitcommevent %d 0x%lx closed %d\n", waited, events, closed);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  return closed == 1 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: comprobe COMn read N | busy | closewait\n");
    return 2;
  }
  const char* port = argv[1];
  const char* mode = argv[2];
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool opened = OpenPort(port, &handle);
  std::printf("open %d %lu\n", opened, opened ? 0UL : GetLastError());
  std::fflush(stdout);
  if (std::strcmp(mode, "busy") == 0) {
    if (opened) CloseHandle(handle);
    return opened ? 1 : 0;
  }
  if (!opened) return 1;

  int result = 1;
  if (std::strcmp(mode, "read") == 0 && argc > 3) {
    // A second open of a port this process holds must fail too.
    HANDLE second = INVALID_HANDLE_VALUE;
    bool again = OpenPort(port, &second);
    std::printf("second open %d %lu\n", again, again ? 0UL : GetLastError());
    if (again) {
      CloseHandle(second);
    } else {
      result = ReadBytes(handle, std::atoi(argv[3]));
    }
    CloseHandle(handle);
  } else if (std::strcmp(mode, "closewait") == 0) {
    result = CloseDuringWait(handle);  // the port is closed by then
  }
  std::fflush(stdout);
  return result;
}
