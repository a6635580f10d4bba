// ScanForReceiver over the Win32 stand-in, against sentrova-sim devices pinned with
// SENTROVA_COMDIR: the whole road from CreateFileW to the recognised sentence, with
// real pseudo-terminals, real threads and real waits.
#include "detect/scan_context.h"
#include "detect/scan_driver.h"
#include "sim_launch.h"

#include "../proc_entries.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <csignal>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kReadyDeadlineSeconds = 20;
constexpr unsigned kHangGuardSeconds = 200;  // a scan here takes 80 s at most

std::vector<int32_t> gProgress;

void RecordProgress(int32_t percent) { gProgress.push_back(percent); }

enum class Outcome { kAbsent, kDead, kAlive };

struct Attempt {
  int32_t port;
  uint32_t rate;
  Outcome outcome;
};

// The log and progress values the scan must produce for the attempts, in order.
void Expect(const std::vector<Attempt>& attempts, std::string* log,
            std::vector<int32_t>* progress) {
  progress->push_back(0);
  for (const Attempt& attempt : attempts) {
    char line[96];
    std::snprintf(line, sizeof line, "Checking port COM%d: bauds rate %u\n",
                  static_cast<int>(attempt.port), attempt.rate);
    *log += line;
    switch (attempt.outcome) {
      case Outcome::kAbsent:
        *log += "No such port. Skipping.\n";
        break;
      case Outcome::kDead:
        *log += "Port exists, but seems to be dead. Skipping.\n";
        break;
      case Outcome::kAlive:
        *log += "Port exists, not dead. Trying to analyze data for GPS sentences.\n";
        break;
    }
    progress->push_back(PortProgress(attempt.port));
  }
  progress->push_back(100);
}

void AddAbsent(int32_t first, int32_t last, std::vector<Attempt>* attempts) {
  for (int32_t n = first; n <= last; ++n) attempts->push_back({n, 4800, Outcome::kAbsent});
}

struct ScanResult {
  bool found = false;
  int32_t port = -1;
  uint32_t rate = 0;
  std::string log;
};

struct ScanIntegration : ::testing::Test {
  std::string folder;
  SimProcess sim;

  void SetUp() override { alarm(kHangGuardSeconds); }

  void TearDown() override {
    EXPECT_TRUE(StopSimulator(&sim)) << "the simulator did not end cleanly";
    RemoveLinkFolder(folder);
    unsetenv("SENTROVA_COMDIR");
    alarm(0);
  }

  void StartDevices(const std::vector<std::string>& ports) {
    ASSERT_TRUE(MakeLinkFolder(&folder));
    std::vector<std::string> args = {"--dir", folder};
    for (const std::string& port : ports) {
      args.push_back("--port");
      args.push_back(port);
    }
    ASSERT_TRUE(StartSimulator(SENTROVA_SIM_PATH, args, kReadyDeadlineSeconds, &sim));
    setenv("SENTROVA_COMDIR", folder.c_str(), 1);
  }

  // Runs one scan with its log captured from standard output.
  void Scan(ScanResult* result) {
    gProgress.clear();
    ScanContext* context = CreateScanContext(RecordProgress);
    ASSERT_NE(context, nullptr);
    char logPath[] = "/tmp/sentrova-scan-log-XXXXXX";
    int logFd = mkstemp(logPath);
    ASSERT_GE(logFd, 0);
    unlink(logPath);
    std::fflush(stdout);
    int savedStdout = dup(STDOUT_FILENO);
    dup2(logFd, STDOUT_FILENO);
    result->found = ScanForReceiver(context, &result->port, &result->rate);
    std::fflush(stdout);
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);

    // When it returns, no port is open and no reader runs.
    EXPECT_EQ(context->portHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(context->readerThread, nullptr);
    EXPECT_EQ(context->portOpen, 0);
    DestroyScanContext(context);

    char chunk[4096];
    ssize_t size = 0;
    lseek(logFd, 0, SEEK_SET);
    while ((size = read(logFd, chunk, sizeof chunk)) > 0) result->log.append(chunk, size);
    close(logFd);
  }
};

// A receiver at 4800 on COM3 is found in its first attempt; COM4, where another
// receiver talks, is never opened. A second scan finds the ports free again.
TEST_F(ScanIntegration, FindsReceiverOnLowPortAndStopsThere) {
  StartDevices({"1:silent", "3:nmea:4800:" SENTROVA_TEST_DATA "/nmea/garmin48.nmea",
                "4:nmea:4800"});
  std::vector<Attempt> attempts = {{1, 4800, Outcome::kDead},
                                   {2, 4800, Outcome::kAbsent},
                                   {3, 4800, Outcome::kAlive}};
  std::string log;
  std::vector<int32_t> progress;
  Expect(attempts, &log, &progress);

  for (int scan = 0; scan < 2; ++scan) {
    ScanResult result;
    Scan(&result);
    EXPECT_TRUE(result.found) << "scan " << scan;
    EXPECT_EQ(result.port, 3);
    EXPECT_EQ(result.rate, 4800u);
    EXPECT_EQ(result.log, log) << "scan " << scan;
    EXPECT_EQ(gProgress, progress);
  }
}

