// Timings of the detection core on the Linux build, against sentrova-sim devices:
// printed next to their targets, never asserted (the machines are shared and noisy).
//
//   scan_bench           the everyday table (about 40 s)
//   scan_bench --many    adds a scan over 255 live ports (several minutes)
//   scan_bench --look    only the empty scan and the look for a port's other users
//   scan_bench --once-a-second
//                        only receivers that talk once a second, sixty scans side by
//                        side: each rate at ten points of the receiver's second (80 s)
#include "detect/port_probe.h"
#include "detect/scan_context.h"
#include "detect/scan_driver.h"
#include "sim_launch.h"
#include "policy/scan_session.h"

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kReadyDeadlineSeconds = 60;
constexpr int kEmptyScanRuns = 5;
constexpr int kCloseRuns = 20;
constexpr int kOpenRuns = 20;
constexpr int kLivenessRuns = 5;
constexpr int kBeginRuns = 5;
// A desktop with a browser open: some 50,000 descriptors in 200 processes.
constexpr int kCrowdProcesses = 200;
constexpr int kCrowdDescriptors = 250;
const char kGpsdBenchPort[] = "42947";
constexpr useconds_t kCaptureRunMicroseconds = 100'000;
// What the liveness test of a silent port costs by design: its tries spread over the
// span, the last read's 2 ms timeout after it.
constexpr double kNominalLivenessSeconds = kLivenessSpanMs / 1000.0;
// Receivers once a second: the real log they replay (an MTK chip's fixes, about 400
// bytes), and the points of their second at which their ports are first opened.
const char kOnceASecondLog[] = SENTROVA_TEST_DATA "/nmea/mtk-3301.nmea";
constexpr int kOnceASecondPhases = 10;

