// Who else uses a serial device: UUCP lock files, /proc/locks and /proc/N/fd.
#include "win32/port_holders.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "win32/gpsd_client.h"

namespace {

// The folders where serial programs leave UUCP lock files (often one folder twice,
// /var/lock being a link to /run/lock).
const char* const kLockFolders[] = {"/run/lock", "/var/lock"};
// Unix 98 pseudo-terminal slaves: majors 136 to 143, the index in major and minor.
constexpr unsigned int kPtySlaveMajor = 136;
constexpr unsigned int kPtySlaveMajors = 8;
constexpr unsigned int kPtyMasterMajor = 5;
constexpr unsigned int kPtyMasterMinor = 2;

bool Alive(long pid) { return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

// The pid a UUCP lock file holds: ten ASCII digits and a line feed as most programs
// write it, or a binary int as older ones do. 0 when it holds neither.
long LockFilePid(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return 0;
  char text[32] = {};
  ssize_t size = read(fd, text, sizeof text - 1);
  close(fd);
  if (size == static_cast<ssize_t>(sizeof(int)) && std::strspn(text, " 0123456789\n") < 4) {
    int binary = 0;
    std::memcpy(&binary, text, sizeof binary);
    return binary;
  }
  if (size <= 0) return 0;
  char* end = nullptr;
  long pid = std::strtol(text, &end, 10);
  return end != text ? pid : 0;
}

// A living process other than this one named by a UUCP lock file of the device: for
// /dev/ttyUSB0 LCK..ttyUSB0, for /dev/pts/3 LCK..pts_3 (and LCK..3, as some write
// it). A stale file, whose process has gone, is ignored and left where it is.
pid_t UucpLockHolder(const char* device) {
  const char* name = std::strncmp(device, "/dev/", 5) == 0 ? device + 5 : device;
  std::string flat = name;
  for (char& c : flat) c = c == '/' ? '_' : c;
  const char* base = std::strrchr(device, '/');
  std::string names[] = {flat, base != nullptr ? base + 1 : device};
  for (const char* folder : kLockFolders) {
    for (const std::string& lockName : names) {
      std::string path = std::string(folder) + "/LCK.." + lockName;
      long pid = LockFilePid(path.c_str());
      if (pid != getpid() && Alive(pid)) return static_cast<pid_t>(pid);
    }
  }
  return 0;
}

// A lock on the file held by another process, from /proc/locks. A line reads
// "1: FLOCK  ADVISORY  WRITE 812 00:05:87 0 EOF": the pid, then the file system's
// major and minor (hex) and the inode; a waiter's line has "->" after the number,
// and an open file description lock has the pid -1 (held, by whom is not said).
// *holder is the holder, or 0 for an open file description lock.
bool LockHolder(const struct stat& file, pid_t* holder) {
  FILE* locks = std::fopen("/proc/locks", "re");
  if (locks == nullptr) return false;
  bool locked = false;
  *holder = 0;
  char line[256];
  while (*holder == 0 && std::fgets(line, sizeof line, locks) != nullptr) {
    char kind[16], mode[16], access[16];
    long pid = 0;
    unsigned int fsMajor = 0, fsMinor = 0;
    unsigned long inode = 0;
    if (std::strstr(line, "->") != nullptr) continue;
    // A line that does not read as all seven fields is skipped, so a conversion
    // error cannot pass unseen.
    if (std::sscanf(line, "%*d: %15s %15s %15s %ld %x:%x:%lu",  // NOLINT(cert-err34-c)
                    kind, mode, access, &pid, &fsMajor, &fsMinor, &inode) != 7) {
      continue;
    }
    if (fsMajor != major(file.st_dev) || fsMinor != minor(file.st_dev) || inode != file.st_ino) {
      continue;
    }
    // The pid is the one that took the lock, which may have ended since and left
    // the lock with a child (`flock file command` does): only a living one is named.
    if (pid == -1) {
      locked = true;
    } else if (pid != getpid() && Alive(pid)) {
      locked = true;
      *holder = static_cast<pid_t>(pid);
    }
  }
  std::fclose(locks);
  return locked;
}

// A number from a line "name:\tvalue" of a /proc/N/fdinfo file; -1 when absent.
long FdinfoField(const char* path, const char* name) {
  FILE* info = std::fopen(path, "re");
  if (info == nullptr) return -1;
  long value = -1;
  size_t length = std::strlen(name);
  char line[256];
  while (value < 0 && std::fgets(line, sizeof line, info) != nullptr) {
    if (std::strncmp(line, name, length) == 0 && line[length] == ':') {
      value = std::strtol(line + length + 1, nullptr, 10);
    }
  }
  std::fclose(info);
  return value;
}

bool DescriptorLocks(const char* fdinfoPath) {
  FILE* info = std::fopen(fdinfoPath, "re");
  if (info == nullptr) return false;
  bool locks = false;
  char line[256];
  while (!locks && std::fgets(line, sizeof line, info) != nullptr) {
    locks = std::strncmp(line, "lock:", 5) == 0;
  }
  std::fclose(info);
  return locks;
}

// A descriptor of another process that has a device open.
struct OpenerFd {
  pid_t pid;
  long fd;
};

// A device looked for in /proc, and what the look found of it.
struct LookTarget {
  struct stat file;
  long ptyIndex;   // a pty slave's index, -1 for any other device
  pid_t opener;    // a process other than this one that has it open
  pid_t locker;    // one of those whose descriptor holds a lock on it
  pid_t gpsd;      // a gpsd that has it active, by its own word
  uint32_t rate;   // the speed that gpsd reads a GPS receiver at, 0 when not known
  bool farEnd;     // a process with the pty's master has the slave open too
  std::vector<OpenerFd> openers;  // every descriptor of the openers (far ends aside)
};

LookTarget MakeTarget(const struct stat& file) {
  unsigned int deviceMajor = major(file.st_rdev);
  bool ptySlave = S_ISCHR(file.st_mode) && deviceMajor >= kPtySlaveMajor &&
                  deviceMajor < kPtySlaveMajor + kPtySlaveMajors;
  long ptyIndex = ptySlave ? static_cast<long>((deviceMajor - kPtySlaveMajor) * 256 + minor(file.st_rdev)) : -1;
  return LookTarget{file, ptyIndex, 0, 0, 0, 0, false, {}};
}

// One process's descriptors against every target: the first process with a target
// open becomes its opener, one whose descriptor holds a lock its locker (a pty's
// slave is often open in more than one process). A process that also has the pty's
// master open (its index in the master's fdinfo) is the pty's far end: a simulated
// receiver or a serial bridge, the device itself rather than a user of the port.
void LookIntoProcess(long pid, std::vector<LookTarget>* targets) {
  char folder[64];
  std::snprintf(folder, sizeof folder, "/proc/%ld/fd", pid);
  DIR* descriptors = opendir(folder);
  if (descriptors == nullptr) return;
  struct Match {
    size_t target;
    long fd;
    bool locks;
  };
  std::vector<Match> matches;
  std::vector<long> masters;  // the process's pty masters, by descriptor
  while (const dirent* fd = readdir(descriptors)) {
    if (fd->d_name[0] == '.') continue;
    // Relative to the open folder: a quarter cheaper than a whole path, and this
    // runs for every descriptor of every process this user may look into.
    struct stat info;
    if (fstatat(dirfd(descriptors), fd->d_name, &info, 0) != 0) continue;
    if (S_ISCHR(info.st_mode) && major(info.st_rdev) == kPtyMasterMajor &&
        minor(info.st_rdev) == kPtyMasterMinor) {
      masters.push_back(std::strtol(fd->d_name, nullptr, 10));
      continue;
    }
    for (size_t n = 0; n < targets->size(); ++n) {
      const struct stat& file = (*targets)[n].file;
      if (info.st_dev != file.st_dev || info.st_ino != file.st_ino) continue;
      char path[sizeof folder + sizeof fd->d_name + 16];
      std::snprintf(path, sizeof path, "/proc/%ld/fdinfo/%s", pid, fd->d_name);
      matches.push_back(Match{n, std::strtol(fd->d_name, nullptr, 10), DescriptorLocks(path)});
    }
  }
  closedir(descriptors);
  for (const Match& match : matches) {
    LookTarget& target = (*targets)[match.target];
    // Only a process that has a pty slave open is asked which masters it holds,
    // nearest descriptor first: openpty() gives the two ends neighbouring numbers,
    // so a process with hundreds of ptys is mostly answered at the first look.
    bool farEnd = false;
    if (target.ptyIndex >= 0) {
      std::sort(masters.begin(), masters.end(), [&match](long a, long b) {
        return std::labs(a - match.fd) < std::labs(b - match.fd);
      });
      for (size_t n = 0; n < masters.size() && !farEnd; ++n) {
        std::string info = "/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(masters[n]);
        farEnd = FdinfoField(info.c_str(), "tty-index") == target.ptyIndex;
      }
    }
    target.farEnd = target.farEnd || farEnd;
    if (farEnd) continue;
    target.openers.push_back(OpenerFd{static_cast<pid_t>(pid), match.fd});
    if (target.opener == 0) target.opener = static_cast<pid_t>(pid);
    if (match.locks && target.locker == 0) target.locker = static_cast<pid_t>(pid);
  }
}

// One walk over /proc for all the targets at once: their openers among the
// processes this user may look into (all of them for root), and the gpsd processes,
// whose names every user may read; then those gpsds are asked which devices they
// have active, compared by device number, as gpsd may know one by another name.
void LookAt(std::vector<LookTarget>* targets) {
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return;
  std::vector<pid_t> gpsds;
  while (const dirent* entry = readdir(processes)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != 0 || pid == getpid()) continue;
    char folder[64];
    std::snprintf(folder, sizeof folder, "/proc/%ld", pid);
    if (IsGpsdProcess(folder)) gpsds.push_back(static_cast<pid_t>(pid));
    LookIntoProcess(pid, targets);
  }
  closedir(processes);
  if (gpsds.empty()) return;
  std::vector<GpsdDevice> known;
  AskGpsd(gpsds, &known);
  for (LookTarget& target : *targets) {
    for (const GpsdDevice& device : known) {
      if (!device.active || !S_ISCHR(target.file.st_mode) || device.device != target.file.st_rdev) continue;
      target.gpsd = device.gpsd;
      target.rate = device.rate;
    }
  }
}

bool TargetHeld(const LookTarget& target, pid_t* holder, uint32_t* rate) {
  *holder = target.gpsd != 0 ? target.gpsd : target.locker != 0 ? target.locker : target.opener;
  *rate = target.gpsd != 0 ? target.rate : 0;
  return *holder != 0;
}

// What a scan holds from its start to its end: the look at all its devices, made
// once, and an inotify watch on each, which reports every open and close of the
// node by anyone, of any user. A device whose watch saw another's open or close
// since its last look is looked at again, alone; the others are answered from the
// look. Our own opens and closes are counted and told apart from others' by count.
// The counts run from a baseline: the session's start, or a new look after the
// inotify queue overflowed and lost events of unknown devices.
struct WatchedDevice {
  LookTarget look;
  int watch;          // its inotify watch; -1 when none could be set (looked at
                      // again at every open), -2 when this user may not read it
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
  if (rebase || device->watch == -1 || OthersOpens(*device) != device->lookedOpens ||
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

bool DeviceInUse(const char* device, const struct stat& file, pid_t* holder, uint32_t* rate) {
  *rate = 0;
  char resolved[PATH_MAX];
  *holder = UucpLockHolder(realpath(device, resolved) != nullptr ? resolved : device);
  if (*holder != 0) return true;
  bool locked = LockHolder(file, holder);
  if (*holder != 0) return true;
  {
    std::lock_guard<std::mutex> lock(gSessionMutex);
    if (WatchedDevice* watched = gSession.active ? SessionDevice(file) : nullptr) {
      return SessionHeld(watched, holder, rate) || locked;
    }
  }
  // Outside a scan, or a device the scan did not number: looked at alone, now.
  std::vector<LookTarget> one = {MakeTarget(file)};
  LookAt(&one);
  return TargetHeld(one[0], holder, rate) || locked;
}

bool DeviceTakenMeanwhile(const struct stat& file, pid_t* holder, uint32_t* rate) {
  std::lock_guard<std::mutex> lock(gSessionMutex);
  WatchedDevice* watched = gSession.active ? SessionDevice(file) : nullptr;
  *holder = 0;
  *rate = 0;
  return watched != nullptr && SessionHeld(watched, holder, rate);
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
                                     : -1;
    // A device this user may not read cannot be watched, nor opened: its open
    // fails whatever the look says, so it is not looked at again (-2).
    if (watch < 0 && errno == EACCES) watch = -2;
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

bool FindDeviceHolder(const char* device, pid_t* pid, uint32_t* rate) {
  struct stat file;
  if (stat(device, &file) != 0) return false;
  return DeviceInUse(device, file, pid, rate) && *pid != 0;
}

std::string ProcessName(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%ld/comm", static_cast<long>(pid));
  std::string name;
  if (FILE* comm = std::fopen(path, "re")) {
    char text[32] = {};
    if (std::fgets(text, sizeof text, comm) != nullptr) {
      text[std::strcspn(text, "\n")] = 0;
      name = text;
    }
    std::fclose(comm);
  }
  return name;
}
