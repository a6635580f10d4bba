// `sentrova --scan`, the scan for scripts: no dialog, terminal or not. The answer is
// the exit status and, with --json, one object on stdout; the result lines go to
// stderr as the dialog writes them without a terminal. The scan is the detection
// core's own, called as the Detect command calls it: the port and rate found are its
// values, never read back out of a result's text.
#include "terminal/terminal.h"

#include "detect/scan_context.h"
#include "detect/scan_driver.h"
#include "resources/texts.h"
#include "win32/com_names.h"
#include "win32/scan_session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kFoundStatus = 0;
constexpr int kNotFoundStatus = 1;
constexpr int kTroubleStatus = 2;

// The port the scan's numbering gives the device at `given`, compared by device
// number, so that a link (/dev/serial/by-id/..., a SENTROVA_COMDIR entry) counts as
// its device. Only stat is asked: a path given by mistake is never opened, so no
// modem line of it moves and nothing that waits on an open wakes. A device that two
// ports name (two links of one folder) is the lower port, the one a scan tries first.
bool PortOfDevice(const char* given, int32_t* port, std::string* why) {
  struct stat device;
  if (stat(given, &device) != 0) {
    char text[128];
    *why = strerror_r(errno, text, sizeof text);
    return false;
  }
  if (!S_ISCHR(device.st_mode)) {
    *why = "not a character device, so no serial port";
    return false;
  }
  for (int32_t n = kFirstPort; n <= kLastPort; ++n) {
    char path[PATH_MAX];
    struct stat numbered;
    if (ComDevice(n, path, sizeof path, &numbered) && S_ISCHR(numbered.st_mode) &&
        numbered.st_rdev == device.st_rdev) {
      *port = n;
      return true;
    }
  }
  *why = "a character device, but not one of the COM ports (see 'COM port numbers' in sentrova(1))";
  return false;
}

}  // namespace

int RunScriptScan(bool json, const std::vector<std::string>& devices) {
  // With json, stdout carries the object alone: the log the core writes on stdout
  // goes to stderr, and the object to a copy of the stdout the program was given.
  int jsonFd = -1;
  if (json) {
    jsonFd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (jsonFd < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
      std::fprintf(stderr, "sentrova: no standard output for the JSON result\n");
      return kTroubleStatus;
    }
  }

  // The devices are looked up in the numbering the scan then holds, so a device
  // cannot change its number between the two.
  BeginScanSession();
  BeginCaptureNotes();
  std::vector<int32_t> ports;
  for (const std::string& given : devices) {
    int32_t port = 0;
    std::string why;
    if (!PortOfDevice(given.c_str(), &port, &why)) {
      EndCaptureNotes();
      EndScanSession();
      std::fprintf(stderr, "sentrova: --device '%s': %s\n", VisibleText(given).c_str(), why.c_str());
      if (jsonFd >= 0) close(jsonFd);
      return kTroubleStatus;
    }
    ports.push_back(port);
  }
  // In the scan's own order, each once: the answer is the one a whole scan gives when
  // only these ports exist.
  std::sort(ports.begin(), ports.end());
  ports.erase(std::unique(ports.begin(), ports.end()), ports.end());

  bool found = false;
  int32_t port = 0;
  uint32_t rate = 0;
  ScanContext* context = CreateScanContext(nullptr);
  char text[64];
  if (context == nullptr) {
    std::snprintf(text, sizeof text, "%s", SENTROVA_TEXT_NO_MEMORY);
  } else {
    found = devices.empty() ? ScanForReceiver(context, &port, &rate)
                            : ScanPorts(context, ports.data(), static_cast<int32_t>(ports.size()),
                                        &port, &rate);
    DestroyScanContext(context);
    if (found) {
      std::snprintf(text, sizeof text, SENTROVA_TEXT_FOUND, static_cast<int>(port),
                    static_cast<int>(rate));
    } else {
      std::snprintf(text, sizeof text, "%s", SENTROVA_TEXT_NOT_FOUND);
    }
  }
  EndCaptureNotes();
  // The notes and the found port's device are read while the scan's numbering is
  // still held, as the dialog's result box reads them.
  ScanFindings findings = TakeScanFindings(context != nullptr && !found);
  std::string lines = std::string(SENTROVA_TEXT_COMPLETED ": ") + text + "\n";
  for (const std::string& note : ScanResultNotes(found ? port : 0, findings)) lines += note + "\n";
  std::string object = context != nullptr ? ScanResultJson(found, port, rate, findings) + "\n" : "";
  EndScanSession();

  std::fflush(stdout);  // the log first, then the result
  WriteAllTo(STDERR_FILENO, lines);
  if (context == nullptr) return kTroubleStatus;  // no scan ran: no object either
  if (jsonFd >= 0) {
    bool written = WriteAllTo(jsonFd, object);
    close(jsonFd);
    if (!written) {
      std::fprintf(stderr, "sentrova: the JSON result could not be written\n");
      return kTroubleStatus;
    }
  }
  return found ? kFoundStatus : kNotFoundStatus;
}