// A receiver at 38400 on COM12 whose port delivers junk at the lower rates: the
// scan captures and rejects 4800, 9600 and 19200 and finds 38400. It sends five
// fixes a second, as many do at that rate (the one-a-second receiver at every rate
// is below).
TEST_F(ScanIntegration, FindsHighPortRateBehindGarbage) {
  StartDevices({"12:nmea:38400/5"});
  std::vector<Attempt> attempts;
  AddAbsent(1, 11, &attempts);
  for (uint32_t rate : {4800u, 9600u, 19200u, 38400u}) attempts.push_back({12, rate, Outcome::kAlive});
  std::string log;
  std::vector<int32_t> progress;
  Expect(attempts, &log, &progress);

  ScanResult result;
  Scan(&result);
  EXPECT_TRUE(result.found);
  EXPECT_EQ(result.port, 12);
  EXPECT_EQ(result.rate, 38400u);
  EXPECT_EQ(result.log, log);
  EXPECT_EQ(gProgress, progress);
}

// Nothing to find: a silent port, a depth sounder alive at 4800 and silent at 9600
// (left there, 19200 and up never tried), a receiver that talks only $GN, absent
// ports up to 255. The out-parameters stay untouched.
TEST_F(ScanIntegration, FindsNothingOnSilentAndForeignPorts) {
  StartDevices({"1:silent", "2:alive-then-silent:4800:" SENTROVA_TEST_DATA "/nmea/sounder.nmea",
                "3:gn:4800"});
  std::vector<Attempt> attempts = {{1, 4800, Outcome::kDead},
                                   {2, 4800, Outcome::kAlive},
                                   {2, 9600, Outcome::kDead}};
  for (uint32_t rate : kBaudRates) attempts.push_back({3, rate, Outcome::kAlive});
  AddAbsent(4, 255, &attempts);
  std::string log;
  std::vector<int32_t> progress;
  Expect(attempts, &log, &progress);

  ScanResult result;
  result.port = -7;
  result.rate = 7;
  Scan(&result);
  EXPECT_FALSE(result.found);
  EXPECT_EQ(result.port, -7);
  EXPECT_EQ(result.rate, 7u);
  EXPECT_EQ(result.log, log);
  EXPECT_EQ(gProgress, progress);
}

// A receiver unplugged mid-capture at 4800 (its pty hung up, its link gone): the
// reader ends at the failed read, the driver stops waiting at its next look and finds
// no port at 9600, and the scan goes on to the receiver on COM2. The device is back
// for the second scan, which goes the same way; neither leaves a descriptor or a
// thread behind.
TEST_F(ScanIntegration, GoesOnPastADeviceUnpluggedMidCapture) {
  StartDevices({"1:vanish-after:4800:300", "2:nmea:4800"});
  std::vector<Attempt> attempts = {{1, 4800, Outcome::kAlive},
                                   {1, 9600, Outcome::kAbsent},
                                   {2, 4800, Outcome::kAlive}};
  std::string log;
  std::vector<int32_t> progress;
  Expect(attempts, &log, &progress);

  // Counted after the first scan: ThreadSanitizer starts a thread of its own when the
  // first reader starts.
  int32_t fds = -1;
  int32_t threads = -1;
  for (int scan = 0; scan < 2; ++scan) {
    ScanResult result;
    Scan(&result);
    EXPECT_TRUE(result.found) << "scan " << scan;
    EXPECT_EQ(result.port, 2);
    EXPECT_EQ(result.rate, 4800u);
    EXPECT_EQ(result.log, log) << "scan " << scan;
    EXPECT_EQ(gProgress, progress);
    if (scan == 0) {
      fds = CountEntries("/proc/self/fd");
      threads = CountEntries("/proc/self/task");
      sleep(2);  // the device comes back 1 s after the dead port was closed
    }
  }
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
  EXPECT_EQ(CountEntries("/proc/self/task"), threads);
}

