// COM port names to Linux device paths.
#include "win32/com_names.h"

#include <climits>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int32_t kLastComPort = 256;
constexpr int32_t kLastDosComPort = 9;
const char* const kSeries[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};

WCHAR AsciiUpper(WCHAR c) { return (c >= L'a' && c <= L'z') ? c - L'a' + L'A' : c; }

// A character device node (a link to one counts). Nothing is opened to ask: an
// open would raise the port's DTR.
bool NodePresent(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 && S_ISCHR(info.st_mode);
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

bool WinePortDevice(const char* root, int32_t number, char* path, size_t pathSize) {
  if (number < 1 || number > kLastComPort) return false;
  int32_t port = 0;
  for (const char* series : kSeries) {
    for (int32_t index = 0; index < kLastComPort; ++index) {
      char candidate[PATH_MAX];
      int written = std::snprintf(candidate, sizeof candidate, "%s%s%d", root, series,
                                  static_cast<int>(index));
      if (written <= 0 || static_cast<size_t>(written) >= sizeof candidate) return false;
      if (!NodePresent(candidate)) break;  // the first missing node ends the series
      if (++port == number) {
        written = std::snprintf(path, pathSize, "%s", candidate);
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
  return WinePortDevice("", number, path, pathSize);
}
