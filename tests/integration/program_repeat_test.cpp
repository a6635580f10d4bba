// The Linux program started and ended a hundred times in a row, alternating between a
// pipe (`echo | sentrova`, over no ports) and a pseudo-terminal (the dialog ended with
// Escape, or a scan over simulated ports with Enter, its result box closed with Enter,
// then Escape). Every run must exit 0 and give the terminal back in the modes it
// found; afterwards no simulated port is locked and no program or simulator is left.
#include "sim_launch.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kRuns = 100;
constexpr int kRunDeadlineMs = 60000;  // only guards against a hang
constexpr int kReadyDeadlineSeconds = 20;
const char kNothingFound[] = "No GPS devices found";

int64_t NowMs() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

// Reaps the child within the deadline, killing it when the deadline passes.
bool Reap(pid_t pid, int64_t deadline, int* status) {
  for (;;) {
    pid_t done = waitpid(pid, status, WNOHANG);
    if (done == pid) return true;
    if (NowMs() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, status, 0);
      return false;
    }
    usleep(5000);
  }
}

bool ExitedZero(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

// `echo | SENTROVA_COMDIR=empty sentrova`: one scan, its result on stderr.
void RunInPipe(const std::string& emptyFolder, int run) {
  int input[2];
  int errors[2];
  ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(errors, O_CLOEXEC), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setsid();  // no controlling terminal: the program must not find one
    int null = open("/dev/null", O_WRONLY);
    dup2(input[0], STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(errors[1], STDERR_FILENO);
    setenv("SENTROVA_COMDIR", emptyFolder.c_str(), 1);
    execl(SENTROVA_PROGRAM, SENTROVA_PROGRAM, static_cast<char*>(nullptr));
    _exit(121);
  }
  close(input[0]);
  close(errors[1]);
  ssize_t written = write(input[1], "\n", 1);
  close(input[1]);
  EXPECT_EQ(written, 1);
  std::string err;
  int64_t deadline = NowMs() + kRunDeadlineMs;
  for (;;) {
    pollfd fd = {errors[0], POLLIN, 0};
    int left = static_cast<int>(std::max<int64_t>(0, deadline - NowMs()));
    if (poll(&fd, 1, left) <= 0) break;
    char chunk[256];
    ssize_t size = read(errors[0], chunk, sizeof chunk);
    if (size <= 0) break;
    err.append(chunk, static_cast<size_t>(size));
  }
  close(errors[0]);
  int status = 0;
  EXPECT_TRUE(Reap(pid, deadline, &status)) << "run " << run << " hung";
  EXPECT_TRUE(ExitedZero(status)) << "run " << run << " status " << status;
  EXPECT_EQ(err, std::string("Completed: ") + kNothingFound + "\n") << "run " << run;
}

struct PtyRun {
  pid_t pid = -1;
  int master = -1;
  int slave = -1;  // kept, so that the modes the program leaves stay readable
  std::string seen;
};

// Reads what the program drew until `text` shows up (true) or the deadline passes.
bool WaitFor(PtyRun* pty, const char* text, int64_t deadline) {
  size_t from = 0;
  while (pty->seen.find(text, from) == std::string::npos) {
    int left = static_cast<int>(deadline - NowMs());
    if (left <= 0) return false;
    pollfd fd = {pty->master, POLLIN, 0};
    if (poll(&fd, 1, left) <= 0) continue;
    char chunk[4096];
    ssize_t size = read(pty->master, chunk, sizeof chunk);
    if (size <= 0) return false;
    pty->seen.append(chunk, static_cast<size_t>(size));
  }
  return true;
}

std::string Printable(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c == 0x1b) {
      text += "\\e";
    } else if (c == '\n' || (c >= 0x20 && c < 0x7f)) {
      text += static_cast<char>(c);
    } else {
      char code[8];
      std::snprintf(code, sizeof code, "\\x%02x", c);
      text += code;
    }
  }
  return text;
}

void Type(PtyRun* pty, const char* keys) {
  ssize_t written = write(pty->master, keys, std::strlen(keys));
  EXPECT_EQ(written, static_cast<ssize_t>(std::strlen(keys)));
}

