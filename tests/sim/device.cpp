// A pseudo-terminal that behaves like a serial port with a device on it.
//
// A pty differs from a UART in ways the program would notice: it ignores the speed,
// keeps unread input across closes, and its queue holds several KiB. So the device
// paces its own output, talks only while some program has the slave open, flushes
// the slave's input at the first open and the last close, and stops (dropping what
// is queued) once the reader stops reading, until the next open.
#include "device.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

// The program opens the port and configures it a moment later; until then the slave
// still carries the speed of the previous attempt. Nothing goes out before this.
constexpr int64_t kOpenGraceNs = 10'000'000;
// Smallest and largest gap between two sends while a program has the port: batches
// of a few bytes, and speed changes seen within a few tens of milliseconds.
constexpr int64_t kMinTickNs = 4'000'000;
constexpr int64_t kMaxTickNs = 20'000'000;
// A reader that has not taken a byte from a non-empty queue for this long has
// stopped: far above the scheduling hiccups of a reader that reads all the time,
// and short enough that the queue is empty again long before the program closes the
// port (a capture at 38400 fills 0.5 s into its 1 s wait). Inotify reports a close
// only after the fact, so a program that reopens at once could read what is still
// queued before our flush; stopping early keeps that queue empty.
constexpr int64_t kStallNs = 300'000'000;
// Most bytes left waiting for the reader. A pty takes far more than its 4 KiB line
// queue (the rest waits in buffers that FIONREAD does not count), which would hide a
// reader that stopped; a reading program keeps a backlog of a batch or two.
constexpr int32_t kMaxQueued = 512;
// After a delay (a busy machine), catch up by at most this much: a UART delivers
// no bursts.
constexpr double kMaxBurstSeconds = 0.05;
constexpr size_t kMaxBatch = 4096;
constexpr speed_t kNeutralSpeed = B50;
// An unplugged device comes back this long after the program has closed the dead
// port: far longer than the program takes from closing a port to its next open of
// the same name, so that open finds no port, as it would after a real unplug.
constexpr int64_t kReplugDelayNs = 1'000'000'000;
// The last bytes a device sent before it was pulled out still reach the reader: the
// unplug comes this long after them, time enough for a program reading every few
// milliseconds to take them and go back to waiting.
constexpr int64_t kUnplugAfterLastByteNs = 50'000'000;

struct SpeedEntry {
  speed_t speed;
  uint32_t rate;
};

