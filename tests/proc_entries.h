// Entries of a /proc folder, to see that a test leaves no thread or descriptor behind:
// the process's threads (/proc/self/task) or its descriptors (/proc/self/fd), one of
// which is opendir's own, the same at every count. -1 where there is no /proc.
#pragma once

#include <dirent.h>

#include <cstdint>

inline int32_t CountEntries(const char* folder) {
  DIR* dir = opendir(folder);
  if (dir == nullptr) return -1;
  int32_t count = 0;
  while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.' ? 1 : 0;
  closedir(dir);
  return count;
}
