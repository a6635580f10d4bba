// The terminal dialog in a real pseudo-terminal: the program runs on the slave side,
// the test types on the master and reads what a person would see through a small
// terminal emulator. Every wait has a deadline, which only guards against a hang.
#include "sim_launch.h"
#include "vt_screen.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kDeadlineSeconds = 30;

struct PtyRun {
  pid_t pid;
  int master;
  int slave;  // kept open so the master never reads EIO, and its modes stay readable
  termios before;
  VtScreen screen;
  std::string raw;
  bool exited;
  int status;
};

// Each test's folder goes when the test program ends, whatever the test left in it.
struct TempDirs {
  std::vector<std::string> made;
  ~TempDirs() {
    std::error_code ignored;
    for (const std::string& dir : made) std::filesystem::remove_all(dir, ignored);
  }
};

std::string TempDir() {
  static TempDirs dirs;
  char pattern[] = "/tmp/sentrova-terminal-XXXXXX";
  char* dir = mkdtemp(pattern);
  if (dir == nullptr) return "/tmp";
  dirs.made.emplace_back(dir);
  return dir;
}

bool Start(PtyRun* run, const std::vector<std::string>& argv, const std::vector<std::string>& env,
           int rows, int columns) {
  winsize size = {};
  size.ws_row = static_cast<unsigned short>(rows);
  size.ws_col = static_cast<unsigned short>(columns);
  if (openpty(&run->master, &run->slave, nullptr, nullptr, &size) != 0) return false;
  tcgetattr(run->master, &run->before);
  VtReset(&run->screen, rows, columns);
  run->raw.clear();
  run->exited = false;
  run->status = 0;
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    close(run->master);
    if (login_tty(run->slave) != 0) _exit(120);
    setenv("TERM", "xterm", 1);
    for (const std::string& pair : env) putenv(const_cast<char*>(pair.c_str()));
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(121);
  }
  run->pid = pid;
  fcntl(run->master, F_SETFL, fcntl(run->master, F_GETFL) | O_NONBLOCK);
  return true;
}

void Drain(PtyRun* run) {
  char buffer[4096];
  for (;;) {
    ssize_t got = read(run->master, buffer, sizeof buffer);
    if (got <= 0) break;
    std::string bytes(buffer, static_cast<size_t>(got));
    run->raw += bytes;
    VtFeed(&run->screen, bytes);
  }
}

// Reads what the program wrote for up to `ms`, and notes its end.
void Pump(PtyRun* run, int ms) {
  pollfd waiter = {run->master, POLLIN, 0};
  if (poll(&waiter, 1, ms) > 0) Drain(run);
  if (!run->exited && waitpid(run->pid, &run->status, WNOHANG) == run->pid) {
    run->exited = true;
    Drain(run);
  }
}

bool WaitFor(PtyRun* run, const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kDeadlineSeconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    Pump(run, 50);
  }
  return true;
}

bool WaitForText(PtyRun* run, const std::string& text) {
  return WaitFor(run, [&] { return VtText(run->screen).find(text) != std::string::npos; });
}

bool WaitForGone(PtyRun* run, const std::string& text) {
  return WaitFor(run, [&] { return VtText(run->screen).find(text) == std::string::npos; });
}

bool WaitForExit(PtyRun* run) {
  bool ended = WaitFor(run, [&] { return run->exited; });
  if (!ended) {
    kill(run->pid, SIGKILL);
    waitpid(run->pid, &run->status, 0);
  }
  return ended;
}

