// The lines the Linux build adds under a scan's result. A Linux user hands a device,
// not a COM number, to the next program, and a port refused for lack of permission
// or held by another program must not read as "nothing there": the log says "No such
// port. Skipping." for both, as on Windows, so the result says what happened. A scan
// that found nothing says what the ports that answered held, and which USB serial
// adapters have no port at all.
#include "terminal/terminal.h"

#include "win32/com_names.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kFoundPrefix[] = "GPS device found at COM";

// "COM3 is /dev/ttyUSB0"; a link (a SENTROVA_COMDIR entry, say) is named with the
// device it points to: "COM3 is /tmp/ports/com3 -> /dev/pts/5". The device of the
// scan's numbering, whatever has come or gone since. When udev gave the device a
// stable name, that follows: "COM5 is /dev/ttyACM0 (/dev/serial/by-id/usb-...)", the
// name to give gpsd or any other program, which the next plug or boot keeps, while
// ttyACM0 may then be another device.
std::string FoundDeviceLine(int32_t port) {
  FoundDevice found;
  if (!FindFoundDevice(port, &found)) return "";
  std::string line = "COM" + std::to_string(port) + " is " + found.path;
  if (found.device != found.path) line += " -> " + found.device;
  if (!found.stable.empty()) line += " (" + found.stable + ")";
  return line;
}

// The port number of a found receiver, from the result's own text.
bool FoundPort(const std::string& result, int32_t* port) {
  if (result.compare(0, sizeof kFoundPrefix - 1, kFoundPrefix) != 0) return false;
  const char* digits = result.c_str() + sizeof kFoundPrefix - 1;
  char* end = nullptr;
  long value = std::strtol(digits, &end, 10);
  if (end == digits || *end != ':' || value < 1 || value > 256) return false;
  *port = static_cast<int32_t>(value);
  return true;
}

// Splits "/dev/ttyS12" into "/dev/ttyS" and 12; false when it ends in no number.
bool SplitNumber(const std::string& device, std::string* stem, long* number) {
  size_t digits = device.find_last_not_of("0123456789") + 1;
  if (digits >= device.size() || device.size() - digits > 6) return false;
  if (device[digits] == '0' && digits + 1 < device.size()) return false;  // "tty01"
  *stem = device.substr(0, digits);
  *number = std::strtol(device.c_str() + digits, nullptr, 10);
  return true;
}

// The devices as a list, three or more consecutive ones as a shell's brace range:
// "/dev/ttyS{0..31}, /dev/ttyUSB0".
std::string DeviceList(const std::vector<std::string>& devices) {
  std::string list;
  for (size_t at = 0; at < devices.size();) {
    std::string stem;
    long first = 0;
    size_t end = at + 1;
    if (SplitNumber(devices[at], &stem, &first)) {
      std::string nextStem;
      long next = 0;
      while (end < devices.size() && SplitNumber(devices[end], &nextStem, &next) &&
             nextStem == stem && next == first + static_cast<long>(end - at)) {
        ++end;
      }
    }
    if (!list.empty()) list += ", ";
    if (end - at >= 3) {
      list += stem + "{" + std::to_string(first) + ".." + std::to_string(first + (end - at - 1)) + "}";
    } else {
      end = at + 1;
      list += devices[at];
    }
    at = end;
  }
  return list;
}

std::string Count(size_t count) { return std::to_string(count) + (count == 1 ? " port" : " ports"); }

bool InSession(gid_t group) {
  if (getegid() == group) return true;
  gid_t groups[NGROUPS_MAX];
  int count = getgroups(NGROUPS_MAX, groups);
  for (int n = 0; n < count; ++n) {
    if (groups[n] == group) return true;
  }
  return false;
}

// Whether the account is in the group, as the group database says (a member since
// this session began is not in the session's groups yet).
// The account database is read on the dialog's thread only, after the scan (hence
// the plain, not reentrant, calls here and below).
bool AccountInGroup(const group* entry) {
  const passwd* account = getpwuid(getuid());  // NOLINT(concurrency-mt-unsafe): see above
  if (account == nullptr) return false;
  if (account->pw_gid == entry->gr_gid) return true;
  for (char** member = entry->gr_mem; *member != nullptr; ++member) {
    if (std::strcmp(*member, account->pw_name) == 0) return true;
  }
  return false;
}

std::string OwnerName(uid_t owner) {
  const passwd* account = getpwuid(owner);  // NOLINT(concurrency-mt-unsafe): the dialog's thread
  return account != nullptr ? account->pw_name : std::to_string(owner);
}

struct GroupRefusal {
  gid_t group;
  std::vector<std::string> devices;
};