// The dialog on a pseudo-terminal; with `scan`, Enter runs one scan over the
// simulated ports and Enter closes its result box; Escape then ends the program.
void RunInTerminal(const std::string& portFolder, bool scan, int run) {
  PtyRun pty;
  winsize size = {};
  size.ws_row = 24;
  size.ws_col = 80;
  ASSERT_EQ(openpty(&pty.master, &pty.slave, nullptr, nullptr, &size), 0);
  termios before = {};
  tcgetattr(pty.slave, &before);
  pty.pid = fork();
  ASSERT_GE(pty.pid, 0);
  if (pty.pid == 0) {
    close(pty.master);
    if (login_tty(pty.slave) != 0) _exit(120);
    setenv("TERM", "xterm", 1);
    setenv("SENTROVA_COMDIR", portFolder.c_str(), 1);
    execl(SENTROVA_PROGRAM, SENTROVA_PROGRAM, static_cast<char*>(nullptr));
    _exit(121);
  }
  fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK);
  int64_t deadline = NowMs() + kRunDeadlineMs;
  EXPECT_TRUE(WaitFor(&pty, "Detect", deadline)) << "run " << run << ": no dialog";
  if (scan) {
    Type(&pty, "\r");
    EXPECT_TRUE(WaitFor(&pty, kNothingFound, deadline)) << "run " << run << ": no result";
    Type(&pty, "\r");
  }
  Type(&pty, "\x1b");
  int status = 0;
  bool ended = false;
  while (!ended && NowMs() < deadline) {
    WaitFor(&pty, "\x01never drawn", std::min(deadline, NowMs() + 50));
    ended = waitpid(pty.pid, &status, WNOHANG) == pty.pid;
  }
  if (!ended) ended = Reap(pty.pid, deadline, &status);
  EXPECT_TRUE(ended) << "run " << run << " hung; the screen's last bytes:\n"
                     << Printable(pty.seen.substr(pty.seen.size() > 600 ? pty.seen.size() - 600 : 0));
  EXPECT_TRUE(ExitedZero(status)) << "run " << run << " status " << status;
  termios after = {};
  tcgetattr(pty.slave, &after);
  EXPECT_EQ(after.c_lflag, before.c_lflag) << "run " << run << ": local modes not restored";
  EXPECT_EQ(after.c_iflag, before.c_iflag) << "run " << run << ": input modes not restored";
  EXPECT_NE(after.c_lflag & ICANON, 0u) << "run " << run << ": left in raw mode";
  close(pty.master);
  close(pty.slave);
}

// Children of this process (orphans of its children included, see the subreaper
// below) whose executable is the file at `path`. Other tests may run the same
// programs at the same time; theirs are not counted.
int32_t ChildrenRunning(const char* path) {
  char wanted[PATH_MAX];
  if (realpath(path, wanted) == nullptr) return -1;
  int32_t count = 0;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return -1;
  while (dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    std::string base = std::string("/proc/") + entry->d_name;
    char stat[512] = {};
    int fd = open((base + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    ssize_t got = read(fd, stat, sizeof stat - 1);
    close(fd);
    const char* end = got > 0 ? std::strrchr(stat, ')') : nullptr;
    if (end == nullptr) continue;
    char state = 0;
    int parent = 0;
    if (std::sscanf(end + 1, " %c %d", &state, &parent) != 2 || parent != getpid()) continue;
    char target[PATH_MAX];
    ssize_t size = readlink((base + "/exe").c_str(), target, sizeof target - 1);
    if (size <= 0) continue;
    target[size] = '\0';
    count += std::strcmp(target, wanted) == 0 ? 1 : 0;
  }
  closedir(proc);
  return count;
}


TEST(ProgramRepeat, HundredRunsLeaveNothingBehind) {
  signal(SIGPIPE, SIG_IGN);
  // Whatever a child leaves running when it ends becomes our child, to be counted.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  std::string emptyFolder;
  std::string portFolder;
  ASSERT_TRUE(MakeLinkFolder(&emptyFolder));
  ASSERT_TRUE(MakeLinkFolder(&portFolder));
  SimProcess sim;
  ASSERT_TRUE(StartSimulator(SENTROVA_SIM_PATH,
                             {"--dir", portFolder, "--port", "1:silent"},
                             kReadyDeadlineSeconds, &sim));
  for (int run = 0; run < kRuns && !HasFailure(); ++run) {
    if (run % 2 == 0) {
      RunInPipe(emptyFolder, run);
    } else {
      RunInTerminal(portFolder, run % 4 == 3, run);
    }
  }
  EXPECT_TRUE(PortIsFree(portFolder, 1));
  EXPECT_EQ(ChildrenRunning(SENTROVA_PROGRAM), 0);
  EXPECT_EQ(ChildrenRunning(SENTROVA_SIM_PATH), 1);
  EXPECT_TRUE(StopSimulator(&sim));
  EXPECT_EQ(ChildrenRunning(SENTROVA_SIM_PATH), 0);
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child was left unreaped";
  RemoveLinkFolder(portFolder);
  RemoveLinkFolder(emptyFolder);
}

}  // namespace