void Type(PtyRun* run, const std::string& keys) {
  ASSERT_EQ(write(run->master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
}

void Finish(PtyRun* run) {
  if (!run->exited) {
    kill(run->pid, SIGKILL);
    waitpid(run->pid, &run->status, 0);
  }
  close(run->master);
  close(run->slave);
}

// The pty's modes as the program found them, and the screen with no region left,
// the cursor shown and the dialog gone.
void ExpectTerminalGivenBack(PtyRun* run) {
  termios after = {};
  ASSERT_EQ(tcgetattr(run->master, &after), 0);
  EXPECT_EQ(after.c_lflag, run->before.c_lflag);
  EXPECT_EQ(after.c_iflag, run->before.c_iflag);
  EXPECT_EQ(after.c_oflag, run->before.c_oflag);
  EXPECT_EQ(after.c_cflag, run->before.c_cflag);
  EXPECT_EQ(std::memcmp(after.c_cc, run->before.c_cc, sizeof after.c_cc), 0);
  EXPECT_EQ(run->screen.top, 0);
  EXPECT_EQ(run->screen.bottom, run->screen.rows - 1);
  EXPECT_TRUE(run->screen.cursorVisible);
  EXPECT_EQ(VtText(run->screen).find("[ Quit ]"), std::string::npos) << VtText(run->screen);
}

// The program has ended with status 0 and given the terminal back.
void ExpectCleanExit(PtyRun* run) {
  ASSERT_TRUE(WaitForExit(run));
  ASSERT_TRUE(WIFEXITED(run->status));
  EXPECT_EQ(WEXITSTATUS(run->status), 0);
  ExpectTerminalGivenBack(run);
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// The row (0-based) whose text holds `text`, or -1.
int RowOf(const VtScreen& screen, const std::string& text) {
  for (int r = 0; r < screen.rows; ++r) {
    if (VtLine(screen, r).find(text) != std::string::npos) return r;
  }
  return -1;
}

// A terminal window resized: the emulator's screen first, then the pty, whose
// kernel sends SIGWINCH.
void Resize(PtyRun* run, int rows, int columns) {
  Pump(run, 0);
  VtResize(&run->screen, rows, columns);
  winsize size = {};
  size.ws_row = static_cast<unsigned short>(rows);
  size.ws_col = static_cast<unsigned short>(columns);
  ASSERT_EQ(ioctl(run->master, TIOCSWINSZ, &size), 0);
}

TEST(TerminalDialog, DetectLogBoxAndQuitWithTheTerminalGivenBack) {
  std::string trace = TempDir() + "/trace";
  PtyRun run;
  ASSERT_TRUE(Start(&run, {PROBE_DIALOG}, {"PROBE_TRACE=" + trace}, 24, 80));
  // Something on the screen already, as a shell would have left.
  ASSERT_TRUE(WaitForText(&run, "[ Quit ]")) << VtText(run.screen);
  VtScreen& s = run.screen;
  for (const char* text : {"Sentrova v1.04", "[ Detect ]", "[...."}) {
    EXPECT_NE(VtText(s).find(text), std::string::npos) << text;
  }
  EXPECT_EQ(RowOf(s, "[ Detect ]"), 22);  // at the bottom: the frame on row 23
  EXPECT_EQ(VtLine(s, 23).find_first_not_of(' '), VtLine(s, 23).find('+'));
  EXPECT_EQ(s.bottom, 24 - 12 - 1);  // the log scrolls in the rows above the dialog
  EXPECT_FALSE(s.cursorVisible);
  termios during = {};
  tcgetattr(run.master, &during);
  EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u);

  Type(&run, "\r");
  ASSERT_TRUE(WaitForText(&run, "Probe done, bar ok")) << VtText(s);
  EXPECT_NE(VtText(s).find("| Probe done, bar ok |"), std::string::npos);
  EXPECT_NE(VtText(s).find("+- Completed -"), std::string::npos);
  EXPECT_NE(VtText(s).find("]  42%"), std::string::npos);
  // The log went above the dialog, in order, and left the dialog whole.
  int first = RowOf(s, "probe step 1");
  int last = RowOf(s, "probe step 10");
  ASSERT_GE(first, 0);
  EXPECT_LT(first, last);
  EXPECT_LT(last, RowOf(s, "+-------"));
  EXPECT_EQ(RowOf(s, "[ Detect ]"), 22);

  Type(&run, "\r");
  ASSERT_TRUE(WaitForGone(&run, "Probe done")) << VtText(s);
  EXPECT_NE(VtText(s).find("(C)"), std::string::npos);  // the credits are back

  Type(&run, "\033");
  ExpectCleanExit(&run);
  EXPECT_NE(VtText(s).find("probe step 10"), std::string::npos);  // the log stays
  EXPECT_EQ(ReadFile(trace), "init 7\npaint\ncommand 1\npaint\ncommand 2\nresult 5\n");
  Finish(&run);
}

TEST(TerminalDialog, SequencesAreNotEscapeAndCtrlDCloses) {
  std::string trace = TempDir() + "/trace";
  PtyRun run;
  ASSERT_TRUE(Start(&run, {PROBE_DIALOG}, {"PROBE_TRACE=" + trace}, 24, 80));
  ASSERT_TRUE(WaitForText(&run, "[ Quit ]"));
  // Arrow keys and other keys do nothing; the Enter after them still runs Detect.
  Type(&run, "\033[A\033OBx \033[15~\r");
  ASSERT_TRUE(WaitForText(&run, "Probe done")) << VtText(run.screen);
  Type(&run, "\r");
  ASSERT_TRUE(WaitForGone(&run, "Probe done")) << VtText(run.screen) << "\ntrace:\n" << ReadFile(trace);
  Type(&run, "\x04");
  ExpectCleanExit(&run);
  EXPECT_EQ(ReadFile(trace), "init 7\npaint\ncommand 1\npaint\ncommand 2\nresult 5\n");
  Finish(&run);
}

TEST(TerminalDialog, FatalSignalsGiveTheTerminalBack) {
  struct Case {
    int signal;
    bool typed;  // Ctrl-C at the keyboard rather than kill()
  };
  for (Case c : {Case{SIGINT, true}, Case{SIGTERM, false}, Case{SIGHUP, false}}) {
    SCOPED_TRACE(strsignal(c.signal));
    PtyRun run;
    ASSERT_TRUE(Start(&run, {PROBE_DIALOG}, {}, 24, 80));
    ASSERT_TRUE(WaitForText(&run, "[ Quit ]"));
    if (c.typed) {
      Type(&run, "\x03");
    } else {
      kill(run.pid, c.signal);
    }
    ASSERT_TRUE(WaitForExit(&run));
    ASSERT_TRUE(WIFSIGNALED(run.status));
    EXPECT_EQ(WTERMSIG(run.status), c.signal);
    ExpectTerminalGivenBack(&run);
    Finish(&run);
  }
#ifdef SENTROVA_PROGRAM
  // The program's port is closed before the end too: a close left to the exit keeps
  // a pty exclusive for the next user. This test is its far end, which only wrote a
  // line (the simulator would clear the flag itself).
  std::string comdir = TempDir();
  int master = -1, port = -1;
  char path[64];
  ASSERT_EQ(openpty(&master, &port, path, nullptr, nullptr), 0);
  ASSERT_EQ(symlink(path, (comdir + "/com1").c_str()), 0);
  ASSERT_EQ(write(master, "$GPGGA,1*00\r\n", 13), 13);
  PtyRun run;
  ASSERT_TRUE(Start(&run, {SENTROVA_PROGRAM, "--scan", "--device", comdir + "/com1"}, {"SENTROVA_COMDIR=" + comdir},
                    24, 80));
  ASSERT_TRUE(WaitForText(&run, "not dead")) << VtText(run.screen);
  Type(&run, "\x03");
  ASSERT_TRUE(WaitForExit(&run));
  EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGINT);
  int exclusive = -1;
  EXPECT_EQ(ioctl(port, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0) << "the port was left exclusive";
  Finish(&run);
  close(master);
  close(port);
#endif
}

// A column short of the dialog from the start, then a row short: nothing of it drawn,
// the log and the box's plain lines, keys as in the dialog; in between, the dialog
// whole with the box. A box shows in one form at a time.
TEST(TerminalDialog, TooSmallForTheDialogGivesPlainLinesAndResizesSwitch) {
  std::string trace = TempDir() + "/trace";
  const std::string result = "Completed: Probe done, bar ok";
  PtyRun run;
  VtScreen& s = run.screen;
  ASSERT_TRUE(Start(&run, {PROBE_DIALOG}, {"PROBE_TRACE=" + trace}, 24, 49));
  ASSERT_TRUE(WaitFor(&run, [&] { return ReadFile(trace) == "init 7\npaint\n"; }));
  Type(&run, "\r");
  ASSERT_TRUE(WaitForText(&run, result)) << VtText(s);
  EXPECT_EQ(run.raw.find('\033'), std::string::npos);  // not one drawing sequence
  EXPECT_NE(run.raw.find("probe step 10\r\n" + result + "\r\n"), std::string::npos) << run.raw;

  Resize(&run, 14, 50);  // exactly the dialog's size
  ASSERT_TRUE(WaitForText(&run, "| Probe done, bar ok |")) << VtText(s);
  EXPECT_EQ(RowOf(s, "[ Detect ]"), 12);
  EXPECT_EQ(s.bottom, 1);
  EXPECT_EQ(run.raw.rfind(result), run.raw.find(result));  // the lines not repeated

  // The same box lost to a shrink: no frame left, its lines once more.
  Resize(&run, 13, 50);
  ASSERT_TRUE(WaitFor(&run, [&] { return run.raw.rfind(result) != run.raw.find(result); })) << VtText(s);
  EXPECT_EQ(VtText(s).find_first_of("+|"), std::string::npos) << VtText(s);
  EXPECT_EQ(VtLine(s, s.row - 1), result);
  EXPECT_TRUE(s.cursorVisible);
  Type(&run, "\rq");  // q reaches the dialog unechoed, no line needed
  ExpectCleanExit(&run);
  EXPECT_EQ(ReadFile(trace), "init 7\npaint\ncommand 1\npaint\ncommand 2\nresult 5\n");
  Finish(&run);
}

TEST(TerminalDialog, ResizeMovesTheDialogToTheNewBottom) {
  PtyRun run;
  ASSERT_TRUE(Start(&run, {PROBE_DIALOG}, {}, 24, 80));
  ASSERT_TRUE(WaitForText(&run, "[ Quit ]"));
  for (int rows : {30, 16, 40}) {
    SCOPED_TRACE(rows);
    Resize(&run, rows, 60);
    ASSERT_TRUE(WaitFor(&run, [&] { return RowOf(run.screen, "[ Detect ]") == rows - 2; })) << VtText(run.screen);
    EXPECT_EQ(run.screen.bottom, rows - 13);
  }
  Type(&run, "\r");
  ASSERT_TRUE(WaitForText(&run, "Probe done"));
  EXPECT_LT(RowOf(run.screen, "probe step 10"), 40 - 12);
  EXPECT_EQ(RowOf(run.screen, "[ Detect ]"), 38);
  Type(&run, "\r\033");
  ExpectCleanExit(&run);
  Finish(&run);
}

TEST(TerminalDialog, ProcedureThatIgnoresCloseEndsAtEndOfInput) {
  // Without a terminal (stdin from /dev/null) the close request comes once; the
  // dialog then ends by itself rather than wait for keys that cannot come.
  std::string trace = TempDir() + "/trace";
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    setenv("PROBE_TRACE", trace.c_str(), 1);
    setenv("PROBE_STUBBORN", "1", 1);
    execl(PROBE_DIALOG, PROBE_DIALOG, static_cast<char*>(nullptr));
    _exit(121);
  }
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kDeadlineSeconds);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      FAIL() << "the dialog did not end";
    }
    usleep(10000);
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);  // ended with IDCANCEL, not the procedure's 5
  EXPECT_EQ(ReadFile(trace), "init 7\npaint\ncommand 2\nresult 2\n");
}