// Twenty scans in one process over ports that cost little: a silent one (its 1.25 s
// liveness test), one held by another program, the rest absent. Each scan gets the
// same result, which it could not if the silent port were left open by the scan
// before (it would read as busy); the ports are free after each, and the process
// ends with the descriptors and threads it had.
TEST_F(ScanIntegration, TwentyScansLeaveNothingBehind) {
  constexpr int kScans = 20;
  StartDevices({"1:silent", "2:silent"});
  std::string held = folder + "/com2";
  int holder = open(held.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

  std::vector<Attempt> attempts = {{1, 4800, Outcome::kDead}, {2, 4800, Outcome::kAbsent}};
  AddAbsent(3, 255, &attempts);
  std::string log;
  std::vector<int32_t> progress;
  Expect(attempts, &log, &progress);

  int32_t fds = -1;  // counted after the first scan, as above
  int32_t threads = -1;
  for (int scan = 0; scan < kScans && !HasFailure(); ++scan) {
    ScanResult result;
    result.port = -7;
    Scan(&result);
    EXPECT_FALSE(result.found) << "scan " << scan;
    EXPECT_EQ(result.port, -7);
    EXPECT_EQ(result.log, log) << "scan " << scan;
    EXPECT_EQ(gProgress, progress);
    EXPECT_TRUE(PortIsFree(folder, 1)) << "scan " << scan;
    if (scan == 0) {
      fds = CountEntries("/proc/self/fd");
      threads = CountEntries("/proc/self/task");
    }
  }
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
  EXPECT_EQ(CountEntries("/proc/self/task"), threads);
  close(holder);
  EXPECT_TRUE(PortIsFree(folder, 2));
}

#ifdef SENTROVA_PROGRAM
// The Linux program's scan for scripts over the given ports, its log and result lines
// in files; it ends with the test (SIGTERM) should the test die first.
pid_t StartScan(const std::string& folder, const std::vector<int32_t>& ports,
                const std::string& out) {
  std::vector<std::string> args = {SENTROVA_PROGRAM, "--scan"};
  for (int32_t port : ports) {
    args.push_back("--device");
    args.push_back(folder + "/com" + std::to_string(port));
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::string log = out + ".log";
  std::string err = out + ".err";
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (logFd < 0 || errFd < 0 || dup2(logFd, STDOUT_FILENO) < 0 || dup2(errFd, STDERR_FILENO) < 0)
      _exit(127);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

std::string ReadWhole(const std::string& path) {
  std::string text;
  if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    char chunk[4096];
    size_t size = 0;
    while ((size = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, size);
    std::fclose(file);
  }
  return text;
}

// A receiver that talks once a second (a real log: an MTK chip's fixes of about 400
// bytes, the line idle in between), alone on its port, at each of the six rates and at
// three points of its second after the port's first open: `sentrova --scan` finds it at
// its rate, every lower rate alive (junk while a burst lasts) and not recognised on the
// way. The silent port scanned before the first is dead, its later rates skipped. The
// eighteen scans run side by side, each its own program.
TEST_F(ScanIntegration, FindsAOneHzReceiverAtEveryRateAndPhase) {
  const uint32_t phasesMs[] = {150, 480, 820};
  std::vector<std::string> ports = {"1:silent"};
  std::vector<std::vector<int32_t>> scans;
  for (uint32_t rate : kBaudRates) {
    for (uint32_t phase : phasesMs) {
      int32_t port = static_cast<int32_t>(ports.size()) + 1;
      ports.push_back(std::to_string(port) + ":nmea:" + std::to_string(rate) + "+" +
                      std::to_string(phase) + ":" SENTROVA_TEST_DATA "/nmea/mtk-3301.nmea");
      scans.push_back(port == 2 ? std::vector<int32_t>{1, 2} : std::vector<int32_t>{port});
    }
  }
  StartDevices(ports);
  std::vector<pid_t> pids;
  for (size_t i = 0; i < scans.size(); ++i) {
    pids.push_back(StartScan(folder, scans[i], folder + "/scan" + std::to_string(i)));
    ASSERT_GT(pids.back(), 0);
  }
  for (size_t i = 0; i < scans.size(); ++i) {
    uint32_t rate = kBaudRates[i / 3];
    SCOPED_TRACE(testing::Message()
                 << rate << " bit/s, burst " << phasesMs[i % 3] << " ms after the first open");
    int status = -1;
    ASSERT_EQ(waitpid(pids[i], &status, 0), pids[i]);
    int32_t port = scans[i].back();
    std::string log;
    if (port == 2)
      log = "Checking port COM1: bauds rate 4800\nPort exists, but seems to be dead. Skipping.\n";
    for (uint32_t r : kBaudRates) {
      if (r > rate) break;
      log += "Checking port COM" + std::to_string(port) + ": bauds rate " + std::to_string(r) +
             "\nPort exists, not dead. Trying to analyze data for GPS sentences.\n";
    }
    std::string out = folder + "/scan" + std::to_string(i);
    std::string got = ReadWhole(out + ".log");
    std::string result = ReadWhole(out + ".err");
    unlink((out + ".log").c_str());
    unlink((out + ".err").c_str());
    EXPECT_EQ(got, log);
    std::string found = "Completed: GPS device found at COM" + std::to_string(port) + ": / " +
                        std::to_string(rate) + " bauds\n";
    EXPECT_EQ(result.find(found), 0u) << result;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
}
#endif

}  // namespace