constexpr SpeedEntry kSpeeds[] = {
    {B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},
    {B150, 150},       {B200, 200},       {B300, 300},       {B600, 600},
    {B1200, 1200},     {B1800, 1800},     {B2400, 2400},     {B4800, 4800},
    {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
    {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B500000, 500000},
    {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000},
};

int32_t QueuedOnSlave(const SimDevice* device) {
  int queued = 0;
  if (ioctl(device->slave, FIONREAD, &queued) != 0) return 0;
  return queued;
}

uint32_t ConfiguredRate(const SimDevice* device) {
  // The master reports the termios of its slave: the speed the program set.
  termios settings = {};
  if (tcgetattr(device->master, &settings) != 0) return 0;
  return SpeedToRate(cfgetospeed(&settings));
}

void StartSession(SimDevice* device, int64_t now) {
  device->session = true;
  device->stalled = false;
  device->sendFromNs = now + kOpenGraceNs;
  device->lastTickNs = device->sendFromNs;
  device->lastProgressNs = device->sendFromNs;
  device->credit = 0;
  device->sentThisOpen = 0;
  device->lastQueued = 0;
  device->writtenSinceCheck = 0;
  device->lastRate = 0;
  device->unplugAtNs = -1;
  device->burstIndex = -1;
  // The receiver's second is set once, at the first open, whoever opens it later.
  if (device->anchorNs < 0) {
    device->anchorNs = device->sendFromNs + device->behaviour.phaseMs * 1'000'000ll;
  }
}

size_t MakeBytes(SimDevice* device, LineOutput output, unsigned char* out, size_t count) {
  if (output == LineOutput::kGarbage) {
    FillGarbage(out, count, &device->garbageState);
    return count;
  }
  const std::vector<unsigned char>& text = device->behaviour.text;
  size_t position = device->textPosition;
  for (size_t i = 0; i < count; ++i) {
    out[i] = text[position];
    position = (position + 1) % text.size();
  }
  return count;
}

// Writes count bytes of the output; returns how many the pty took.
size_t WriteBytes(SimDevice* device, LineOutput output, size_t count) {
  if (count == 0) return 0;
  unsigned char batch[kMaxBatch];
  MakeBytes(device, output, batch, count);
  ssize_t written = write(device->master, batch, count);
  if (written <= 0) return 0;
  if (output == LineOutput::kText) {
    device->textPosition =
        (device->textPosition + static_cast<size_t>(written)) % device->behaviour.text.size();
  }
  device->sentThisOpen += static_cast<uint64_t>(written);
  device->writtenSinceCheck += static_cast<uint64_t>(written);
  return static_cast<size_t>(written);
}

uint64_t BytesIn(int64_t ns, uint32_t perSecond) {
  return ns <= 0 ? 0 : static_cast<uint64_t>(ns) * perSecond / 1'000'000'000u;
}

// Sends what is due of the burst under way, from where it stands now: what went out
// while no program had the port open is gone, as on a real line. At the own rate that
// is the burst's part of the text, elsewhere junk while the burst lasts. Returns the
// next tick: the next byte's time, or the next burst's start.
int64_t TickBursts(SimDevice* device, int64_t now, LineOutput output, uint32_t rate,
                   int32_t queued) {
  BurstSlot slot;
  BurstAt(device->bursts, now - device->anchorNs, &slot);
  const DeviceBehaviour& behaviour = device->behaviour;
  uint32_t perSecond = BurstBytesPerSecond(behaviour, rate);
  uint64_t total = output == LineOutput::kText ? slot.size : BytesIn(slot.lengthNs, perSecond);
  int64_t start = device->anchorNs + slot.startNs;
  if (slot.index != device->burstIndex || output != device->burstOutput) {
    device->burstIndex = slot.index;
    device->burstOutput = output;
    device->burstSent = std::min(total, BytesIn(device->sendFromNs - start, perSecond));
  }
  uint64_t due = std::min(total, BytesIn(now - start, perSecond));
  if (due > device->burstSent) {
    uint64_t count = std::min<uint64_t>(due - device->burstSent, kMaxBatch);
    if (behaviour.bytesPerOpen != 0) {
      count = std::min<uint64_t>(count, behaviour.bytesPerOpen - device->sentThisOpen);
    }
    if (behaviour.vanishAfter != 0) {
      count = std::min<uint64_t>(count, behaviour.vanishAfter - device->sentThisOpen);
    }
    if (output == LineOutput::kText) {
      device->textPosition = (slot.offset + device->burstSent) % behaviour.text.size();
    }
    // What does not fit is lost, as on a UART whose reader is behind.
    WriteBytes(device, output, std::min<uint64_t>(count, std::max(0, kMaxQueued - queued)));
    device->burstSent += count;
    if (behaviour.vanishAfter != 0 && device->sentThisOpen >= behaviour.vanishAfter) {
      device->unplugAtNs = now + kUnplugAfterLastByteNs;
      return device->unplugAtNs;
    }
  }
  if (device->burstSent < total) {
    int64_t next =
        start + static_cast<int64_t>((device->burstSent + 1) * 1'000'000'000u / perSecond);
    return std::clamp(next, now + kMinTickNs, now + kMaxTickNs);
  }
  return std::min(device->anchorNs + slot.nextStartNs, now + kMaxTickNs);
}

// True when the reader took bytes since the last look, or has nothing waiting.
bool ReaderKeepsUp(SimDevice* device, int64_t now, int32_t queued) {
  int64_t expected = static_cast<int64_t>(device->lastQueued) +
                     static_cast<int64_t>(device->writtenSinceCheck);
  if (queued == 0 || queued < expected) device->lastProgressNs = now;
  device->lastQueued = queued;
  device->writtenSinceCheck = 0;
  return now - device->lastProgressNs < kStallNs;
}

}  // namespace

int64_t NowNs() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

uint32_t SpeedToRate(unsigned int speed) {
  for (const SpeedEntry& entry : kSpeeds) {
    if (entry.speed == speed) return entry.rate;
  }
  return 0;
}

bool SetUpDevice(SimDevice* device, const std::vector<std::string>& folders, std::string* error) {
  device->master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (device->master < 0 || grantpt(device->master) != 0 || unlockpt(device->master) != 0) {
    *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  char path[128];
  if (ptsname_r(device->master, path, sizeof path) != 0) {
    *error = std::string("ptsname: ") + std::strerror(errno);
    return false;
  }
  device->slavePath = path;
  device->slave = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (device->slave < 0) {
    *error = "cannot open " + device->slavePath + ": " + std::strerror(errno);
    return false;
  }
  // Raw, so nothing is echoed back or translated before the program configures the
  // port, and at a speed no device uses, so that a fresh pty (38400 by default) does
  // not look configured for a 38400 receiver.
  termios settings = {};
  tcgetattr(device->slave, &settings);
  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  cfsetispeed(&settings, kNeutralSpeed);
  cfsetospeed(&settings, kNeutralSpeed);
  tcsetattr(device->slave, TCSANOW, &settings);
  device->garbageState = 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(device->behaviour.port);
  device->bursts = MakeBurstSchedule(device->behaviour);

  for (const std::string& folder : folders) {
    char name[16];
    std::snprintf(name, sizeof name, "/com%d", static_cast<int>(device->behaviour.port));
    std::string link = folder + name;
    struct stat info = {};
    if (lstat(link.c_str(), &info) == 0) {
      if (!S_ISLNK(info.st_mode)) {
        *error = link + " exists and is not a symlink";
        return false;
      }
      unlink(link.c_str());  // left over from a run that was killed
    }
    if (symlink(device->slavePath.c_str(), link.c_str()) != 0) {
      *error = "cannot link " + link + ": " + std::strerror(errno);
      return false;
    }
    device->links.push_back(link);
  }
  return true;
}

bool WatchDevice(SimDevice* device, int inotifyFd, std::string* error) {
  device->watch = inotify_add_watch(inotifyFd, device->slavePath.c_str(),
                                    IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
  if (device->watch < 0) {
    *error = "cannot watch " + device->slavePath + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

namespace {

void RemoveLinks(SimDevice* device) {
  for (const std::string& link : device->links) {
    char target[256];
    ssize_t size = readlink(link.c_str(), target, sizeof target - 1);
    if (size < 0) continue;
    target[size] = '\0';
    // Someone may have pointed the link elsewhere since; that one is not ours.
    if (device->slavePath == target) unlink(link.c_str());
  }
  device->links.clear();
}

// Drops what the line holds for its reader, as a UART's driver does at the last close.
// A pty hands what the master wrote to its line discipline later, on a work queue, so
// bytes written just before would outlive a flush alone and greet the next opener; a
// non-blocking read of our own slave first waits for that hand-over.
void DropUnread(const SimDevice* device) {
  int flags = fcntl(device->slave, F_GETFL);
  if (flags >= 0 && fcntl(device->slave, F_SETFL, flags | O_NONBLOCK) == 0) {
    unsigned char sink[512];
    while (read(device->slave, sink, sizeof sink) > 0) {
    }
    fcntl(device->slave, F_SETFL, flags);
  }
  tcflush(device->slave, TCIFLUSH);
}

}  // namespace

void TearDownDevice(SimDevice* device) {
  RemoveLinks(device);
  if (device->slave >= 0) close(device->slave);
  if (device->master >= 0) close(device->master);
  device->slave = -1;
  device->master = -1;
}

void DeviceOpened(SimDevice* device, int64_t now, bool verbose) {
  ++device->openers;
  if (device->openers != 1) return;
  // A pty keeps what the last holder left unread; a UART's driver would not.
  DropUnread(device);
  StartSession(device, now);
  if (verbose) std::fprintf(stderr, "sim: COM%d opened\n", device->behaviour.port);
}

void DeviceClosed(SimDevice* device, int64_t now, bool verbose) {
  (void)now;
  if (device->openers > 0) --device->openers;
  if (device->openers != 0) return;
  DropUnread(device);
  // The program asked for exclusive use (TIOCEXCL). On a UART that ends with the
  // last close; here our own descriptor keeps the tty open, so the flag would stay
  // and refuse the next open by anyone but root.
  ioctl(device->slave, TIOCNXCL);
  device->session = false;
  if (verbose) {
    std::fprintf(stderr, "sim: COM%d closed after %llu bytes\n", device->behaviour.port,
                 static_cast<unsigned long long>(device->sentThisOpen));
  }
}

void UnplugDevice(SimDevice* device, bool verbose) {
  RemoveLinks(device);
  // Closing the master hangs the slave up for every holder and removes its node; our
  // own slave descriptor goes too, and its close is ignored now that we have vanished.
  device->vanished = true;
  device->session = false;
  device->openers = 0;
  if (device->master >= 0) close(device->master);
  if (device->slave >= 0) close(device->slave);
  device->master = -1;
  device->slave = -1;
  if (verbose) {
    std::fprintf(stderr, "sim: COM%d unplugged after %llu bytes\n", device->behaviour.port,
                 static_cast<unsigned long long>(device->sentThisOpen));
  }
}

void DeviceReleased(SimDevice* device, int64_t now, bool verbose) {
  device->watch = -1;  // inotify dropped it with the pty
  device->replugAtNs = now + kReplugDelayNs;
  if (verbose) std::fprintf(stderr, "sim: COM%d dead port closed\n", device->behaviour.port);
}

bool ReplugDevice(SimDevice* device, const std::vector<std::string>& folders, int inotifyFd,
                  bool verbose, std::string* error) {
  device->vanished = false;
  device->replugAtNs = -1;
  if (!SetUpDevice(device, folders, error) || !WatchDevice(device, inotifyFd, error)) return false;
  if (verbose) std::fprintf(stderr, "sim: COM%d plugged in again\n", device->behaviour.port);
  return true;
}

int64_t TickDevice(SimDevice* device, int64_t now, bool verbose) {
  if (!device->session || device->stalled) return -1;
  if (now < device->sendFromNs) return device->sendFromNs;
  uint32_t vanishAfter = device->behaviour.vanishAfter;
  if (vanishAfter != 0 && device->sentThisOpen >= vanishAfter) {
    if (device->unplugAtNs < 0) device->unplugAtNs = now + kUnplugAfterLastByteNs;
    if (now < device->unplugAtNs) return device->unplugAtNs;
    UnplugDevice(device, verbose);
    return -1;
  }

  int32_t queued = QueuedOnSlave(device);
  if (!ReaderKeepsUp(device, now, queued)) {
    tcflush(device->slave, TCIFLUSH);
    device->stalled = true;
    if (verbose) {
      std::fprintf(stderr, "sim: COM%d reader stopped after %llu bytes\n",
                   device->behaviour.port, static_cast<unsigned long long>(device->sentThisOpen));
    }
    return -1;
  }

  uint32_t rate = ConfiguredRate(device);
  if (verbose && rate != device->lastRate) {
    std::fprintf(stderr, "sim: COM%d configured to %u\n", device->behaviour.port, rate);
  }
  device->lastRate = rate;
  LineOutput output = OutputAt(device->behaviour, rate);
  uint32_t perSecond = PacedBytesPerSecond(device->behaviour, rate);
  uint32_t limit = device->behaviour.bytesPerOpen;
  bool limitReached = limit != 0 && device->sentThisOpen >= limit;
  if (output == LineOutput::kNothing || perSecond == 0 || limitReached) {
    device->credit = 0;
    device->lastTickNs = now;
    return now + kMaxTickNs;
  }
  if (device->bursts.cycleNs > 0) return TickBursts(device, now, output, rate, queued);

  double elapsed = static_cast<double>(now - device->lastTickNs) / 1e9;
  device->lastTickNs = now;
  device->credit = std::min(device->credit + elapsed * perSecond, perSecond * kMaxBurstSeconds + 1);
  size_t due = static_cast<size_t>(device->credit);
  if (limit != 0) due = std::min<uint64_t>(due, limit - device->sentThisOpen);
  if (vanishAfter != 0) due = std::min<uint64_t>(due, vanishAfter - device->sentThisOpen);
  due = std::min(due, kMaxBatch);
  // What does not fit is lost, as on a UART whose reader is behind.
  due = std::min<size_t>(due, static_cast<size_t>(std::max(0, kMaxQueued - queued)));
  if (due == 0) {
    device->credit = std::min(device->credit, 1.0);
  } else {
    WriteBytes(device, output, due);
    device->credit -= static_cast<double>(due);
    if (vanishAfter != 0 && device->sentThisOpen >= vanishAfter) {
      device->unplugAtNs = now + kUnplugAfterLastByteNs;
      return device->unplugAtNs;
    }
  }
  // Sleep until the next byte is due, but in batches of a few milliseconds at least.
  double untilNext = std::max(0.0, 1.0 - device->credit) / perSecond;
  int64_t wait = static_cast<int64_t>(untilNext * 1e9);
  wait = std::clamp(wait, kMinTickNs, kMaxTickNs);
  return now + wait;
}

void DrainMaster(SimDevice* device) {
  unsigned char sink[512];
  while (read(device->master, sink, sizeof sink) > 0) {
  }
}