#ifdef SENTROVA_PROGRAM
TEST(TerminalDialog, TheProgramScansAndShowsItsResult) {
  std::string comdir = TempDir();
  PtyRun run;
  ASSERT_TRUE(Start(&run, {SENTROVA_PROGRAM}, {"SENTROVA_COMDIR=" + comdir}, 30, 80));
  ASSERT_TRUE(WaitForText(&run, "[ Quit ]"));
  Type(&run, "\r");
  ASSERT_TRUE(WaitForText(&run, "No GPS devices found")) << VtText(run.screen);
  VtScreen& s = run.screen;
  EXPECT_NE(VtText(s).find("+- Completed -"), std::string::npos);
  // The bar is set back to 0 before the box shows.
  EXPECT_NE(VtText(s).find("[" + std::string(37, '.') + "]   0%"), std::string::npos);
  int lastLog = RowOf(s, "Checking port COM255: bauds rate 4800");
  ASSERT_GE(lastLog, 0);
  EXPECT_EQ(VtLine(s, lastLog + 1), "No such port. Skipping.");
  EXPECT_LT(lastLog, RowOf(s, "+-------"));
  EXPECT_EQ(RowOf(s, "[ Detect ]"), 28);
  Type(&run, "\r");
  ASSERT_TRUE(WaitForGone(&run, "No GPS devices found"));
  Type(&run, "\033");
  ExpectCleanExit(&run);
  // Every log line reached the terminal whole: 255 of each.
  size_t checks = 0;
  for (size_t at = run.raw.find("bauds rate 4800\r\n"); at != std::string::npos;
       at = run.raw.find("bauds rate 4800\r\n", at + 1)) {
    ++checks;
  }
  EXPECT_EQ(checks, 255u);
  Finish(&run);
}

