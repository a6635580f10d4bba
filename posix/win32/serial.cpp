// Serial ports on termios, poll and an eventfd per handle.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>
#include <windows.h>

#include <cerrno>
#include <climits>
#include <ctime>

#include "policy/port_numbering.h"
#include "win32/com_name.h"
#include "win32/handles.h"
#include "policy/port_holders.h"
#include "policy/port_watch.h"
#include "policy/port_notes.h"

namespace {

constexpr BYTE kMarkParity = 3;
constexpr BYTE kSpaceParity = 4;
constexpr int64_t kNoDeadline = -1;
constexpr tcflag_t kFrameBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

struct SpeedEntry {
  DWORD rate;
  speed_t speed;
};

// Only the rates termios names exactly; anything else is refused, never rounded,
// or the program would report a rate it never tried.
constexpr SpeedEntry kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedOfRate(DWORD rate, speed_t* speed) {
  for (const SpeedEntry& entry : kSpeeds) {
    if (entry.rate == rate) {
      *speed = entry.speed;
      return true;
    }
  }
  return false;
}

DWORD RateOfSpeed(speed_t speed) {
  for (const SpeedEntry& entry : kSpeeds) {
    if (entry.speed == speed) return entry.rate;
  }
  return 0;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

BOOL FailErrno() { return Fail(ErrorFromErrno(errno)); }

int64_t NowNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Raises or drops one modem line. A pseudo-terminal has none and says ENOTTY.
bool SetModemLine(int fd, int line, bool raise) {
  return ioctl(fd, raise ? TIOCMBIS : TIOCMBIC, &line) == 0;
}

// How the port was lost, as the failed call reports it.
constexpr DWORD kGoneError = ERROR_DEVICE_NOT_CONNECTED;
// Bluetooth serial links (rfcomm bind): the open starts the connection, which the
// kernel makes in the background, a second or two for a receiver in reach, about 5 s
// (the page timeout) before it gives up on one that is not, and then hangs the tty up.
constexpr unsigned kRfcommMajor = 216;
constexpr int kRfcommLinkWaitMs = 8000;

enum WaitResult { kWaitReady, kWaitTimedOut, kWaitClosed, kWaitGone };

// Waits for input on the port, for the handle being closed, or for the device to
// vanish, until the deadline (kNoDeadline: for ever). Polls for hang-up only when
// `forInput` is false. A hung-up tty polls readable for ever, so POLLHUP and
// POLLERR are checked first; otherwise a caller would spin on it.
WaitResult WaitOnPort(PortRecord* port, bool forInput, int64_t deadline) {
  for (;;) {
    pollfd fds[2] = {{port->fd, static_cast<short>(forInput ? POLLIN : 0), 0},
                     {port->wakeFd, POLLIN, 0}};
    timespec limit = {0, 0};
    if (deadline != kNoDeadline) {
      int64_t left = deadline - NowNs();
      if (left > 0)
        limit = {static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    }
    int ready = ppoll(fds, 2, deadline == kNoDeadline ? nullptr : &limit, nullptr);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return kWaitGone;
    if (fds[1].revents != 0) return kWaitClosed;
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return kWaitGone;
    if (fds[0].revents & POLLIN) return kWaitReady;
    if (ready == 0) return kWaitTimedOut;
  }
}

// Reads what is queued, up to `size` bytes, after a poll said the port is
// readable: 1 and the count, 0 when nothing was there after all (another process
// flushed the queue in between), -1 when the device is gone. A tty in raw mode
// with VMIN = VTIME = 0 reads 0 both when empty and at end of file, so another
// look at the port tells the two apart: still readable yet empty twice is the end.
int ReadQueued(PortRecord* port, unsigned char* buffer, DWORD size, DWORD* got) {
  for (int attempt = 0;; ++attempt) {
    ssize_t n = read(port->fd, buffer, size);
    if (n > 0) {
      *got = static_cast<DWORD>(n);
      return 1;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return 0;
    if (n < 0) return -1;  // EIO, ENXIO: the device went away
    pollfd again = {port->fd, POLLIN, 0};
    if (poll(&again, 1, 0) < 0 || (again.revents & (POLLHUP | POLLERR | POLLNVAL))) return -1;
    if (!(again.revents & POLLIN)) return 0;
    if (attempt == 1) return -1;
  }
}

}  // namespace

namespace {

HANDLE OpenPort(LPCWSTR name) {
  int32_t number = 0;
  char path[PATH_MAX];
  struct stat device;
  if (!ParseComName(name, &number) || !ComDevice(number, path, sizeof path, &device)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // A port another program uses is busy, as on Windows, and is not even opened, so
  // nothing of it changes: not its settings, its modem lines or its exclusivity.
  // The look comes last before the port is taken. What it cannot rule out: a
  // process that opens the device in the microseconds between its look and
  // TIOCEXCL below (within a scan, the watch on the device sees that open, and
  // the port is given back at once); and, for as long as the port is ours, a root
  // process that neither locks nor heeds TIOCEXCL: the kernel keeps neither out.
  pid_t holder = 0;
  uint32_t rate = 0;
  if (device.st_mode != 0 && DeviceInUse(path, device, &holder, &rate)) {
    NotePort(number, kPortBusy, path, holder, rate);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int error = errno;
    // Kept for the result to explain; the caller sees a port that cannot be opened.
    // EBUSY: another program set TIOCEXCL on it.
    if (error == EACCES || error == EPERM) NotePort(number, kPortRefused, path, 0, 0);
    if (error == EBUSY) NotePort(number, kPortBusy, path, 0, 0);
    SetLastError(ErrorFromErrno(error));
    return INVALID_HANDLE_VALUE;
  }
  NoteOwnOpen(device);
  // Taken meanwhile: another process opened it since the look, and holds it.
  if (WatchedDeviceHeld(device, nullptr, &holder, &rate)) {
    // Nothing was set yet: given back as it was found.
    close(fd);
    NoteOwnClose(device);
    NotePort(number, kPortBusy, path, holder, rate);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  // The device opened must be the one looked at: a node that appeared, or took
  // another device, since then is no port of this numbering.
  struct stat opened;
  if (fstat(fd, &opened) != 0 || device.st_mode == 0 || opened.st_rdev != device.st_rdev ||
      opened.st_ino != device.st_ino || opened.st_dev != device.st_dev) {
    close(fd);
    NoteOwnClose(device);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // Exclusive use, as Windows gives: flock first, as it holds even against root,
  // which TIOCEXCL does not; TIOCEXCL then also stops programs that never flock.
  // A device that is no tty (ENOTTY) or refuses exclusivity (EINVAL) goes without.
  // Only a flag set here is cleared on failure: as root the open succeeds on a port
  // another program set TIOCEXCL on, and clearing its flag would open its port to all.
  int error = flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
  bool exclusive = error == 0 && ioctl(fd, TIOCEXCL) == 0;
  if (error == 0 && !exclusive && errno != ENOTTY && errno != EINVAL) error = errno;
  if (error == EWOULDBLOCK || error == EBUSY) NotePort(number, kPortBusy, path, 0, 0);
  int wakeFd = error == 0 ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
  if (error == 0 && wakeFd < 0) error = errno;
  // An rfcomm port is given to the probe once its receiver talks: a liveness test
  // of a tenth of a second would end before the link is up. One that hangs up (no
  // receiver in reach) is no port, and the scan skips its other rates; one still
  // silent at the bound is handed on as it is. A hung-up tty polls readable as
  // well, so the hang-up is looked for first.
  if (error == 0 && major(device.st_rdev) == kRfcommMajor) {
    pollfd link = {fd, POLLIN, 0};
    if (poll(&link, 1, kRfcommLinkWaitMs) > 0 && (link.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      error = ENODEV;
    }
  }
  HANDLE handle = error == 0 ? InsertPort(fd, wakeFd) : nullptr;
  if (handle == nullptr) {
    if (error == 0) error = EMFILE;  // the handle table is full
    if (wakeFd >= 0) close(wakeFd);
    if (exclusive) ioctl(fd, TIOCNXCL);  // see Retire: the flag outlives the close on a pty
    close(fd);
    NoteOwnClose(device);
    SetLastError(ErrorFromErrno(error));
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

}  // namespace

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD creation, DWORD flags, HANDLE templateFile) {
  // A port is always opened read-write for the one caller; there is nothing to
  // share, create or copy, so those arguments change nothing here.
  (void)access, (void)shareMode, (void)security, (void)creation, (void)flags, (void)templateFile;
  // A process ending by a signal closes its ports: none may open behind its back.
  BeginPortOpen();
  HANDLE handle = OpenPort(name);
  EndPortOpen();
  return handle;
}

BOOL GetCommState(HANDLE handle, LPDCB dcb) {
  if (dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  HandleSlot* slot = AcquireHandle(handle, kHandlePort);
  if (slot == nullptr) return FALSE;
  PortRecord* port = &slot->port;
  termios tio;
  bool read = tcgetattr(port->fd, &tio) == 0;
  int error = errno;
  BYTE dtrControl = 0;
  BYTE rtsControl = 0;
  {
    std::lock_guard<std::mutex> lock(port->mutex);
    dtrControl = port->dtrControl;
    rtsControl = port->rtsControl;
  }
  ReleaseHandle(slot);
  if (!read) return Fail(ErrorFromErrno(error));

  *dcb = DCB{};
  dcb->DCBlength = sizeof(DCB);
  dcb->BaudRate = RateOfSpeed(cfgetospeed(&tio));
  switch (tio.c_cflag & CSIZE) {
    case CS5:
      dcb->ByteSize = 5;
      break;
    case CS6:
      dcb->ByteSize = 6;
      break;
    case CS7:
      dcb->ByteSize = 7;
      break;
    default:
      dcb->ByteSize = 8;
      break;
  }
  if (!(tio.c_cflag & PARENB)) {
    dcb->Parity = NOPARITY;
  } else if (tio.c_cflag & CMSPAR) {
    dcb->Parity = (tio.c_cflag & PARODD) ? kMarkParity : kSpaceParity;
  } else {
    dcb->Parity = (tio.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  }
  if (tio.c_cflag & CSTOPB) dcb->StopBits = dcb->ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
  dcb->fBinary = 1;  // Windows supports nothing else
  dcb->fParity = (tio.c_iflag & INPCK) ? 1 : 0;
  dcb->fOutxCtsFlow = (tio.c_cflag & CRTSCTS) ? 1 : 0;
  dcb->fOutX = (tio.c_iflag & IXON) ? 1 : 0;
  dcb->fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
  dcb->fDtrControl = dtrControl;
  dcb->fRtsControl = (tio.c_cflag & CRTSCTS) ? RTS_CONTROL_HANDSHAKE : rtsControl;
  dcb->fTXContinueOnXoff = 1;
  dcb->XonChar = static_cast<char>(tio.c_cc[VSTART]);
  dcb->XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
  return TRUE;
}

BOOL SetCommState(HANDLE handle, LPDCB dcb) {
  if (dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  speed_t speed = 0;
  tcflag_t size = 0;
  switch (dcb->ByteSize) {
    case 5:
      size = CS5;
      break;
    case 6:
      size = CS6;
      break;
    case 7:
      size = CS7;
      break;
    case 8:
      size = CS8;
      break;
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
  // 1.5 stop bits exist only with 5 data bits, 2 only with more; so says Windows,
  // and termios' CSTOPB means the one or the other by the same rule.
  bool fiveBits = dcb->ByteSize == 5;
  bool stopBitsValid = dcb->StopBits == ONESTOPBIT || (dcb->StopBits == ONE5STOPBITS && fiveBits) ||
                       (dcb->StopBits == TWOSTOPBITS && !fiveBits);
  if (!SpeedOfRate(dcb->BaudRate, &speed) || dcb->Parity > kSpaceParity || !stopBitsValid) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  HandleSlot* slot = AcquireHandle(handle, kHandlePort);
  if (slot == nullptr) return FALSE;
  PortRecord* port = &slot->port;
  termios old;
  if (tcgetattr(port->fd, &old) != 0) {
    BOOL result = FailErrno();
    ReleaseHandle(slot);
    return result;
  }
  termios tio = old;
  // Raw: no echo, no line editing, no signals, no CR/LF translation, no stripping.
  tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                   IXANY | INPCK | IGNPAR);
  tio.c_oflag &= ~OPOST;
  tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  tio.c_cflag |= CLOCAL | CREAD | size;
  if (dcb->Parity != NOPARITY) tio.c_cflag |= PARENB;
  if (dcb->Parity == ODDPARITY || dcb->Parity == kMarkParity) tio.c_cflag |= PARODD;
  if (dcb->Parity >= kMarkParity) tio.c_cflag |= CMSPAR;
  if (dcb->Parity != NOPARITY && dcb->fParity) tio.c_iflag |= INPCK;
  if (dcb->StopBits != ONESTOPBIT) tio.c_cflag |= CSTOPB;
  if (dcb->fOutxCtsFlow || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE) tio.c_cflag |= CRTSCTS;
  if (dcb->fOutX) tio.c_iflag |= IXON;
  if (dcb->fInX) tio.c_iflag |= IXOFF;
  if (dcb->fOutX || dcb->fInX) {
    tio.c_cc[VSTART] = static_cast<cc_t>(dcb->XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(dcb->XoffChar);
  }
  // Reads never wait inside read(): ReadFile waits in poll, where a close can end it.
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);

  BOOL result = TRUE;
  termios now;
  if (tcsetattr(port->fd, TCSANOW, &tio) != 0) {
    result = FailErrno();
  } else if (tcgetattr(port->fd, &now) != 0 || cfgetospeed(&now) != speed ||
             (now.c_cflag & kFrameBits) != (tio.c_cflag & kFrameBits)) {
    // tcsetattr succeeds when any part applies. A UART driver may put its nearest
    // rate in place of the one asked, and a pty makes every frame 8 bits without
    // parity: refuse rather than run on settings that were not asked for.
    tcsetattr(port->fd, TCSANOW, &old);
    result = Fail(ERROR_INVALID_PARAMETER);
  } else {
    // Handshake modes have no Linux equivalent but CRTSCTS, set above; any mode
    // but DISABLE raises the line. A pty has no lines, which is no failure here.
    SetModemLine(port->fd, TIOCM_DTR, dcb->fDtrControl != DTR_CONTROL_DISABLE);
    SetModemLine(port->fd, TIOCM_RTS, dcb->fRtsControl != RTS_CONTROL_DISABLE);
    std::lock_guard<std::mutex> lock(port->mutex);
    port->dtrControl = static_cast<BYTE>(dcb->fDtrControl);
    port->rtsControl = static_cast<BYTE>(dcb->fRtsControl);
  }
  ReleaseHandle(slot);
  return result;
}

BOOL GetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
  if (timeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  HandleSlot* slot = AcquireHandle(handle, kHandlePort);
  if (slot == nullptr) return FALSE;
  {
    std::lock_guard<std::mutex> lock(slot->port.mutex);
    *timeouts = slot->port.timeouts;
  }
  ReleaseHandle(slot);
  return TRUE;
}

BOOL SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
  if (timeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  HandleSlot* slot = AcquireHandle(handle, kHandlePort);
  if (slot == nullptr) return FALSE;
  {
    std::lock_guard<std::mutex> lock(slot->port.mutex);
    slot->port.timeouts = *timeouts;
  }
  ReleaseHandle(slot);
  return TRUE;
}

BOOL EscapeCommFunction(HANDLE handle, DWORD function) {
  HandleSlot* slot = AcquireHandle(handle, kHandlePort);
  if (slot == nullptr) return FALSE;
  int fd = slot->port.fd;
  bool done = false;
  switch (function) {
    case SETDTR:
      done = SetModemLine(fd, TIOCM_DTR, true);
      break;
    case CLRDTR:
      done = SetModemLine(fd, TIOCM_DTR, false);
      break;
    case SETRTS:
      done = SetModemLine(fd, TIOCM_RTS, true);
      break;
    case CLRRTS:
      done = SetModemLine(fd, TIOCM_RTS, false);
      break;
    case SETXOFF:
      done = ioctl(fd, TCXONC, TCOOFF) == 0;
      break;
    case SETXON:
      done = ioctl(fd, TCXONC, TCOON) == 0;
      break;
    default:
      errno = EINVAL;
      break;
  }
  BOOL result = done ? TRUE : FailErrno();
  ReleaseHandle(slot);
  return result;
}

// Windows ends a pending WaitCommEvent when the mask changes; the program sets
// the mask only from the thread that waits, so no wait is pending then and the
// mask is only stored.
BOOL SetCommMask(HANDLE handle, DWORD mask) {
  HandleSlot* slot = AcquireHandle(handle, kHandlePort);
  if (slot == nullptr) return FALSE;
  {
    std::lock_guard<std::mutex> lock(slot->port.mutex);
    slot->port.mask = mask;
  }
  ReleaseHandle(slot);
  return TRUE;
}

// Received data is the one event a tty reports through poll, so EV_RXCHAR is the
// only event delivered; the wait is level-triggered (bytes already queued count),
// which never misses data that came before the wait began. Other masked events
// never fire, yet the wait still ends on a close or on a vanished device.
BOOL WaitCommEvent(HANDLE handle, LPDWORD events, LPOVERLAPPED overlapped) {
  if (events == nullptr || overlapped != nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *events = 0;
  HandleSlot* slot = AcquireHandle(handle, kHandlePort);
  if (slot == nullptr) return FALSE;
  DWORD mask = 0;
  {
    std::lock_guard<std::mutex> lock(slot->port.mutex);
    mask = slot->port.mask;
  }
  BOOL result = TRUE;
  if (mask == 0) {
    result = Fail(ERROR_INVALID_PARAMETER);  // a wait for nothing would never end
  } else {
    switch (WaitOnPort(&slot->port, (mask & EV_RXCHAR) != 0, kNoDeadline)) {
      case kWaitReady:
        *events = EV_RXCHAR;
        break;
      case kWaitClosed:
        result = Fail(ERROR_OPERATION_ABORTED);
        break;
      default:
        result = Fail(kGoneError);
        break;
    }
  }
  ReleaseHandle(slot);
  return result;
}

// Windows' read timeouts: a total of multiplier * bytes + constant (none when
// both are 0) and, once a byte came, at most the interval between bytes (none
// when 0). Interval MAXDWORD with zero totals returns at once with what is
// queued; MAXDWORD for interval and multiplier with a constant waits that long
// for the first byte and returns with it. Everything zero waits until all bytes
// came, or the port is closed or lost.
BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
  if (read != nullptr) *read = 0;
  if (overlapped != nullptr || (buffer == nullptr && toRead > 0))
    return Fail(ERROR_INVALID_PARAMETER);
  HandleSlot* slot = AcquireHandle(handle, kHandlePort);
  if (slot == nullptr) return FALSE;
  PortRecord* port = &slot->port;
  COMMTIMEOUTS t;
  {
    std::lock_guard<std::mutex> lock(port->mutex);
    t = port->timeouts;
  }
  constexpr int64_t kNsPerMs = 1000000;
  constexpr uint64_t kLongestWaitMs = uint64_t{1} << 40;
  int64_t start = NowNs();
  int64_t totalDeadline = kNoDeadline;
  int64_t intervalNs = 0;
  bool firstByteEnds = false;
  if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
      t.ReadTotalTimeoutConstant == 0) {
    totalDeadline = start;
  } else if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
             t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD) {
    totalDeadline = start + t.ReadTotalTimeoutConstant * kNsPerMs;
    firstByteEnds = true;
  } else {
    // Fits 64 bits unsigned; beyond some 35 years it is as good as no limit.
    uint64_t totalMs =
        static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * toRead + t.ReadTotalTimeoutConstant;
    if (totalMs > kLongestWaitMs) totalMs = kLongestWaitMs;
    if (totalMs != 0) totalDeadline = start + static_cast<int64_t>(totalMs) * kNsPerMs;
    // MAXDWORD alone (49 days) is no limit worth keeping.
    if (t.ReadIntervalTimeout != MAXDWORD) intervalNs = t.ReadIntervalTimeout * kNsPerMs;
  }

  unsigned char* bytes = static_cast<unsigned char*>(buffer);
  DWORD got = 0;
  int64_t lastByte = 0;
  BOOL result = TRUE;
  while (got < toRead && !(firstByteEnds && got > 0)) {
    int64_t deadline = totalDeadline;
    if (intervalNs != 0 && got > 0 &&
        (deadline == kNoDeadline || lastByte + intervalNs < deadline)) {
      deadline = lastByte + intervalNs;
    }
    WaitResult waited = WaitOnPort(port, true, deadline);
    if (waited == kWaitTimedOut) break;
    if (waited == kWaitClosed) {
      result = Fail(ERROR_OPERATION_ABORTED);
      break;
    }
    DWORD n = 0;
    int queued = waited == kWaitGone ? -1 : ReadQueued(port, bytes + got, toRead - got, &n);
    if (queued < 0) {
      // Bytes already read are handed over; the next call reports the loss.
      if (got == 0) result = Fail(kGoneError);
      break;
    }
    got += n;
    if (n > 0) lastByte = NowNs();
  }
  ReleaseHandle(slot);
  if (result && read != nullptr) *read = got;
  return result;
}
