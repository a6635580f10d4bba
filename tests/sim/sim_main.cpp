// sentrova-sim: serial devices on pseudo-terminals, linked as DIR/comN so that
// SENTROVA_COMDIR=DIR (or a Wine prefix's dosdevices folder) shows them as COMn.
#include "device.h"
#include "sim.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kUsage[] =
    "usage: sentrova-sim --dir DIR [--dir DIR2 ...] --port DEVICE [--port DEVICE ...] [--verbose]\n"
    "\n"
    "Creates one pseudo-terminal per simulated port and links DIR/comN to its slave,\n"
    "so that SENTROVA_COMDIR=DIR (or a Wine prefix's dosdevices) sees it as COMn.\n"
    "Prints \"ready\" on stdout once every port is set up; removes its links and\n"
    "exits on SIGTERM, SIGINT or SIGHUP.\n"
    "\n"
    "DEVICE is N[-M]:MODE[:ARGS], for port N (or every port from N to M, 1 to 255):\n"
    "  N:nmea:RATE[:FILE]              NMEA at RATE: FILE replayed in a loop, or the\n"
    "                                  built-in GGA/GSA/GSV/RMC/VTG epochs;\n"
    "                                  garbage at every other speed\n"
    "  N:gn:RATE                       like nmea, but only $GN sentences\n"
    "  N:ubx:RATE, N:sirf:RATE         like gn, but a receiver in binary mode: u-blox\n"
    "                                  UBX (NAV-PVT, NAV-SOL) or SiRF binary frames\n"
    "  N:silent                        exists, never sends\n"
    "  N:garbage                       garbage at every speed\n"
    "  N:alive-then-silent:RATE[:FILE] NMEA at RATE, nothing at every other speed\n"
    "  N:stop-after:RATE:BYTES[:FILE]  like nmea, but only BYTES bytes after each open\n"
    "  N:vanish-after:RATE:BYTES[:FILE]\n"
    "                                  like nmea, but unplugged 50 ms after its BYTES\n"
    "                                  bytes of one open: the pty is hung up under the\n"
    "                                  program and the link removed; a fresh pty is\n"
    "                                  linked 1 s after the program closed the dead one\n"
    "\n"
    "RATE is BITS[/HZ|/stream][+MS]. A device with a rate talks as a receiver does:\n"
    "HZ times a second (1 unless given, up to 20) one burst, the sentences of one fix\n"
    "(of FILE: from one RMC or GGA to the next), one of them MS ms after the port's\n"
    "first open; the line is idle in between. At another speed it sends junk\n"
    "only while a burst lasts: at a slower speed a tenth of its bits in bytes a\n"
    "second, a few bytes a burst; at a faster one three bytes per character sent.\n"
    "/stream sends without a pause instead.\n"
    "\n"
    "A device talks only while some process has the port open, paced at a tenth of\n"
    "its rate in bytes a second (8N1); garbage (high-bit junk, never a \"$\") streamed\n"
    "comes at a tenth of the configured rate. The slave's queue is flushed at the\n"
    "first open and the last close (at a real-time priority where allowed, so that a\n"
    "close is dealt with before the next open); a reader that takes nothing for\n"
    "0.3 s has what is queued dropped and gets nothing more until the next open. A\n"
    "fresh port stands at 50 bit/s until a program configures it. A replayed FILE is\n"
    "cut after its last line feed.\n"
    "\n"
    "  --verbose   report opens, closes, speeds and stalls on stderr\n";

struct Options {
  std::vector<std::string> folders;
  std::vector<DeviceBehaviour> devices;
  bool verbose = false;
};

bool ParseOptions(int argc, char** argv, Options* options, bool* help) {
  *help = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      *help = true;
      return true;
    }
    if (arg == "--verbose" || arg == "-v") {
      options->verbose = true;
    } else if ((arg == "--dir" || arg == "--port") && i + 1 < argc) {
      const char* value = argv[++i];
      if (arg == "--dir") {
        options->folders.push_back(value);
      } else {
        std::string error;
        if (!ParsePortArgument(value, &options->devices, &error)) {
          std::fprintf(stderr, "sentrova-sim: %s\n", error.c_str());
          return false;
        }
      }
    } else {
      std::fprintf(stderr, "sentrova-sim: unexpected argument '%s'\n%s", arg.c_str(), kUsage);
      return false;
    }
  }
  if (options->folders.empty() || options->devices.empty()) {
    std::fprintf(stderr, "sentrova-sim: need --dir and at least one --port\n%s", kUsage);
    return false;
  }
  bool seen[256] = {};
  for (const DeviceBehaviour& device : options->devices) {
    if (seen[device.port]) {
      std::fprintf(stderr, "sentrova-sim: port %d given twice\n", device.port);
      return false;
    }
    seen[device.port] = true;
  }
  return true;
}

void HandleWatchEvents(int inotifyFd, std::vector<SimDevice>* devices, bool verbose) {
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    ssize_t size = read(inotifyFd, buffer, sizeof buffer);
    if (size <= 0) return;
    int64_t now = NowNs();
    for (ssize_t offset = 0; offset < size;) {
      const inotify_event* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) {
        std::fprintf(stderr, "sentrova-sim: inotify queue overflowed, open counts may be off\n");
        continue;
      }
      for (SimDevice& device : *devices) {
        if (device.watch != event->wd) continue;
        // An unplugged device waits only for its dead pty to be let go.
        if (device.vanished) {
          if (event->mask & IN_IGNORED) DeviceReleased(&device, now, verbose);
          continue;
        }
        // One event may carry an open and a close when the kernel merged them;
        // the open came first.
        if (event->mask & IN_OPEN) DeviceOpened(&device, now, verbose);
        if (event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) DeviceClosed(&device, now, verbose);
      }
    }
  }
}

