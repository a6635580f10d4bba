// COM port names to Linux device paths.
#include "win32/com_names.h"

#include <dirent.h>
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int32_t kLastComPort = 256;
constexpr int32_t kLastDosComPort = 9;
const char* const kSeries[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};

// A port of the numbering held: its node, and who the node was when it was taken:
// the device behind it, and the node itself, which udev makes anew for every device
// that comes, so a device that takes a departed one's name is told apart.
struct HeldPort {
  std::string path;
  struct stat device;
  struct stat node;
};

struct HeldNumbering {
  bool held;
  std::string root;
  std::vector<HeldPort> ports;
};

HeldNumbering gHeld = {false, "", {}};

WCHAR AsciiUpper(WCHAR c) { return (c >= L'a' && c <= L'z') ? c - L'a' + L'A' : c; }

bool CopyPath(const char* from, char* path, size_t pathSize) {
  int written = std::snprintf(path, pathSize, "%s", from);
  return written > 0 && static_cast<size_t>(written) < pathSize;
}

// Walks root's series as Wine does and calls take(node, stat through links, lstat)
// for COM1, COM2, ... until take returns false or the series end. A node is a
// character device (a link to one counts); nothing is opened to ask, as an open
// would raise the port's DTR.
template <typename Take>
void WalkWineNodes(const char* root, Take take) {
  int32_t port = 0;
  for (const char* series : kSeries) {
    for (int32_t index = 0; index < kLastComPort; ++index) {
      char candidate[PATH_MAX];
      int written = std::snprintf(candidate, sizeof candidate, "%s%s%d", root, series,
                                  static_cast<int>(index));
      if (written <= 0 || static_cast<size_t>(written) >= sizeof candidate) return;
      struct stat device;
      struct stat node;
      bool present = stat(candidate, &device) == 0 && S_ISCHR(device.st_mode) &&
                     lstat(candidate, &node) == 0;
      if (!present) break;  // the first missing node ends the series
      if (++port > kLastComPort || !take(candidate, device, node)) return;
    }
  }
}

const char* Folder() {
  const char* folder = std::getenv("SENTROVA_COMDIR");
  return folder != nullptr && folder[0] != 0 ? folder : nullptr;
}

// The folder's links are a numbering of their own, followed at each open, as a Wine
// prefix's dosdevices are; the numbering held applies to the machine's devices.
bool UsesHeldNumbering() { return gHeld.held && Folder() == nullptr; }

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
  bool found = false;
  WalkWineNodes(root, [&](const char* candidate, const struct stat&, const struct stat&) {
    if (++port < number) return true;
    found = CopyPath(candidate, path, pathSize);
    return false;
  });
  return found;
}

void HoldPortNumbering(const char* root) {
  gHeld.held = true;
  gHeld.root = root;
  gHeld.ports.clear();
  WalkWineNodes(root, [](const char* candidate, const struct stat& device, const struct stat& node) {
    gHeld.ports.push_back(HeldPort{candidate, device, node});
    return true;
  });
}

void ReleasePortNumbering() {
  gHeld.held = false;
  gHeld.root.clear();
  gHeld.ports.clear();
}

bool PortNumberingHeld() { return gHeld.held; }

bool ComDevicePath(int32_t number, char* path, size_t pathSize) {
  if (number < 1 || number > kLastComPort) return false;
  // When set, the folder alone says which ports exist, even when it is empty or
  // missing: tests rely on that.
  if (const char* folder = Folder()) {
    int written = std::snprintf(path, pathSize, "%s/com%d", folder, static_cast<int>(number));
    return written > 0 && static_cast<size_t>(written) < pathSize;
  }
  if (!gHeld.held) return WinePortDevice("", number, path, pathSize);
  return static_cast<size_t>(number) <= gHeld.ports.size() &&
         CopyPath(gHeld.ports[number - 1].path.c_str(), path, pathSize);
}

bool ComDevice(int32_t number, char* path, size_t pathSize, struct stat* device) {
  *device = {};
  if (!ComDevicePath(number, path, pathSize)) return false;
  bool present = stat(path, device) == 0;
  if (!present) device->st_mode = 0;
  if (!UsesHeldNumbering()) return true;
  // The number stays with the device it was given to: gone, or its node now
  // another's, the port is absent, as a COM port whose device was unplugged is.
  const HeldPort& held = gHeld.ports[number - 1];
  struct stat node;
  return present && lstat(path, &node) == 0 && held.device.st_rdev == device->st_rdev &&
         held.device.st_dev == device->st_dev && held.device.st_ino == device->st_ino &&
         held.node.st_dev == node.st_dev && held.node.st_ino == node.st_ino;
}

std::vector<std::string> NumberedDevices() {
  std::vector<std::string> devices;
  for (int32_t number = 1; number <= kLastComPort; ++number) {
    char path[PATH_MAX];
    char resolved[PATH_MAX];
    if (!ComDevicePath(number, path, sizeof path)) break;
    if (realpath(path, resolved) != nullptr) devices.emplace_back(resolved);
  }
  return devices;
}

bool StableDevicePath(const char* device, std::string* link) {
  struct stat target;
  if (stat(device, &target) != 0 || !S_ISCHR(target.st_mode)) return false;
  std::string root = gHeld.held ? gHeld.root : "";
  for (const char* folder : {"/dev/serial/by-id", "/dev/serial/by-path"}) {
    std::string base = root + folder;
    DIR* entries = opendir(base.c_str());
    if (entries == nullptr) continue;
    // The first by name, so the same machine always gives the same answer.
    std::string first;
    while (const dirent* entry = readdir(entries)) {
      if (entry->d_name[0] == '.') continue;
      std::string candidate = base + "/" + entry->d_name;
      struct stat info;
      if (stat(candidate.c_str(), &info) == 0 && S_ISCHR(info.st_mode) &&
          info.st_rdev == target.st_rdev && (first.empty() || candidate < first)) {
        first = candidate;
      }
    }
    closedir(entries);
    if (!first.empty()) {
      *link = first;
      return true;
    }
  }
  return false;
}