double NowSeconds() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double CpuSeconds() {
  rusage usage = {};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The log goes to /dev/null while the core runs, so that the table stays readable
// and the terminal's speed is not measured.
int gSavedStdout = -1;

void MuteLog() {
  std::fflush(stdout);
  gSavedStdout = dup(STDOUT_FILENO);
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  dup2(null, STDOUT_FILENO);
  close(null);
}

void RestoreLog() {
  std::fflush(stdout);
  dup2(gSavedStdout, STDOUT_FILENO);
  close(gSavedStdout);
}

void PrintHeader() {
  std::printf("%-52s %14s %14s  %s\n", "measure", "measured", "target", "within");
  std::printf("%-52s %14s %14s  %s\n", std::string(52, '-').c_str(), "--------------",
              "--------------", "------");
}

void PrintRow(const char* measure, double value, const char* unit, double target, bool below) {
  char measured[32];
  char wanted[32];
  std::snprintf(measured, sizeof measured, "%.3f %s", value, unit);
  std::snprintf(wanted, sizeof wanted, "%s %.3f %s", below ? "<" : ">", target, unit);
  bool ok = below ? value < target : value > target;
  std::printf("%-52s %14s %14s  %s\n", measure, measured, wanted, ok ? "yes" : "NO");
}

void PrintInfo(const char* measure, double value, const char* unit) {
  char measured[32];
  std::snprintf(measured, sizeof measured, "%.3f %s", value, unit);
  std::printf("%-52s %14s %14s\n", measure, measured, "-");
}

bool StartDevices(const std::vector<std::string>& ports, std::string* folder, SimProcess* sim) {
  if (!MakeLinkFolder(folder)) return false;
  std::vector<std::string> args = {"--dir", *folder};
  for (const std::string& port : ports) {
    args.push_back("--port");
    args.push_back(port);
  }
  if (!StartSimulator(SENTROVA_SIM_PATH, args, kReadyDeadlineSeconds, sim)) {
    RemoveLinkFolder(*folder);
    return false;
  }
  setenv("SENTROVA_COMDIR", folder->c_str(), 1);
  return true;
}

void StopDevices(const std::string& folder, SimProcess* sim) {
  StopSimulator(sim);
  RemoveLinkFolder(folder);
  unsetenv("SENTROVA_COMDIR");
}

struct ScanTiming {
  bool found = false;
  int32_t port = 0;
  uint32_t rate = 0;
  double wall = 0;
  double cpu = 0;
};

ScanTiming TimeScan() {
  ScanTiming timing;
  ScanContext* context = CreateScanContext(nullptr);
  if (context == nullptr) return timing;
  MuteLog();
  double cpu = CpuSeconds();
  double start = NowSeconds();
  // As Detect runs it: the session's look at the ports' other users included.
  BeginScanSession();
  timing.found = ScanForReceiver(context, &timing.port, &timing.rate);
  EndScanSession();
  timing.wall = NowSeconds() - start;
  timing.cpu = CpuSeconds() - cpu;
  RestoreLog();
  DestroyScanContext(context);
  return timing;
}

// Probes the port and, if a capture started, lets it run briefly, then times ClosePort
// alone and the way from ClosePort to the reader's end. Returns false when the probe
// failed.
bool TimeCloseToReaderEnd(int32_t port, uint32_t rate, double* closeSeconds, double* seconds) {
  ScanContext* context = CreateScanContext(nullptr);
  if (context == nullptr) return false;
  PortName name = MakePortName(port);
  MuteLog();
  bool probed = ProbePort(rate, name, context);
  if (probed) {
    usleep(kCaptureRunMicroseconds);
    double start = NowSeconds();
    ClosePort(context);
    *closeSeconds = NowSeconds() - start;
    EndReader(context);
    *seconds = NowSeconds() - start;
  } else {
    ClosePort(context);
  }
  RestoreLog();
  DestroyScanContext(context);
  return probed;
}

double TimeLivenessOfSilentPort(int32_t port) {
  std::vector<double> runs;
  for (int i = 0; i < kLivenessRuns; ++i) {
    ScanContext* context = CreateScanContext(nullptr);
    if (context == nullptr) break;
    MuteLog();
    double start = NowSeconds();
    ProbePort(4800, MakePortName(port), context);
    runs.push_back(NowSeconds() - start);
    ClosePort(context);
    RestoreLog();
    DestroyScanContext(context);
  }
  return Median(runs);
}

void BenchEmptyScan() {
  std::string folder;
  if (!MakeLinkFolder(&folder)) return;
  setenv("SENTROVA_COMDIR", folder.c_str(), 1);
  std::vector<double> runs;
  for (int i = 0; i < kEmptyScanRuns; ++i) runs.push_back(TimeScan().wall);
  unsetenv("SENTROVA_COMDIR");
  RemoveLinkFolder(folder);
  PrintRow("empty scan, 255 absent ports (median of 5)", Median(runs), "s", 0.05, true);
}

int CountDescriptors() {
  int descriptors = 0;
  if (DIR* proc = opendir("/proc")) {
    while (const dirent* entry = readdir(proc)) {
      if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
      DIR* fds = opendir(("/proc/" + std::string(entry->d_name) + "/fd").c_str());
      if (fds == nullptr) continue;
      while (const dirent* fd = readdir(fds)) descriptors += fd->d_name[0] != '.' ? 1 : 0;
      closedir(fds);
    }
    closedir(proc);
  }
  return descriptors;
}

// Processes that hold `each` descriptors until killed (and die with the bench).
std::vector<pid_t> StartCrowd(int processes, int each) {
  std::vector<pid_t> crowd;
  for (int n = 0; n < processes; ++n) {
    int ready[2];
    if (pipe(ready) != 0) break;
    pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      close(ready[0]);
      for (int k = 0; k < each; ++k) open("/dev/null", O_RDONLY);
      if (write(ready[1], "y", 1) == 1) pause();
      _exit(0);
    }
    close(ready[1]);
    char answer = 0;
    if (pid > 0 && read(ready[0], &answer, 1) == 1) crowd.push_back(pid);
    close(ready[0]);
    if (pid < 0) break;
  }
  return crowd;
}

void StopProcesses(const std::vector<pid_t>& pids) {
  for (pid_t pid : pids) kill(pid, SIGKILL);
  for (pid_t pid : pids) waitpid(pid, nullptr, 0);
}