// The text of the box as one line: its rows between the caption and the button,
// the box's sides dropped, joined by blanks; "" when no box shows.
std::string BoxText(const VtScreen& screen, std::string* firstRow) {
  int top = RowOf(screen, "+- Completed -");
  int button = RowOf(screen, "[ OK ]");
  if (top < 0 || button <= top) return "";
  std::string text;
  for (int row = top + 1; row < button; ++row) {
    std::string line = VtLine(screen, row);
    size_t left = line.find("| | ");
    size_t right = line.rfind(" | |");
    if (left == std::string::npos || right == std::string::npos || right < left + 4) continue;
    line = line.substr(left + 4, right - left - 4);
    line.erase(line.find_last_not_of(' ') + 1);
    if (line.empty()) continue;
    if (text.empty()) *firstRow = line;
    text += (text.empty() ? "" : " ") + line;
  }
  return text;
}

// A receiver found on COM3, linked from the folder: under the result, which device
// COM3 is (the link and the pty it points to); COM2, which this test holds, is named
// as busy with this process as its holder. Neither reaches the log.
TEST(TerminalDialog, TheProgramNamesTheDeviceItFoundAndABusyPort) {
  std::string folder;
  ASSERT_TRUE(MakeLinkFolder(&folder));
  SimProcess sim;
  ASSERT_TRUE(StartSimulator(SENTROVA_SIM_PATH, {"--dir", folder, "--port", "2:silent", "--port", "3:nmea:4800"},
                             kDeadlineSeconds, &sim));
  char device2[PATH_MAX];
  char device3[PATH_MAX];
  ASSERT_NE(realpath((folder + "/com2").c_str(), device2), nullptr);
  ASSERT_NE(realpath((folder + "/com3").c_str(), device3), nullptr);
  int held = open(device2, O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  std::string comm = ReadFile("/proc/self/comm");
  comm.erase(comm.find_last_not_of('\n') + 1);
  ASSERT_EQ(prctl(PR_SET_NAME, "\x1b]0;PWN\a\x1b[2J"), 0);
  std::string log = TempDir() + "/log";

  PtyRun run;
  ASSERT_TRUE(Start(&run, {"/bin/sh", "-c", std::string("exec ") + SENTROVA_PROGRAM + " > " + log},
                    {"SENTROVA_COMDIR=" + folder}, 30, 80));
  ASSERT_TRUE(WaitForText(&run, "[ Quit ]"));
  Type(&run, "\r");
  ASSERT_TRUE(WaitForText(&run, "[ OK ]")) << VtText(run.screen);
  std::string firstRow;
  std::string text = BoxText(run.screen, &firstRow);
  EXPECT_EQ(firstRow, "GPS device found at COM3: / 4800 bauds");
  // The holder's name, which any process may set, would retitle the terminal and
  // clear it; the box shows it escaped, and the screen keeps the dialog.
  EXPECT_EQ(text, "GPS device found at COM3: / 4800 bauds COM3 is " + folder + "/com3 -> " + device3 +
                      " Busy: " + device2 + " (\\x1b]0;PWN\\x07\\x1b[2J, pid " + std::to_string(getpid()) +
                      ").")
      << VtText(run.screen);
  EXPECT_NE(VtText(run.screen).find("+" + std::string(48, '-') + "+"), std::string::npos)
      << VtText(run.screen);
  prctl(PR_SET_NAME, comm.c_str());
  Type(&run, "\r");
  ASSERT_TRUE(WaitForGone(&run, "[ OK ]"));
  Type(&run, "q");
  ExpectCleanExit(&run);
  Finish(&run);
  EXPECT_EQ(ReadFile(log),
            "Checking port COM1: bauds rate 4800\nNo such port. Skipping.\n"
            "Checking port COM2: bauds rate 4800\nNo such port. Skipping.\n"
            "Checking port COM3: bauds rate 4800\n"
            "Port exists, not dead. Trying to analyze data for GPS sentences.\n");
  close(held);
  EXPECT_TRUE(StopSimulator(&sim));
  RemoveLinkFolder(folder);
}
#endif

}  // namespace
