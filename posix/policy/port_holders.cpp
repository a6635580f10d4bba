// Who else uses a serial device: UUCP lock files, /proc/locks and /proc/N/fd.
#include "policy/port_holders.h"
#include "policy/port_watch.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "policy/gpsd_client.h"

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

}  // namespace

LookTarget MakeTarget(const struct stat& file) {
  unsigned int deviceMajor = major(file.st_rdev);
  bool ptySlave = S_ISCHR(file.st_mode) && deviceMajor >= kPtySlaveMajor &&
                  deviceMajor < kPtySlaveMajor + kPtySlaveMajors;
  long ptyIndex = ptySlave ? static_cast<long>((deviceMajor - kPtySlaveMajor) * 256 + minor(file.st_rdev)) : -1;
  return LookTarget{file, ptyIndex, 0, 0, 0, 0, false, {}};
}

namespace {

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

}  // namespace

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
    if (ProcessName(static_cast<pid_t>(pid)) == "gpsd") gpsds.push_back(static_cast<pid_t>(pid));
    LookIntoProcess(pid, targets);
  }
  closedir(processes);
  if (gpsds.empty()) return;
  std::vector<GpsdDevice> known;
  AskGpsd(gpsds, &known);
  for (LookTarget& target : *targets) {
    for (const GpsdDevice& device : known) {
      if (!device.active || !S_ISCHR(target.file.st_mode) || device.device != target.file.st_rdev) continue;
      target.gpsdPid = device.gpsdPid;
      target.gpsdRate = device.gpsdRate;
    }
  }
}

bool TargetHeld(const LookTarget& target, pid_t* holder, uint32_t* rate) {
  *holder = target.gpsdPid != 0 ? target.gpsdPid : target.locker != 0 ? target.locker : target.opener;
  *rate = target.gpsdPid != 0 ? target.gpsdRate : 0;
  return *holder != 0;
}

bool DeviceInUse(const char* device, const struct stat& file, pid_t* holder, uint32_t* rate) {
  *rate = 0;
  char resolved[PATH_MAX];
  *holder = UucpLockHolder(realpath(device, resolved) != nullptr ? resolved : device);
  if (*holder != 0) return true;
  bool locked = LockHolder(file, holder);
  if (*holder != 0) return true;
  bool watched = false;
  bool held = WatchedDeviceHeld(file, &watched, holder, rate);
  if (watched) return held || locked;
  // Outside a scan, or a device the scan did not number: looked at alone, now.
  std::vector<LookTarget> one = {MakeTarget(file)};
  LookAt(&one);
  return TargetHeld(one[0], holder, rate) || locked;
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
