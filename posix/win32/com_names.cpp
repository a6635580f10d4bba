// COM port names to Linux device paths.
#include "win32/com_names.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int32_t kLastComPort = 256;
constexpr int32_t kLastDosComPort = 9;
constexpr size_t kDevicePathSize = 24;
const char* const kSeries[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};

WCHAR AsciiUpper(WCHAR c) { return (c >= L'a' && c <= L'z') ? c - L'a' + L'A' : c; }

bool IsListed(const char* path, const char* const* present, size_t presentCount) {
  for (size_t i = 0; i < presentCount; ++i) {
    if (std::strcmp(present[i], path) == 0) return true;
  }
  return false;
}

// A character device node, and for the 8250 nodes (all 32 exist whether or not a
// UART sits behind them) one whose UART the kernel found: sysfs type 0 is
// PORT_UNKNOWN. Read from sysfs, as opening a port to ask would toggle its DTR.
bool DevicePresent(const char* series, int32_t index, const char* path) {
  struct stat info;
  if (stat(path, &info) != 0 || !S_ISCHR(info.st_mode)) return false;
  if (std::strcmp(series, "/dev/ttyS") != 0) return true;
  char typePath[64];
  std::snprintf(typePath, sizeof typePath, "/sys/class/tty/ttyS%d/type", static_cast<int>(index));
  FILE* file = std::fopen(typePath, "re");
  if (file == nullptr) return true;
  char text[16] = {};
  bool read = std::fgets(text, sizeof text, file) != nullptr;
  std::fclose(file);
  char* end = nullptr;
  long type = read ? std::strtol(text, &end, 10) : -1;
  return !read || end == text || type != 0;
}

}  // namespace

bool ParseComName(LPCWSTR name, int32_t* number) {
  if (name == nullptr) return false;
  const WCHAR* p = name;
  bool deviceNamespace = p[0] == L'\\' && p[1] == L'\\' && p[2] == L'.' && p[3] == L'\\';
  if (deviceNamespace) p += 4;
  if (AsciiUpper(p[0]) != L'C' || AsciiUpper(p[1]) != L'O' || AsciiUpper(p[2]) != L'M')
    return false;
  p += 3;
  if (*p < L'1' || *p > L'9') return false;  // no COM0, no leading zero
  int32_t value = 0;
  for (; *p >= L'0' && *p <= L'9'; ++p) {
    value = value * 10 + (*p - L'0');
    if (value > kLastComPort) return false;
  }
  // The colon belongs to the DOS device form only. That form stops at COM9: on
  // Windows "COM10" is a file in the current folder, so it is no port here either.
  if (!deviceNamespace && *p == L':') ++p;
  if (*p != 0 || (!deviceNamespace && value > kLastDosComPort)) return false;
  *number = value;
  return true;
}

bool WinePortDevice(int32_t number, const char* const* present, size_t presentCount, char* path,
                    size_t pathSize) {
  int32_t port = 0;
  for (const char* series : kSeries) {
    for (int32_t index = 0; index < kLastComPort; ++index) {
      char candidate[kDevicePathSize];
      std::snprintf(candidate, sizeof candidate, "%s%d", series, static_cast<int>(index));
      if (!IsListed(candidate, present, presentCount)) break;  // a gap ends the series
      if (++port == number) {
        int written = std::snprintf(path, pathSize, "%s", candidate);
        return written > 0 && static_cast<size_t>(written) < pathSize;
      }
    }
  }
  return false;
}

bool ComDevicePath(int32_t number, char* path, size_t pathSize) {
  if (number < 1 || number > kLastComPort) return false;
  // When set, the folder alone says which ports exist (as a Wine prefix's
  // dosdevices does), even when it is empty or missing: tests rely on that.
  const char* folder = std::getenv("SENTROVA_COMDIR");
  if (folder != nullptr && folder[0] != 0) {
    int written = std::snprintf(path, pathSize, "%s/com%d", folder, static_cast<int>(number));
    return written > 0 && static_cast<size_t>(written) < pathSize;
  }
  // Only the first `number` present devices matter.
  char names[kLastComPort][kDevicePathSize];
  const char* present[kLastComPort];
  size_t count = 0;
  for (const char* series : kSeries) {
    for (int32_t index = 0; index < kLastComPort && count < static_cast<size_t>(number); ++index) {
      std::snprintf(names[count], kDevicePathSize, "%s%d", series, static_cast<int>(index));
      if (!DevicePresent(series, index, names[count])) break;
      present[count] = names[count];
      ++count;
    }
  }
  return WinePortDevice(number, present, count, path, pathSize);
}
