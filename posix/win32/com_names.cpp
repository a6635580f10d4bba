// COM port names to Linux device paths.
#include "win32/com_names.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace {

constexpr int32_t kLastComPort = 256;
constexpr int32_t kLastDosComPort = 9;
const char* const kSeries[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};
// The boards' own UARTs, numbered after Wine's series in this order: PL011 (Raspberry
// Pi, most Arm boards), SC16IS7xx and Renesas SCI, i.MX, i.MX LPUART, OMAP, Samsung,
// Qualcomm, Tegra, Amlogic, Zynq, STM32, Marvell. Their drivers name them; a node
// counts only when /sys/class/tty lists it with a device behind it.
const char* const kBoardSeries[] = {"ttyAMA", "ttySC",  "ttymxc", "ttyLP", "ttyO",  "ttySAC",
                                    "ttyMSM", "ttyTHS", "ttyAML", "ttyPS", "ttySTM", "ttyMV"};
// Bluetooth serial links (rfcomm bind) come last. The kernel gives them a device in
// sysfs only while connected, so their nodes in /dev count.
const char kRfcommSeries[] = "rfcomm";

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

// The number after `stem` in `name` ("ttyAMA10": 10); false when name is not stem
// and a number without leading zeros.
bool SeriesNumber(const char* name, const char* stem, int32_t* number) {
  size_t length = std::strlen(stem);
  if (std::strncmp(name, stem, length) != 0) return false;
  const char* digits = name + length;
  if (digits[0] < '0' || digits[0] > '9' || (digits[0] == '0' && digits[1] != 0)) return false;
  int32_t value = 0;
  for (const char* p = digits; *p != 0; ++p) {
    if (*p < '0' || *p > '9' || value > 100000) return false;
    value = value * 10 + (*p - '0');
  }
  *number = value;
  return true;
}

// The entries of folder; with needDevice, only those with a "device" entry inside
// (in sysfs: hardware behind the tty).
std::vector<std::string> FolderEntries(const std::string& folder, bool needDevice) {
  std::vector<std::string> names;
  DIR* entries = opendir(folder.c_str());
  if (entries == nullptr) return names;
  while (const dirent* entry = readdir(entries)) {
    struct stat info;
    std::string device = folder + "/" + entry->d_name + "/device";
    if (needDevice && lstat(device.c_str(), &info) != 0) continue;
    names.emplace_back(entry->d_name);
  }
  closedir(entries);
  return names;
}

// The numbers of the names stem<number>, in number order.
std::vector<int32_t> SeriesMembers(const std::vector<std::string>& names, const char* stem) {
  std::vector<int32_t> numbers;
  for (const std::string& name : names) {
    int32_t number = 0;
    if (SeriesNumber(name.c_str(), stem, &number)) numbers.push_back(number);
  }
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

// Walks root's series and calls take(node, stat through links, lstat) for COM1,
// COM2, ... until take returns false or the series end. First Wine's three series,
// each until its first missing node, as Wine numbers them; then the boards' UARTs and
// rfcomm, every node of a series in number order, gaps and all (a Raspberry Pi 5 has
// ttyAMA0 and ttyAMA10), a device already numbered under another name left out. A
// node is a character device (a link to one counts); nothing is opened to ask, as an
// open would raise the port's DTR, and on rfcomm make a Bluetooth connection.
template <typename Take>
void WalkNodes(const char* root, Take take) {
  int32_t port = 0;
  std::vector<dev_t> numbered;
  // Offer(path): false when the walk is over; *present says whether a node was there.
  auto offer = [&](const char* candidate, bool newDevicesOnly, bool* present) {
    struct stat device;
    struct stat node;
    *present = stat(candidate, &device) == 0 && S_ISCHR(device.st_mode) &&
               lstat(candidate, &node) == 0;
    if (!*present) return true;
    if (newDevicesOnly &&
        std::find(numbered.begin(), numbered.end(), device.st_rdev) != numbered.end()) {
      return true;
    }
    numbered.push_back(device.st_rdev);
    return ++port <= kLastComPort && take(candidate, device, node);
  };
  char candidate[PATH_MAX];
  for (const char* series : kSeries) {
    for (int32_t index = 0; index < kLastComPort; ++index) {
      int written = std::snprintf(candidate, sizeof candidate, "%s%s%d", root, series,
                                  static_cast<int>(index));
      if (written <= 0 || static_cast<size_t>(written) >= sizeof candidate) return;
      bool present = false;
      if (!offer(candidate, false, &present)) return;
      if (!present) break;  // the first missing node ends the series
    }
  }
  std::string dev = std::string(root) + "/dev";
  std::vector<std::string> ttys = FolderEntries(std::string(root) + "/sys/class/tty", true);
  std::vector<std::pair<const char*, std::vector<int32_t>>> others;
  for (const char* series : kBoardSeries) others.emplace_back(series, SeriesMembers(ttys, series));
  others.emplace_back(kRfcommSeries, SeriesMembers(FolderEntries(dev, false), kRfcommSeries));
  for (const auto& [series, numbers] : others) {
    for (int32_t number : numbers) {
      int written = std::snprintf(candidate, sizeof candidate, "%s/%s%d", dev.c_str(), series,
                                  static_cast<int>(number));
      if (written <= 0 || static_cast<size_t>(written) >= sizeof candidate) return;
      bool present = false;
      if (!offer(candidate, true, &present)) return;
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

bool PortDevice(const char* root, int32_t number, char* path, size_t pathSize) {
  if (number < 1 || number > kLastComPort) return false;
  int32_t port = 0;
  bool found = false;
  WalkNodes(root, [&](const char* candidate, const struct stat&, const struct stat&) {
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
  WalkNodes(root, [](const char* candidate, const struct stat& device, const struct stat& node) {
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

bool MachinePortsRoot(std::string* root) {
  if (Folder() != nullptr) return false;
  *root = gHeld.held ? gHeld.root : "";
  return true;
}

bool ComDevicePath(int32_t number, char* path, size_t pathSize) {
  if (number < 1 || number > kLastComPort) return false;
  // When set, the folder alone says which ports exist, even when it is empty or
  // missing: tests rely on that.
  if (const char* folder = Folder()) {
    int written = std::snprintf(path, pathSize, "%s/com%d", folder, static_cast<int>(number));
    return written > 0 && static_cast<size_t>(written) < pathSize;
  }
  if (!gHeld.held) return PortDevice("", number, path, pathSize);
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
  // Raspberry Pi OS links the GPIO UART, whichever it is, as serial0 (and the other
  // as serial1): the name its users and their guides give gpsd.
  for (const char* alias : {"/dev/serial0", "/dev/serial1"}) {
    struct stat info;
    std::string candidate = root + alias;
    if (lstat(candidate.c_str(), &info) == 0 && S_ISLNK(info.st_mode) &&
        stat(candidate.c_str(), &info) == 0 && S_ISCHR(info.st_mode) &&
        info.st_rdev == target.st_rdev) {
      *link = candidate;
      return true;
    }
  }
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
