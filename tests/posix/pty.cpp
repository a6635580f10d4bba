#include "pty.h"

#include <dirent.h>
#include <pty.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

bool OpenTestPty(TestPty* pty) {
  *pty = TestPty{-1, -1, {}};
  return openpty(&pty->master, &pty->slave, pty->path, nullptr, nullptr) == 0;
}

void CloseTestPty(TestPty* pty) {
  if (pty->master >= 0) close(pty->master);
  if (pty->slave >= 0) close(pty->slave);
  pty->master = pty->slave = -1;
}

bool WriteMaster(const TestPty* pty, const char* bytes, size_t size) {
  return write(pty->master, bytes, size) == static_cast<ssize_t>(size);
}

bool MakeComFolder(char* folder, size_t size) {
  std::snprintf(folder, size, "/tmp/sentrova-com-XXXXXX");
  if (mkdtemp(folder) == nullptr) return false;
  // Set and unset only between tests, while no other thread runs.
  return setenv("SENTROVA_COMDIR", folder, 1) == 0;  // NOLINT(concurrency-mt-unsafe)
}

bool LinkComPort(const char* folder, int number, const char* target) {
  char link[256];
  std::snprintf(link, sizeof link, "%s/com%d", folder, number);
  unlink(link);
  return symlink(target, link) == 0;
}

bool PinTestPty(TestPty* pty, int number, char* folder, size_t size) {
  return OpenTestPty(pty) && MakeComFolder(folder, size) && LinkComPort(folder, number, pty->path);
}

void RemoveComFolder(const char* folder) {
  DIR* dir = opendir(folder);
  if (dir != nullptr) {
    while (dirent* entry = readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      char path[512];
      std::snprintf(path, sizeof path, "%s/%s", folder, entry->d_name);
      if (unlink(path) != 0) rmdir(path);
    }
    closedir(dir);
  }
  rmdir(folder);
  unsetenv("SENTROVA_COMDIR");  // NOLINT(concurrency-mt-unsafe)
}

int CountOpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;  // includes the descriptor of the listing itself, always the same
}
