// USB serial adapters without a port, from sysfs and the kernel's module aliases.
#include "win32/usb_adapters.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// The drivers of the USB serial adapters and receivers users plug in: CH340/CH341,
// Silicon Labs CP210x, FTDI, Prolific PL2303, and CDC ACM (u-blox and most receivers
// with a USB port of their own).
const char* const kSerialDrivers[] = {"ch341", "cp210x", "ftdi_sio", "pl2303", "cdc_acm"};

struct Alias {
  std::string pattern;  // "usb:v1A86p7523d*dc*dsc*dp*ic*isc*ip*in*", for fnmatch
  std::string driver;
};

// The "alias usb:PATTERN DRIVER" lines of the serial drivers.
void ReadAliases(const std::string& path, std::vector<Alias>* aliases) {
  std::FILE* file = std::fopen(path.c_str(), "re");
  if (file == nullptr) return;
  char line[1024];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    char pattern[512];
    char driver[128];
    if (std::sscanf(line, "alias %511s %127s", pattern, driver) != 2) continue;
    if (std::strncmp(pattern, "usb:", 4) != 0) continue;
    for (const char* serial : kSerialDrivers) {
      if (std::strcmp(driver, serial) == 0) aliases->push_back(Alias{pattern, driver});
    }
  }
  std::fclose(file);
}

// A sysfs attribute's first line, "" when there is none.
std::string Attribute(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "re");
  if (file == nullptr) return "";
  char line[512] = "";
  bool read = std::fgets(line, sizeof line, file) != nullptr;
  std::fclose(file);
  if (!read) return "";
  line[std::strcspn(line, "\n")] = 0;
  return line;
}

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* entries = opendir(folder.c_str());
  if (entries == nullptr) return names;
  while (const dirent* entry = readdir(entries)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  closedir(entries);
  std::sort(names.begin(), names.end());
  return names;
}

// The last part of where the link points: a bound interface's "driver".
std::string LinkName(const std::string& path) {
  char target[PATH_MAX];
  ssize_t size = readlink(path.c_str(), target, sizeof target - 1);
  if (size <= 0) return "";
  target[size] = 0;
  const char* slash = std::strrchr(target, '/');
  return slash != nullptr ? slash + 1 : target;
}

bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

struct UsbDevice {
  std::string name;    // "1-1.2"
  std::string driver;  // the serial driver one of its interfaces matches
  std::string heldBy;  // that interface's bound driver
  bool tty;            // some interface has a tty: a port exists
};

}  // namespace

std::vector<PortlessAdapter> FindPortlessAdapters(const char* root, const char* modulesDir) {
  std::vector<PortlessAdapter> adapters;
  std::string modules;
  if (modulesDir != nullptr) {
    modules = modulesDir;
  } else {
    utsname kernel;
    if (uname(&kernel) != 0) return adapters;
    modules = std::string(root) + "/lib/modules/" + kernel.release;
  }
  std::vector<Alias> aliases;
  ReadAliases(modules + "/modules.alias", &aliases);
  ReadAliases(modules + "/modules.builtin.alias", &aliases);
  if (aliases.empty()) return adapters;

  // Interfaces are "1-1.2:1.0", under their device "1-1.2", and a device's sort
  // together. A usb-serial driver puts its ttyUSB0 right under the interface, cdc_acm
  // a "tty" folder.
  std::string base = std::string(root) + "/sys/bus/usb/devices";
  std::vector<UsbDevice> devices;
  for (const std::string& entry : Entries(base)) {
    size_t colon = entry.find(':');
    if (colon == std::string::npos) continue;
    std::string name = entry.substr(0, colon);
    if (devices.empty() || devices.back().name != name) devices.push_back(UsbDevice{name, "", "", false});
    UsbDevice& device = devices.back();
    std::string folder = base;
    folder += "/" + entry;
    for (const std::string& inside : Entries(folder)) {
      if (inside.compare(0, 3, "tty") == 0) device.tty = true;
    }
    if (!device.driver.empty()) continue;
    std::string modalias = Attribute(folder + "/modalias");
    for (const Alias& alias : aliases) {
      if (!modalias.empty() && fnmatch(alias.pattern.c_str(), modalias.c_str(), 0) == 0) {
        device.driver = alias.driver;
        device.heldBy = LinkName(folder + "/driver");
        break;
      }
    }
  }
  for (const UsbDevice& device : devices) {
    if (device.driver.empty() || device.tty) continue;
    std::string folder = base + "/" + device.name;
    adapters.push_back(PortlessAdapter{Attribute(folder + "/idVendor") + ":" + Attribute(folder + "/idProduct"),
                                       Attribute(folder + "/product"), device.driver, device.heldBy});
  }
  return adapters;
}

bool FindBrltty(const char* root, std::string* rule) {
  rule->clear();
  std::string base = root;
  bool installed = false;
  for (const char* program : {"/usr/bin/brltty", "/bin/brltty", "/usr/sbin/brltty", "/sbin/brltty"}) {
    installed = installed || Exists(base + program);
  }
  for (const char* folder : {"/usr/lib/udev/rules.d", "/lib/udev/rules.d"}) {
    for (const std::string& name : Entries(base + folder)) {
      if (fnmatch("*brltty*.rules", name.c_str(), 0) != 0) continue;
      installed = true;
      // One of that name in /etc overrides it (a link to /dev/null masks it).
      std::string masked = base + "/etc/udev/rules.d/";
      if (rule->empty() && !Exists(masked += name)) *rule = name;
    }
  }
  return installed;
}