// A UART's driver drops what its reader left unread at the last close, before anyone
// can open the port again. Here that drop waits for inotify to tell of the close, and
// on a loaded machine the next opener's first read could come before we are scheduled:
// a Windows program under Wine reopens within a millisecond, and would read the last
// open's bytes. So we run at a real-time priority where we may (root, or an rtprio
// limit): woken by the close, we preempt whatever runs and are done long before the
// port can be opened again. The loop sleeps between ticks; should it ever spin,
// RLIMIT_RTTIME ends it instead of the machine.
void RunLikeADriver(bool verbose) {
  rlimit spin = {};
  spin.rlim_cur = 1'000'000;  // microseconds of CPU without sleeping: SIGXCPU
  spin.rlim_max = 2'000'000;  // and then SIGKILL
  sched_param priority = {};
  priority.sched_priority = 1;
  if (setrlimit(RLIMIT_RTTIME, &spin) == 0 &&
      sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &priority) == 0) {
    return;
  }
  if (verbose) {
    std::fprintf(stderr, "sim: no real-time priority (%s); a close may be noticed late\n",
                 std::strerror(errno));
  }
}

int RunSimulator(Options* options) {
  RunLikeADriver(options->verbose);
  for (const std::string& folder : options->folders) {
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
      std::fprintf(stderr, "sentrova-sim: cannot create %s: %s\n", folder.c_str(), std::strerror(errno));
      return 1;
    }
  }

  // Signals arrive as readable data in the poll loop, never in the middle of a send.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  int signalFd = signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
  int inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (signalFd < 0 || inotifyFd < 0) {
    std::fprintf(stderr, "sentrova-sim: %s\n", std::strerror(errno));
    return 1;
  }

  std::vector<SimDevice> devices(options->devices.size());
  bool ok = true;
  for (size_t i = 0; i < devices.size() && ok; ++i) {
    devices[i].behaviour = std::move(options->devices[i]);
    std::string error;
    ok = SetUpDevice(&devices[i], options->folders, &error) &&
         WatchDevice(&devices[i], inotifyFd, &error);
    if (!ok) std::fprintf(stderr, "sentrova-sim: COM%d: %s\n", devices[i].behaviour.port, error.c_str());
  }

  if (ok) {
    std::printf("ready\n");
    std::fflush(stdout);
  }

  std::vector<pollfd> fds;
  std::vector<int64_t> wakeAt(devices.size(), -1);
  while (ok) {
    fds.clear();
    fds.push_back({signalFd, POLLIN, 0});
    fds.push_back({inotifyFd, POLLIN, 0});
    for (const SimDevice& device : devices) fds.push_back({device.master, POLLIN, 0});

    int64_t now = NowNs();
    int64_t next = -1;
    for (int64_t wake : wakeAt) {
      if (wake >= 0 && (next < 0 || wake < next)) next = wake;
    }
    for (const SimDevice& device : devices) {
      int64_t wake = device.replugAtNs;
      if (wake >= 0 && (next < 0 || wake < next)) next = wake;
    }
    int timeout = -1;  // nobody has a port open: wait for an open or a signal
    if (next >= 0) timeout = next <= now ? 0 : static_cast<int>((next - now + 999'999) / 1'000'000);

    int ready = poll(fds.data(), fds.size(), timeout);
    if (ready < 0 && errno != EINTR) {
      std::fprintf(stderr, "sentrova-sim: poll: %s\n", std::strerror(errno));
      break;
    }
    if (ready > 0 && (fds[0].revents & POLLIN)) break;
    if (ready > 0 && (fds[1].revents & POLLIN)) HandleWatchEvents(inotifyFd, &devices, options->verbose);
    for (size_t i = 0; ready > 0 && i < devices.size(); ++i) {
      if (fds[i + 2].revents & POLLIN) DrainMaster(&devices[i]);
    }
    now = NowNs();
    for (SimDevice& device : devices) {
      if (device.replugAtNs < 0 || device.replugAtNs > now) continue;
      std::string error;
      if (!ReplugDevice(&device, options->folders, inotifyFd, options->verbose, &error)) {
        std::fprintf(stderr, "sentrova-sim: COM%d: %s\n", device.behaviour.port, error.c_str());
      }
    }
    for (size_t i = 0; i < devices.size(); ++i) {
      // Ticks come when due, or at once for a device whose state just changed.
      if (!devices[i].session) {
        wakeAt[i] = -1;
      } else if (wakeAt[i] < 0 || wakeAt[i] <= now) {
        wakeAt[i] = TickDevice(&devices[i], now, options->verbose);
      }
    }
  }

  for (SimDevice& device : devices) TearDownDevice(&device);
  close(inotifyFd);
  close(signalFd);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool help = false;
  if (!ParseOptions(argc, argv, &options, &help)) return 2;
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  return RunSimulator(&options);
}
