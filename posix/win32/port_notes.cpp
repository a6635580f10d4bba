// Notes on ports a scan could not open, and who holds a busy one.
#include "win32/port_notes.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

std::mutex gNotesMutex;
std::vector<PortNote> gNotes;

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The pid of a process with a flock or POSIX lock on the file. A line of
// /proc/locks reads "1: FLOCK  ADVISORY  WRITE 812 00:05:87 0 EOF": the pid, then the
// file system's major and minor (hex) and the inode; a waiter's line has "->" after
// the number, and an open file description lock has the pid -1.
pid_t LockHolder(const struct stat& file) {
  FILE* locks = std::fopen("/proc/locks", "re");
  if (locks == nullptr) return 0;
  pid_t holder = 0;
  char line[256];
  while (holder == 0 && std::fgets(line, sizeof line, locks) != nullptr) {
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
    // The pid is the one that took the lock, which may have ended since and left
    // the lock with a child (`flock file command` does): only a living one counts.
    if (pid > 0 && pid != getpid() && fsMajor == major(file.st_dev) &&
        fsMinor == minor(file.st_dev) && inode == file.st_ino &&
        (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)) {
      holder = static_cast<pid_t>(pid);
    }
  }
  std::fclose(locks);
  return holder;
}

// True when the descriptor holds a lock: its fdinfo lists it on a "lock:" line.
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

// A process other than this one with the file open, among those whose descriptors
// this user may read; one whose descriptor holds a lock on it comes first (a pty's
// slave is often open in more than one process).
pid_t OpenedBy(const struct stat& file) {
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return 0;
  pid_t opener = 0;
  pid_t locker = 0;
  while (locker == 0) {
    dirent* entry = readdir(processes);
    if (entry == nullptr) break;
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != 0 || pid == getpid()) continue;
    char folder[64];
    std::snprintf(folder, sizeof folder, "/proc/%ld/fd", pid);
    DIR* descriptors = opendir(folder);
    if (descriptors == nullptr) continue;
    while (dirent* fd = readdir(descriptors)) {
      if (fd->d_name[0] == '.') continue;
      char path[sizeof folder + sizeof fd->d_name + 1];
      std::snprintf(path, sizeof path, "%s/%s", folder, fd->d_name);
      struct stat info;
      if (stat(path, &info) != 0 || !SameFile(info, file)) continue;
      if (opener == 0) opener = static_cast<pid_t>(pid);
      std::snprintf(path, sizeof path, "/proc/%ld/fdinfo/%s", pid, fd->d_name);
      if (DescriptorLocks(path)) {
        locker = static_cast<pid_t>(pid);
        break;
      }
    }
    closedir(descriptors);
  }
  closedir(processes);
  return locker != 0 ? locker : opener;
}

}  // namespace

bool FindDeviceHolder(const char* device, pid_t* pid, std::string* name) {
  struct stat file;
  if (stat(device, &file) != 0) return false;
  pid_t holder = LockHolder(file);
  if (holder == 0) holder = OpenedBy(file);
  if (holder == 0) return false;
  *pid = holder;
  name->clear();
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%ld/comm", static_cast<long>(holder));
  if (FILE* comm = std::fopen(path, "re")) {
    char text[32] = {};
    if (std::fgets(text, sizeof text, comm) != nullptr) {
      text[std::strcspn(text, "\n")] = 0;
      *name = text;
    }
    std::fclose(comm);
  }
  return true;
}

void NotePort(int32_t port, PortNoteKind kind, const char* path) {
  {
    std::lock_guard<std::mutex> lock(gNotesMutex);
    for (const PortNote& note : gNotes) {
      if (note.port == port) return;
    }
  }
  PortNote note = {port, kind, path, 0, ""};
  char resolved[PATH_MAX];
  if (realpath(path, resolved) != nullptr) note.device = resolved;
  // Asked now, while the holder still has it: the result shows only after the scan.
  if (kind == kPortBusy) FindDeviceHolder(note.device.c_str(), &note.holderPid, &note.holderName);
  std::lock_guard<std::mutex> lock(gNotesMutex);
  gNotes.push_back(note);
}

std::vector<PortNote> TakePortNotes() {
  std::lock_guard<std::mutex> lock(gNotesMutex);
  std::vector<PortNote> notes;
  notes.swap(gNotes);
  return notes;
}