struct OpenCosts {
  double inScan;   // CreateFileW and CloseHandle of a free port within a scan's session
  double alone;    // the same outside a session: the whole look at each open
  double worst;    // the worst within a session
  double begin;    // BeginScanSession: the one look for all the ports
};

// Medians of kOpenRuns opens and closes of COM3, a free port.
bool TimeOpens(OpenCosts* costs) {
  auto openClose = [] {
    HANDLE port = CreateFileW(L"COM3:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) return false;
    CloseHandle(port);
    return true;
  };
  std::vector<double> inScan, alone, begin;
  for (int i = 0; i < kBeginRuns; ++i) {
    double start = NowSeconds();
    BeginScanSession();
    begin.push_back(NowSeconds() - start);
    for (int n = 0; n < kOpenRuns / kBeginRuns; ++n) {
      start = NowSeconds();
      if (!openClose()) break;
      inScan.push_back(NowSeconds() - start);
    }
    EndScanSession();
  }
  for (int i = 0; i < kOpenRuns; ++i) {
    double start = NowSeconds();
    if (!openClose()) break;
    alone.push_back(NowSeconds() - start);
  }
  if (inScan.size() != kOpenRuns || alone.size() != kOpenRuns) return false;
  *costs = {Median(inScan), Median(alone), *std::max_element(inScan.begin(), inScan.end()), Median(begin)};
  return true;
}

void PrintOpenCosts(const char* where, const OpenCosts& costs) {
  char label[96];
  PrintInfo(where, CountDescriptors(), "");
  PrintRow("  open of a free port in a scan (median of 20)", costs.inScan * 1e3, "ms", 5, true);
  PrintInfo("  the same, worst", costs.worst * 1e3, "ms");
  std::snprintf(label, sizeof label, "  the scan's one look at its start (median of %d)", kBeginRuns);
  PrintInfo(label, costs.begin * 1e3, "ms");
  PrintInfo("  open outside a scan: the whole look each time", costs.alone * 1e3, "ms");
}

// gpsd on COM4's device, as its service runs it (-n: the device open from the
// start), with its own socket and port. 0 when gpsd is not installed or did not
// come up within 5 s.
pid_t StartGpsd(const std::string& device, const std::string& socket) {
  const char* argv[] = {"gpsd", "-N", "-n", "-F", socket.c_str(), "-S", kGpsdBenchPort, device.c_str(), nullptr};
  pid_t pid = 0;
  if (posix_spawnp(&pid, "gpsd", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return 0;
  for (int n = 0; n < 50; ++n) {
    usleep(100'000);
    // Up once COM4 reads busy, gpsd named.
    HANDLE port = CreateFileW(L"COM4:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port != INVALID_HANDLE_VALUE) {
      CloseHandle(port);
    } else if (GetLastError() == ERROR_ACCESS_DENIED) {
      // Then until it answers quickly: gpsd hunting a receiver's speed is slow to.
      double start = NowSeconds();
      BeginScanSession();
      EndScanSession();
      if (NowSeconds() - start < 0.1) return pid;
    }
  }
  StopProcesses({pid});
  return 0;
}

// What a port that opens pays for the look for other users of it (UUCP lock files,
// /proc/locks, descriptors, gpsd's word), within a scan and outside one, beside a
// bare open and close of the device; with the descriptors of this machine, with
// some 50,000 more, and with a gpsd running.
void BenchPortOpen() {
  std::string folder;
  SimProcess sim;
  if (!StartDevices({"3:silent", "4:nmea:9600"}, &folder, &sim)) return;
  std::string device = folder + "/com3";
  std::vector<double> bare;
  for (int i = 0; i < kOpenRuns; ++i) {
    double start = NowSeconds();
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) close(fd);
    bare.push_back(NowSeconds() - start);
  }
  OpenCosts quiet = {};
  if (!TimeOpens(&quiet)) {
    StopDevices(folder, &sim);
    std::printf("cannot open the simulated port\n");
    return;
  }
  PrintOpenCosts("descriptors of the processes looked into", quiet);
  PrintInfo("  bare open and close of the device (median)", Median(bare) * 1e3, "ms");

  std::vector<pid_t> crowd = StartCrowd(kCrowdProcesses, kCrowdDescriptors);
  OpenCosts crowded = {};
  bool timed = TimeOpens(&crowded);
  char label[96];
  std::snprintf(label, sizeof label, "the same, %zu processes holding %d more each", crowd.size(),
                kCrowdDescriptors);
  if (timed) PrintOpenCosts(label, crowded);
  StopProcesses(crowd);

  char resolved[PATH_MAX];
  std::string socket = folder + "/gpsd.sock";
  pid_t gpsd = realpath((folder + "/com4").c_str(), resolved) != nullptr ? StartGpsd(resolved, socket) : 0;
  OpenCosts beside = {};
  if (gpsd == 0) {
    std::printf("%-52s %14s\n", "gpsd running", "not started");
  } else if (TimeOpens(&beside)) {
    PrintInfo("with a gpsd running: the question, once a scan", (beside.begin - quiet.begin) * 1e3, "ms");
    PrintInfo("  added to an open of a free port in a scan", (beside.inScan - quiet.inScan) * 1e3, "ms");
    PrintInfo("  added to an open outside a scan (asked each time)", (beside.alone - quiet.alone) * 1e3, "ms");
  }
  if (gpsd != 0) StopProcesses({gpsd});
  unlink(socket.c_str());
  StopDevices(folder, &sim);
}

// Returns the measured liveness test of a silent port, for the many-ports estimate.
double BenchSimulatedPorts() {
  std::string folder;
  SimProcess sim;
  // COM5 streams without a pause, so that its reader is reading when the port is closed.
  if (!StartDevices({"3:nmea:4800", "5:nmea:115200/stream", "6:stop-after:4800:1", "7:silent"},
                    &folder, &sim)) {
    std::printf("cannot start the simulator\n");
    return kNominalLivenessSeconds;
  }
  ScanTiming found = TimeScan();
  if (!found.found || found.port != 3 || found.rate != 4800) {
    std::printf("scan did not find COM3 at 4800 (found=%d COM%d %u)\n", found.found,
                static_cast<int>(found.port), found.rate);
  }
  double wait = WaitPeriodSeconds(4800);
  PrintInfo("scan finding COM3 at 4800: wall time", found.wall, "s");
  PrintRow("  overhead over its 7 s wait", 100.0 * (found.wall - wait) / wait, "%", 5.0, true);
  PrintRow("  CPU while capturing (user+sys / wall, one core)", 100.0 * found.cpu / found.wall,
           "%", 2.0, true);

  // A reading reader ends within one read. One blocked in its first wait is let be
  // for the bound (a cancel cannot end it here), then the close ends it: ClosePort
  // takes the bound, and the way to the reader's end not much more.
  struct CloseCase {
    const char* label;
    int32_t port;
    uint32_t rate;
    bool closeOnly;
    double targetMs;
  };
  const double boundMs = kReaderOffPortBoundMs;
  const CloseCase cases[] = {
      {"ClosePort to reader end, reader reading (median)", 5, 115200, false, 10.0},
      {"ClosePort, reader blocked in its 1st wait (median)", 6, 4800, true, boundMs + 10.0},
      {"ClosePort to reader end, reader in its 1st wait", 6, 4800, false, boundMs + 10.0},
  };
  PrintInfo("bound before a port is closed under its reader", boundMs, "ms");
  for (const CloseCase& c : cases) {
    std::vector<double> runs;
    for (int i = 0; i < kCloseRuns; ++i) {
      double closeSeconds = 0;
      double seconds = 0;
      if (TimeCloseToReaderEnd(c.port, c.rate, &closeSeconds, &seconds)) {
        runs.push_back((c.closeOnly ? closeSeconds : seconds) * 1000);
      }
    }
    if (runs.empty()) {
      std::printf("%-52s %14s\n", c.label, "probe failed");
      continue;
    }
    PrintRow(c.label, Median(runs), "ms", c.targetMs, true);
    char label[64];
    std::snprintf(label, sizeof label, "  worst of %zu", runs.size());
    PrintRow(label, *std::max_element(runs.begin(), runs.end()), "ms", c.targetMs, true);
  }

  // It must outlast a 1 Hz receiver's idle part of its second, with margin; more than
  // a few milliseconds over its span flags tries that do not catch up.
  double liveness = TimeLivenessOfSilentPort(7);
  PrintRow("liveness test of a silent port (median of 5)", liveness, "s", 1.2, false);
  PrintRow("  over its designed span", (liveness - kNominalLivenessSeconds) * 1e3, "ms", 20, true);
  StopDevices(folder, &sim);
  return liveness;
}

// A PC whose ttyS0-ttyS3 are four UARTs with nothing attached: each costs a liveness
// test; a receiver once a second at 4800 on the next port (a USB receiver) after them.
void BenchSilentPorts(double livenessSeconds) {
  std::string folder;
  SimProcess sim;
  std::string receiver = std::string("5:nmea:4800+500:") + kOnceASecondLog;
  if (!StartDevices({"1-4:silent", receiver}, &folder, &sim)) return;
  ScanTiming timing = TimeScan();
  StopDevices(folder, &sim);
  if (!timing.found || timing.port != 5 || timing.rate != 4800) {
    std::printf("scan did not find COM5 at 4800 behind four silent ports\n");
  }
  PrintInfo("four silent ports, then a receiver at 4800: scan", timing.wall, "s");
  PrintInfo("  of which the four liveness tests", 4 * livenessSeconds, "s");
}

struct OnceASecondScan {
  uint32_t rate = 0;
  pid_t pid = -1;
  int output = -1;       // the scan's log, read as it is written
  std::string pending;   // a line not yet ended
  double start = 0;
  std::vector<double> attemptStarts;
  double end = 0;
  bool found = false;
};

// One scan of the port in a child of its own, its log on `output`; exits 0 when the
// receiver is found at its rate.
pid_t StartOnceASecondScan(int32_t port, uint32_t rate, int* output) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return -1;
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    ScanContext* context = CreateScanContext(nullptr);
    int32_t foundPort = 0;
    uint32_t foundRate = 0;
    BeginScanSession();
    bool found = context != nullptr && ScanPorts(context, &port, 1, &foundPort, &foundRate);
    EndScanSession();
    std::fflush(stdout);
    _exit(found && foundRate == rate ? 0 : 1);
  }
  close(pipeFds[1]);
  *output = pipeFds[0];
  return pid;
}

// Reads every scan's log until all have ended, noting when each attempt began.
void FollowScans(std::vector<OnceASecondScan>* scans) {
  size_t open = scans->size();
  while (open > 0) {
    std::vector<pollfd> fds;
    for (OnceASecondScan& scan : *scans) fds.push_back({scan.output, POLLIN, 0});
    if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) return;
    double now = NowSeconds();
    for (size_t i = 0; i < scans->size(); ++i) {
      OnceASecondScan& scan = (*scans)[i];
      if (scan.output < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
      char chunk[512];
      ssize_t size = read(scan.output, chunk, sizeof chunk);
      if (size <= 0) {
        close(scan.output);
        scan.output = -1;
        scan.end = now;
        --open;
        continue;
      }
      scan.pending.append(chunk, static_cast<size_t>(size));
      for (size_t line = scan.pending.find('\n'); line != std::string::npos;
           line = scan.pending.find('\n')) {
        if (scan.pending.compare(0, 14, "Checking port ") == 0) scan.attemptStarts.push_back(now);
        scan.pending.erase(0, line + 1);
      }
    }
  }
  for (OnceASecondScan& scan : *scans) {
    int status = 0;
    waitpid(scan.pid, &status, 0);
    scan.found = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
}

// A receiver that talks once a second, alone on its port, at each of the six rates and
// ten points of its second: how often the scan finds it, and how long it takes. All
// sixty scans run side by side, each in a process of its own: the time is the scan's
// waits. For the receiver at 115200, what each lower rate's attempt costs.
void BenchOnceASecond() {
  std::vector<std::string> ports;
  std::vector<OnceASecondScan> scans;
  for (uint32_t rate : kBaudRates) {
    for (int phase = 0; phase < kOnceASecondPhases; ++phase) {
      int32_t port = static_cast<int32_t>(scans.size()) + 1;
      ports.push_back(std::to_string(port) + ":nmea:" + std::to_string(rate) + "+" +
                      std::to_string(50 + 1000 * phase / kOnceASecondPhases) + ":" +
                      kOnceASecondLog);
      scans.emplace_back();
      scans.back().rate = rate;
    }
  }
  std::string folder;
  SimProcess sim;
  if (!StartDevices(ports, &folder, &sim)) {
    std::printf("cannot start the simulator\n");
    return;
  }
  MuteLog();  // the children's stdout is their pipe; ours stays quiet meanwhile
  for (size_t i = 0; i < scans.size(); ++i) {
    scans[i].start = NowSeconds();
    scans[i].pid =
        StartOnceASecondScan(static_cast<int32_t>(i) + 1, scans[i].rate, &scans[i].output);
  }
  FollowScans(&scans);
  RestoreLog();
  StopDevices(folder, &sim);

  std::vector<double> attempts[kBaudRateCount];
  for (uint32_t rate : kBaudRates) {
    std::vector<double> times;
    int found = 0;
    for (const OnceASecondScan& scan : scans) {
      if (scan.rate != rate) continue;
      found += scan.found ? 1 : 0;
      if (scan.found) times.push_back(scan.end - scan.start);
      if (rate != 115200 || !scan.found) continue;
      for (size_t a = 0; a + 1 < scan.attemptStarts.size() && a < kBaudRateCount; ++a) {
        attempts[a].push_back(scan.attemptStarts[a + 1] - scan.attemptStarts[a]);
      }
    }
    char label[96];
    std::snprintf(label, sizeof label, "1 Hz receiver at %u: found %d of %d, median", rate, found,
                  kOnceASecondPhases);
    if (times.empty()) {
      std::printf("%-52s %14s\n", label, "-");
    } else {
      PrintInfo(label, Median(times), "s");
    }
  }
  for (int a = 0; a + 1 < kBaudRateCount; ++a) {
    if (attempts[a].empty()) continue;
    char label[96];
    std::snprintf(label, sizeof label, "  receiver at 115200, the attempt at %u (median)",
                  kBaudRates[a]);
    PrintInfo(label, Median(attempts[a]), "s");
  }
}

// Probes the port and measures the process's CPU (user+sys over wall, one core) for
// `seconds` of the capture, beginning `settleSeconds` after the probe, then closes.
// Returns a negative value when the probe failed.
double CpuDuringCapture(int32_t port, uint32_t rate, double settleSeconds, double seconds) {
  ScanContext* context = CreateScanContext(nullptr);
  if (context == nullptr) return -1;
  MuteLog();
  double share = -1;
  if (ProbePort(rate, MakePortName(port), context)) {
    usleep(static_cast<useconds_t>(settleSeconds * 1e6));
    double cpu = CpuSeconds();
    double start = NowSeconds();
    usleep(static_cast<useconds_t>(seconds * 1e6));
    share = 100.0 * (CpuSeconds() - cpu) / (NowSeconds() - start);
  }
  ClosePort(context);
  EndReader(context);
  RestoreLog();
  DestroyScanContext(context);
  return share;
}

// Faults that must cost no CPU: a device unplugged under a reader that was reading
// (its pty hung up after 300 bytes), one unplugged just after the liveness byte (the
// reader's WaitCommEvent fails), and a whole scan that meets the first.
void BenchFaults() {
  std::string folder;
  SimProcess sim;
  if (!StartDevices({"1:vanish-after:4800:300", "2:vanish-after:4800:1"}, &folder, &sim)) {
    std::printf("cannot start the simulator\n");
    return;
  }
  struct FaultCase {
    const char* label;
    int32_t port;
  };
  const FaultCase cases[] = {
      {"CPU, reader facing an unplugged device (2 s)", 1},
      {"CPU, port whose WaitCommEvent fails (2 s)", 2},
  };
  for (const FaultCase& c : cases) {
    // The first device goes 0.6 s into the capture, the second at once.
    double share = CpuDuringCapture(c.port, 4800, 1.0, 2.0);
    if (share < 0) {
      std::printf("%-52s %14s\n", c.label, "probe failed");
      continue;
    }
    PrintRow(c.label, share, "%", 2.0, true);
  }
  StopDevices(folder, &sim);

  if (!StartDevices({"1:vanish-after:4800:300", "2:nmea:4800"}, &folder, &sim)) return;
  ScanTiming timing = TimeScan();
  StopDevices(folder, &sim);
  if (!timing.found || timing.port != 2 || timing.rate != 4800) {
    std::printf("scan did not find COM2 at 4800 past the unplugged COM1\n");
  }
  PrintInfo("scan past a device unplugged mid-capture: wall", timing.wall, "s");
  PrintRow("  CPU (user+sys / wall, one core)", 100.0 * timing.cpu / timing.wall, "%", 2.0, true);
}

// 255 ports that all exist: most silent, four with junk at every rate, a receiver
// on COM255. The scan should cost little beyond its wait periods and liveness tests.
void BenchManyLivePorts(double livenessSeconds) {
  const int32_t junkPorts[] = {50, 100, 150, 200};
  std::vector<std::string> ports;
  int32_t first = 1;
  for (int32_t junk : junkPorts) {
    ports.push_back(std::to_string(first) + "-" + std::to_string(junk - 1) + ":silent");
    ports.push_back(std::to_string(junk) + ":garbage");
    first = junk + 1;
  }
  ports.push_back(std::to_string(first) + "-254:silent");
  ports.push_back("255:nmea:4800");
  std::string folder;
  SimProcess sim;
  if (!StartDevices(ports, &folder, &sim)) {
    std::printf("cannot start the simulator with 255 ports\n");
    return;
  }
  ScanTiming timing = TimeScan();
  StopDevices(folder, &sim);
  if (!timing.found || timing.port != 255 || timing.rate != 4800) {
    std::printf("scan did not find COM255 at 4800 (found=%d COM%d %u)\n", timing.found,
                static_cast<int>(timing.port), timing.rate);
  }

  double waits = WaitPeriodSeconds(4800);  // the receiver's one capture
  for (size_t i = 0; i < sizeof junkPorts / sizeof junkPorts[0]; ++i) {
    for (uint32_t rate : kBaudRates) waits += WaitPeriodSeconds(rate);
  }
  int32_t silent = kLastPort - 1 - static_cast<int32_t>(sizeof junkPorts / sizeof junkPorts[0]);
  double nominal = waits + silent * kNominalLivenessSeconds;
  double measured = waits + silent * livenessSeconds;
  PrintInfo("many live ports: scan wall time", timing.wall, "s");
  PrintInfo("  sum of wait periods", waits, "s");
  PrintInfo("  + liveness tests, nominal (their 1.25 s span)", nominal, "s");
  // The ratios' targets are ours: what is left over is the opens, the log and the
  // captures' last looks, a few percent at most.
  PrintRow("  scan over waits + nominal liveness", timing.wall / nominal, "x", 1.10, true);
  PrintRow("  scan over waits + measured liveness", timing.wall / measured, "x", 1.05, true);
  PrintRow("  CPU (user+sys / wall, one core)", 100.0 * timing.cpu / timing.wall, "%", 2.0, true);
}

}  // namespace

int main(int argc, char** argv) {
  bool many = argc > 1 && std::strcmp(argv[1], "--many") == 0;
  bool look = argc > 1 && std::strcmp(argv[1], "--look") == 0;
  bool onceASecond = argc > 1 && std::strcmp(argv[1], "--once-a-second") == 0;
  if (argc > 1 && !many && !look && !onceASecond) {
    std::fprintf(stderr, "usage: scan_bench [--many | --look | --once-a-second]\n");
    return 2;
  }
  PrintHeader();
  if (onceASecond) {
    BenchOnceASecond();
    return 0;
  }
  BenchEmptyScan();
  BenchPortOpen();
  if (look) return 0;
  double liveness = BenchSimulatedPorts();
  BenchSilentPorts(liveness);
  BenchFaults();
  if (many) BenchManyLivePorts(liveness);
  return 0;
}