// One line per group whose members may open the refused devices (the usual case:
// group dialout, mode 0660), and one for devices that no group of the user's could
// open, each with its owner and mode: joining a group would not help there.
void RefusalLines(const std::vector<PortNote>& notes, std::vector<std::string>* lines) {
  std::vector<GroupRefusal> byGroup;
  std::vector<std::string> others;
  for (const PortNote& note : notes) {
    if (note.kind != kPortRefused) continue;
    struct stat info;
    bool known = stat(note.device.c_str(), &info) == 0;
    if (known && (info.st_mode & 0060) == 0060 && !InSession(info.st_gid)) {
      GroupRefusal* entry = nullptr;
      for (GroupRefusal& refusal : byGroup) {
        if (refusal.group == info.st_gid) entry = &refusal;
      }
      if (entry == nullptr) entry = &byGroup.emplace_back(GroupRefusal{info.st_gid, {}});
      entry->devices.push_back(note.device);
    } else if (known) {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
      others.push_back(note.device + " (owner " + OwnerName(info.st_uid) + ", mode " + mode + ")");
    } else {
      others.push_back(note.device);
    }
  }
  for (const GroupRefusal& refusal : byGroup) {
    const group* entry = getgrgid(refusal.group);  // NOLINT(concurrency-mt-unsafe): the dialog's thread
    std::string name = entry != nullptr ? entry->gr_name : std::to_string(refusal.group);
    std::string line = "Permission denied on " + Count(refusal.devices.size()) + ": " +
                       DeviceList(refusal.devices) + " (group " + name + "). ";
    if (entry != nullptr && AccountInGroup(entry)) {
      line += "You were added to group " + name + " after this login began: log in again.";
    } else {
      line += std::string(refusal.devices.size() == 1 ? "To use it" : "To use them") +
              ": sudo usermod -aG " + name + " $USER, then log in again.";
    }
    lines->push_back(line);
  }
  if (!others.empty()) {
    std::string line = "Permission denied on " + Count(others.size()) + ": ";
    for (size_t n = 0; n < others.size(); ++n) line += (n > 0 ? ", " : "") + others[n];
    lines->push_back(line + ".");
  }
}

// "Busy: /dev/ttyUSB1 (gpsd, pid 812), /dev/ttyS0." Kept short: the box is narrow.
// Where gpsd reads a GPS receiver, it says at which speed, as gpsd reports it:
// "Busy: /dev/ttyUSB0 (gpsd, pid 812, reading a GPS receiver at 9600 bauds)."
void BusyLine(const std::vector<PortNote>& notes, std::vector<std::string>* lines) {
  std::string line;
  for (const PortNote& note : notes) {
    if (note.kind != kPortBusy) continue;
    line += line.empty() ? "Busy: " : ", ";
    line += note.device;
    if (note.holderPid > 0) {
      line += " (" + (note.holderName.empty() ? "" : note.holderName + ", ") + "pid " +
              std::to_string(note.holderPid);
      if (note.holderRate > 0) {
        line += ", reading a GPS receiver at " + std::to_string(note.holderRate) + " bauds";
      }
      line += ")";
    }
  }
  if (!line.empty()) lines->push_back(line + ".");
}

// "USB adapter 1a86:7523 (USB Serial) has no port: usbfs holds it, not ch341", and
// where brltty is installed the way out, once. Kept short for the dialog's box.
void AdapterLines(const ScanFindings& findings, std::vector<std::string>* lines) {
  bool claimed = false;
  for (const PortlessAdapter& adapter : findings.adapters) {
    std::string line = "USB adapter " + adapter.usbId +
                       (adapter.product.empty() ? "" : " (" + adapter.product + ")") + " has no port: ";
    line += adapter.heldBy.empty() ? "no driver holds it, though " + adapter.serialDriver + " would"
                                   : adapter.heldBy + " holds it, not " + adapter.serialDriver;
    // brltty claims through usbfs; after it let go, nothing is bound.
    claimed = claimed || adapter.heldBy == "usbfs" || adapter.heldBy.empty();
    lines->push_back(line);
  }
  if (!claimed || !findings.brltty) return;
  // Ubuntu starts brltty from a udev rule, which a link to /dev/null of the same name
  // in /etc masks; Debian's package has none and runs it as a service.
  std::string keep = findings.brlttyRule.empty()
                         ? "sudo systemctl mask --now brltty"
                         : "sudo ln -s /dev/null /etc/udev/rules.d/" + findings.brlttyRule;
  lines->push_back("brltty (braille displays) takes such adapters. Replug it after: sudo apt remove brltty, or " +
                   keep);
}

}  // namespace

ScanFindings TakeScanFindings(bool foundNothing) {
  ScanFindings findings = {TakePortNotes(), TakeSeenPorts(), {}, false, ""};
  if (!foundNothing) {
    findings.seen.clear();
    return findings;
  }
  std::string root;
  if (MachinePortsRoot(&root)) {
    findings.adapters = FindPortlessAdapters(root.c_str(), nullptr);
    findings.brltty = FindBrltty(root.c_str(), &findings.brlttyRule);
  }
  return findings;
}

bool FindFoundDevice(int32_t port, FoundDevice* found) {
  char path[PATH_MAX];
  if (!ComDevicePath(port, path, sizeof path)) return false;
  found->path = path;
  char resolved[PATH_MAX];
  found->device = realpath(path, resolved) != nullptr ? resolved : path;
  found->stable.clear();
  StableDevicePath(path, &found->stable);
  return true;
}

std::vector<std::string> ScanResultNotes(int32_t foundPort, const ScanFindings& findings) {
  std::vector<std::string> lines;
  if (foundPort != 0) {
    std::string line = FoundDeviceLine(foundPort);
    if (!line.empty()) lines.push_back(line);
  }
  RefusalLines(findings.ports, &lines);
  BusyLine(findings.ports, &lines);
  if (foundPort == 0) {
    for (const SeenPort& seen : findings.seen) {
      FoundDevice where;
      SeenPortLines(seen, FindFoundDevice(seen.port, &where) ? where.device : "", &lines);
    }
    AdapterLines(findings, &lines);
  }
  // Device paths, links and process names come from outside: any local user can
  // name a process after an escape sequence.
  for (std::string& line : lines) line = VisibleText(line);
  return lines;
}

// The dialog's box is given its text only; the port found is read back from it.
std::vector<std::string> ResultNotes(const std::string& result, const ScanFindings& findings) {
  int32_t port = 0;
  if (!FoundPort(result, &port)) port = 0;
  return ScanResultNotes(port, findings);
}
