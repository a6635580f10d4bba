// The watch of one scan on its devices' nodes: inotify reports every open and close
// of a node by anyone, of any user, which /proc cannot show.
#include "policy/port_watch.h"

#include "policy/port_holders.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <vector>

namespace {

// What a scan holds from its start to its end: the look at all its devices, made
// once, and an inotify watch on each, which reports every open and close of the
// node by anyone, of any user. A device whose watch saw another's open or close
// since its last look is looked at again, alone; the others are answered from the
// look. Our own opens and closes are counted and told apart from others' by count.
// The counts run from a baseline: the session's start, or a new look after the
// inotify queue overflowed and lost events of unknown devices.
// A device with no inotify watch: none could be set (inotify's limits), so it is
// looked at again at every open; or this user may not read it, so it cannot be
// opened either and the first look answers for it.
constexpr int kNoWatch = -1;
constexpr int kUnreadable = -2;

struct WatchedDevice {
  LookTarget look;
  int watch;          // its inotify watch, or kNoWatch or kUnreadable
  long seenOpens;     // the watch's counts since the baseline
  long seenCloses;
  long ownOpens;      // this process's, counted when they are made
  long ownCloses;
  long lookedOpens;   // others' opens and closes at the last look
  long lookedCloses;
  // The openers the baseline's look found, whose opens came before the counting
  // began; unknown (false) when another opened the device while that look ran.
  std::vector<OpenerFd> before;
  bool beforeKnown;
  bool rebase;        // the queue overflowed: a new baseline at the next question
};

struct HolderSession {
  bool active;
  int notify;  // the inotify descriptor, -1 when none
  std::vector<WatchedDevice> devices;
};

std::mutex gSessionMutex;
HolderSession gSession = {false, -1, {}};

WatchedDevice* SessionDevice(const struct stat& file) {
  for (WatchedDevice& device : gSession.devices) {
    if (device.look.file.st_dev == file.st_dev && device.look.file.st_ino == file.st_ino) return &device;
  }
  return nullptr;
}

// Counts the events queued so far. A lost event (the queue overflowed) may have been
// anyone's: every device gets a new baseline.
void DrainWatch() {
  if (gSession.notify < 0) return;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    ssize_t got = read(gSession.notify, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      for (WatchedDevice& device : gSession.devices) {
        if ((event->mask & IN_Q_OVERFLOW) != 0) device.rebase = true;
        if (device.watch != event->wd) continue;
        if ((event->mask & IN_OPEN) != 0) ++device.seenOpens;
        if ((event->mask & IN_CLOSE) != 0) ++device.seenCloses;
      }
    }
  }
}

long OthersOpens(const WatchedDevice& device) { return device.seenOpens - device.ownOpens; }
long OthersCloses(const WatchedDevice& device) { return device.seenCloses - device.ownCloses; }

// After the baseline's look: whether another opened the device while it ran, in
// which case the look may have found that opener, whose open is counted too.
void SetBaseline(WatchedDevice* device) {
  DrainWatch();
  device->before = device->look.openers;
  device->beforeKnown = OthersOpens(*device) == 0;
  device->lookedOpens = OthersOpens(*device);
  device->lookedCloses = OthersCloses(*device);
}

// The session's answer for a device: looked at again when another opened or closed
// it since the last look. A holder the look cannot see (another user's process with
// neither a lock nor gpsd's word) still holds it while the others' opens counted
// since the baseline outnumber their closes, the closes of the baseline's openers
// that have gone since left out (so a holder from before that leaves cannot cancel
// a new one's open); unless a pty's far end, which opens its own slave, is among
// the openers.
bool SessionHeld(WatchedDevice* device, pid_t* holder, uint32_t* rate) {
  DrainWatch();
  bool rebase = device->rebase;
  if (rebase) {
    device->seenOpens = device->seenCloses = device->ownOpens = device->ownCloses = 0;
    device->rebase = false;
  }
  if (rebase || device->watch == kNoWatch || OthersOpens(*device) != device->lookedOpens ||
      OthersCloses(*device) != device->lookedCloses) {
    std::vector<LookTarget> one = {MakeTarget(device->look.file)};
    LookAt(&one);
    device->look = one[0];
    if (rebase) {
      SetBaseline(device);
    } else {
      device->lookedOpens = OthersOpens(*device);
      device->lookedCloses = OthersCloses(*device);
    }
  }
  if (TargetHeld(device->look, holder, rate)) return true;
  long gone = 0;
  for (size_t n = 0; device->beforeKnown && n < device->before.size(); ++n) {
    const OpenerFd& was = device->before[n];
    gone += std::none_of(device->look.openers.begin(), device->look.openers.end(),
                         [&was](const OpenerFd& is) { return is.pid == was.pid && is.fd == was.fd; });
  }
  return OthersOpens(*device) - OthersCloses(*device) + gone > 0 && !device->look.farEnd;
}

}  // namespace

bool WatchedDeviceHeld(const struct stat& file, bool* watched, pid_t* holder, uint32_t* rate) {
  std::lock_guard<std::mutex> lock(gSessionMutex);
  WatchedDevice* device = gSession.active ? SessionDevice(file) : nullptr;
  if (watched != nullptr) *watched = device != nullptr;
  return device != nullptr && SessionHeld(device, holder, rate);
}

void NoteOwnOpen(const struct stat& file) {
  std::lock_guard<std::mutex> lock(gSessionMutex);
  if (WatchedDevice* watched = gSession.active ? SessionDevice(file) : nullptr) ++watched->ownOpens;
}

void NoteOwnClose(const struct stat& file) {
  std::lock_guard<std::mutex> lock(gSessionMutex);
  if (WatchedDevice* watched = gSession.active ? SessionDevice(file) : nullptr) ++watched->ownCloses;
}

void BeginHolderWatch(const std::vector<std::string>& paths) {
  std::lock_guard<std::mutex> lock(gSessionMutex);
  gSession.active = true;
  gSession.notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  std::vector<LookTarget> targets;
  for (const std::string& path : paths) {
    struct stat file;
    if (stat(path.c_str(), &file) != 0 || !S_ISCHR(file.st_mode) || SessionDevice(file) != nullptr) continue;
    // The watch first, then the look: an open between the two is seen twice, at
    // worst, never missed.
    int watch = gSession.notify >= 0 ? inotify_add_watch(gSession.notify, path.c_str(),
                                                          IN_OPEN | IN_CLOSE)
                                     : kNoWatch;
    // A device this user may not read cannot be watched, nor opened: its open
    // fails whatever the look says, so it is not looked at again.
    if (watch < 0 && errno == EACCES) watch = kUnreadable;
    gSession.devices.push_back(WatchedDevice{MakeTarget(file), watch, 0, 0, 0, 0, 0, 0, {}, false, false});
    targets.push_back(MakeTarget(file));
  }
  // No port, nothing to look for: an empty scan stays as quick however busy the
  // machine is.
  if (!targets.empty()) LookAt(&targets);
  // A device with no watch for another reason (inotify's limits) is looked at
  // again at each open, as outside a scan.
  for (size_t n = 0; n < targets.size(); ++n) {
    gSession.devices[n].look = targets[n];
    SetBaseline(&gSession.devices[n]);
  }
}

void EndHolderWatch() {
  std::lock_guard<std::mutex> lock(gSessionMutex);
  if (gSession.notify >= 0) close(gSession.notify);
  gSession = HolderSession{false, -1, {}};
}

