// The serial calls over real pseudo-terminals: exclusive open, line settings,
// read timeouts, waits ended by a close, a device that goes away, stale handles.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "pty.h"
#include "policy/gpsd_client.h"
#include "win32/handles.h"
#include "policy/port_notes.h"
#include "policy/scan_session.h"

namespace {

HANDLE OpenCom(const wchar_t* name) {
  return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// The settings the probe writes: 8N1, no flow control, DTR and RTS enabled.
DCB ProgramDcb(DWORD rate) {
  DCB dcb = {};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = rate;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = 1;
  dcb.fParity = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fTXContinueOnXoff = 1;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  return dcb;
}

void SetTimeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant) {
  COMMTIMEOUTS timeouts = {interval, multiplier, constant, 1, 1};
  ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
}

struct PortTest : ::testing::Test {
  TestPty pty;
  char folder[64];
  HANDLE port = INVALID_HANDLE_VALUE;

  void SetUp() override {
    alarm(kHangGuardSeconds);
    ASSERT_TRUE(PinTestPty(&pty, 3, folder, sizeof folder));
    port = OpenCom(L"COM3:");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB dcb = ProgramDcb(4800);
    ASSERT_TRUE(SetCommState(port, &dcb));
    SetTimeouts(port, MAXDWORD, 1, 1);
  }
  void TearDown() override {
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    RemoveComFolder(folder);
    CloseTestPty(&pty);
    alarm(0);
  }
};

TEST_F(PortTest, SecondOpenInThisProcessIsRefused) {
  SetLastError(0);
  EXPECT_EQ(OpenCom(L"COM3:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  ASSERT_TRUE(CloseHandle(port));
  port = OpenCom(L"\\\\.\\COM3");
  EXPECT_NE(port, INVALID_HANDLE_VALUE);
}

// TIOCEXCL stays on a pty after its slave is closed; left there it would lock
// every later open out (except root's).
TEST_F(PortTest, CloseGivesUpExclusiveMode) {
  int exclusive = 0;
  ASSERT_EQ(ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  ASSERT_TRUE(CloseHandle(port));
  port = INVALID_HANDLE_VALUE;
  ASSERT_EQ(ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
}

// Another program on the port, as gpsd uses a pty: open with no lock and no
// TIOCEXCL (gpsd sets it on a real serial device, which root's open passes); then
// a flock; then only a UUCP lock file. Each time the port is busy, and nothing of
// it changes.
// A stale lock file is ignored and left, and a process with the pty's master open
// too is the device's far end (a simulated receiver), not a user of the port.
// Run as root, holders of another user whose descriptors the look cannot read: one
// with an open file description lock, which /proc/locks shows with no pid; and,
// within a scan's session, one that opens the port after the session's look, seen
// by the watch alone; our own opens and closes in between are not taken for theirs,
// nor a holder's from before the session for a new one's; nor are those of a storm
// that overflows the watch's queue. Last, a flag and flock the look missed (this
// process's, on another open): root's open fails on the flock, the flag left set.
enum HolderKind { kOpener, kFarEnd, kOtherUser, kOtherUserOfdLock, kOtherUserInSight };
constexpr uid_t kNobody = 65534;

TEST(ExclusiveOpen, PortInUseElsewhereIsBusyAndUntouched) {
  alarm(kHangGuardSeconds);
  TestPty pty;
  char folder[64];
  ASSERT_TRUE(PinTestPty(&pty, 5, folder, sizeof folder));
  termios before;
  ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
  auto expectBusyAndUntouched = [&](const char* holder) {
    SetLastError(0);
    HANDLE opened = OpenCom(L"COM5:");
    EXPECT_EQ(opened, INVALID_HANDLE_VALUE) << holder;
    if (opened != INVALID_HANDLE_VALUE) CloseHandle(opened);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << holder;
    termios now;
    int exclusive = -1;
    ASSERT_EQ(tcgetattr(pty.slave, &now), 0);
    bool same = now.c_iflag == before.c_iflag && now.c_oflag == before.c_oflag &&
                now.c_cflag == before.c_cflag && now.c_lflag == before.c_lflag &&
                cfgetospeed(&now) == cfgetospeed(&before) &&
                std::memcmp(now.c_cc, before.c_cc, sizeof now.c_cc) == 0;
    EXPECT_TRUE(same) << holder << ": the settings of a port in use changed";
    ASSERT_EQ(ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << holder;
  };
  auto expectFree = [&](const char* why) {
    HANDLE port = OpenCom(L"COM5:");
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << why;
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
  };
  // The children end with the test: killed when it dies, killed and reaped when it
  // returns early on a failure.
  struct Children {
    std::vector<pid_t> pids;
    ~Children() {
      for (pid_t pid : pids) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
    }
  } children;
  pid_t parent = getpid();
  // A child that keeps the pty's master (kFarEnd); otherwise it drops what it
  // inherited and opens the slave afresh, then may take an open file description
  // lock and become another user; later it takes a flock when told 'l'.
  auto startHolder = [&](HolderKind kind, int* command, int* ready) {
    int commands[2], answers[2];
    EXPECT_EQ(pipe(commands), 0);
    EXPECT_EQ(pipe(answers), 0);
    pid_t child = fork();
    if (child == 0) {  // only async-signal-safe calls here
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(1);
      close(commands[1]);
      close(answers[0]);
      int fd = kind == kFarEnd ? pty.slave : -1;
      if (kind != kFarEnd) {
        close(pty.master);
        close(pty.slave);
        fd = open(pty.path, O_RDWR | O_NOCTTY);
      }
      struct flock whole = {};
      whole.l_type = F_WRLCK;
      whole.l_whence = SEEK_SET;
      if (fd >= 0 && kind == kOtherUserOfdLock && fcntl(fd, F_OFD_SETLK, &whole) != 0) fd = -1;
      // In sight of this process looking as nobody (in group root) once dumpable again.
      bool inSight = kind == kOtherUserInSight;
      if (fd >= 0 && kind >= kOtherUser && ((!inSight && setgid(kNobody) != 0) || setuid(kNobody) != 0)) fd = -1;
      if (inSight) prctl(PR_SET_DUMPABLE, 1);
      char order = 0;
      for (char answer = fd >= 0 ? 'y' : 'n'; write(answers[1], &answer, 1) == 1;) {
        if (read(commands[0], &order, 1) != 1 || order != 'l') _exit(0);
        answer = flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
      }
      _exit(1);
    }
    close(commands[0]);
    close(answers[1]);
    if (child > 0) children.pids.push_back(child);
    *command = commands[1];
    *ready = answers[0];
    char answer = 0;
    EXPECT_EQ(read(answers[0], &answer, 1), 1);
    EXPECT_EQ(answer, 'y');
    return child;
  };
  auto stopHolder = [&](pid_t child, int command, int ready) {
    EXPECT_EQ(write(command, "q", 1), 1);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    children.pids.erase(std::remove(children.pids.begin(), children.pids.end(), child), children.pids.end());
    close(command);
    close(ready);
  };

  int command = -1, ready = -1;
  pid_t child = startHolder(kOpener, &command, &ready);
  expectBusyAndUntouched("opened without a lock");
  char answer = 0;
  ASSERT_EQ(write(command, "l", 1), 1);
  ASSERT_EQ(read(ready, &answer, 1), 1);
  ASSERT_EQ(answer, 'y');
  expectBusyAndUntouched("flock");
  stopHolder(child, command, ready);

  child = startHolder(kFarEnd, &command, &ready);
  expectFree("the pty's far end counted as a user");
  stopHolder(child, command, ready);

  std::string lockFile = std::string("/run/lock/LCK..pts_") + (std::strrchr(pty.path, '/') + 1);
  auto writeLock = [&](pid_t pid) {
    FILE* file = std::fopen(lockFile.c_str(), "w");
    ASSERT_NE(file, nullptr) << lockFile;
    std::fprintf(file, "%10d\n", static_cast<int>(pid));
    std::fclose(file);
  };
  writeLock(1);  // init: alive for as long as the machine runs
  expectBusyAndUntouched("UUCP lock file");
  writeLock(child);  // reaped above: a stale file
  expectFree("a stale lock file counted");
  EXPECT_EQ(access(lockFile.c_str(), F_OK), 0) << "a stale lock file was removed";
  unlink(lockFile.c_str());

  if (geteuid() != 0) {
    std::printf("[  SKIPPED ] another user's holders: they need root to start\n");
  } else {
    // The port may be opened by nobody, and this process looks as nobody while it
    // checks: the holders' descriptors are out of its sight (a process that became
    // another user is no longer dumpable, so only root may read them).
    ASSERT_EQ(fchmod(pty.slave, 0666), 0);
    ASSERT_EQ(chmod(folder, 0755), 0);
    auto asNobody = [&](bool nobody) { ASSERT_EQ(seteuid(nobody ? kNobody : 0), 0); };
    child = startHolder(kOtherUserOfdLock, &command, &ready);
    asNobody(true);
    expectBusyAndUntouched("another user's open file description lock");
    asNobody(false);
    stopHolder(child, command, ready);

    BeginScanSession();
    child = startHolder(kOpener, &command, &ready);
    expectBusyAndUntouched("opened after the session's look");
    stopHolder(child, command, ready);
    expectFree("a holder gone since");
    expectFree("our own opens and closes taken for another's");
    child = startHolder(kOtherUser, &command, &ready);
    asNobody(true);
    expectBusyAndUntouched("opened by another user after the session's look");
    asNobody(false);
    stopHolder(child, command, ready);
    expectFree("another user's holder gone since");
    EndScanSession();

    // Looked at as nobody, who sees only the holders in sight.
    auto asNobodyExpect = [&](bool busy, const char* why) {
      asNobody(true);
      if (busy) expectBusyAndUntouched(why);
      if (!busy) expectFree(why);
      asNobody(false);
    };
    int unseenCommand = -1, unseenReady = -1;
    child = startHolder(kOtherUserInSight, &command, &ready);
    asNobody(true);
    BeginScanSession();
    asNobody(false);
    pid_t unseen = startHolder(kOtherUser, &unseenCommand, &unseenReady);
    stopHolder(child, command, ready);
    asNobodyExpect(true, "a holder out of sight, come as one in sight from before the session left");
    stopHolder(unseen, unseenCommand, unseenReady);
    // 60,000 events overflow the watch's queue (16,384 by default); what is left
    // counts many more closes than opens (consecutive opens merge, closes of
    // read-only and read-write opens do not).
    pid_t storm = fork();
    for (int n = 0; storm == 0 && n < 20000; ++n) {
      int both[2] = {open(pty.path, O_RDWR | O_NOCTTY), open(pty.path, O_RDONLY | O_NOCTTY)};
      close(both[0]);
      close(both[1]);
    }
    if (storm == 0) _exit(0);
    ASSERT_GT(storm, 0);
    ASSERT_EQ(waitpid(storm, nullptr, 0), storm);
    asNobodyExpect(false, "both holders gone, then an overflow of the watch's queue");
    unseen = startHolder(kOtherUser, &unseenCommand, &unseenReady);
    asNobodyExpect(true, "a holder out of sight after an overflow of the watch's queue");
    stopHolder(unseen, unseenCommand, unseenReady);
    asNobodyExpect(false, "every holder gone");
    EndScanSession();
    for (const PortNote& note : TakePortNotes()) {
      EXPECT_EQ(note.kind, kPortBusy);
      EXPECT_EQ(note.port, 5);
    }

    ASSERT_EQ(ioctl(pty.slave, TIOCEXCL), 0);
    ASSERT_EQ(flock(pty.slave, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(OpenCom(L"COM5:"), INVALID_HANDLE_VALUE);
    int exclusive = 0;
    EXPECT_EQ(ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1) << "a failed open cleared an exclusive flag it never set";
  }
  RemoveComFolder(folder);
  CloseTestPty(&pty);
  alarm(0);
}

// gpsd's answer, from a stand-in gpsd on the loopback, behind a process whose
// command line reads as gpsd's (options grouped, "-bNnS PORT"): a device is known by
// what it is (a link to the pty counts), active or not, with its speed only once
// gpsd has seen GPS data there. A gpsd that accepts and never answers keeps the
// devices on its command line; one that is not listening, none, nor one whose port
// another user's socket listens on (as root). Answers no gpsd gives end the
// question in time all the same.
TEST(GpsdQuestion, DevicesByWhatTheyAre) {
  alarm(kHangGuardSeconds);
  TestPty ptys[3];
  struct stat nodes[3];
  for (int n = 0; n < 3; ++n) {
    ASSERT_TRUE(OpenTestPty(&ptys[n]));
    ASSERT_EQ(stat(ptys[n].path, &nodes[n]), 0);
  }
  char folder[64];
  ASSERT_TRUE(MakeComFolder(folder, sizeof folder));
  ASSERT_TRUE(LinkComPort(folder, 1, ptys[0].path));  // as a /dev/serial/by-id link
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
  std::string port = std::to_string(ntohs(address.sin_port));
  // It ends with the test: killed with it, or at the end of its stdin. `execed` is
  // closed by the exec: its command line is the new one from then on.
  int input[2], execed[2];
  ASSERT_EQ(pipe(input), 0);
  ASSERT_EQ(pipe2(execed, O_CLOEXEC), 0);
  pid_t parent = getpid();
  pid_t gpsd = fork();
  if (gpsd == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    dup2(input[0], STDIN_FILENO);
    close(input[1]);
    close(execed[0]);
    execl("/bin/sh", "gpsd", "-c", "read x", "-bNnS", port.c_str(), "-F", "/tmp/none", ptys[1].path,
          static_cast<char*>(nullptr));
    _exit(1);
  }
  close(input[0]);
  close(execed[1]);
  char none = 0;
  EXPECT_EQ(read(execed[0], &none, 1), 0);
  close(execed[0]);
  const char* active = R"("activated":"2026-01-02T03:04:05.000Z",)";
  std::string answer = std::string(R"({"class":"VERSION","release":"3.22","proto_major":3,"proto_minor":14})") +
                       "\n" + R"({"class":"DEVICES","devices":[{"class":"DEVICE","path":")" + folder +
                       R"(/com1","driver":"NMEA0183",)" + active + R"("flags":1,"bps":9600,"stopbits":1},)" +
                       R"({"class":"DEVICE","path":")" + ptys[1].path + "\"," + active + R"("bps":4800},)" +
                       R"({"class":"DEVICE","path":")" + ptys[2].path + "\"}]}\n";
  // The stand-in answers the question (at once, a byte each 10 ms, or for ever), or
  // keeps silent. `asked` says the question is over, so that a question never made
  // ends the stand-in too.
  bool drip = false, endless = false;
  int asked = eventfd(0, EFD_CLOEXEC);
  auto ask = [&](bool answers, std::vector<GpsdDevice>* devices) {
    int client = -1;
    std::thread server([&] {
      pollfd ready[2] = {{listener, POLLIN, 0}, {asked, POLLIN, 0}};
      EXPECT_GT(poll(ready, 2, -1), 0);
      if (!(ready[0].revents & POLLIN)) {
        ADD_FAILURE() << "gpsd was not asked on its port";
        return;
      }
      client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      char question[16] = {};
      EXPECT_EQ(read(client, question, 10), 10);
      EXPECT_STREQ(question, "?DEVICES;\n");
      size_t step = drip ? 1 : answer.size();
      for (size_t at = 0; answers && (endless || at < answer.size()); at = endless ? 0 : at + step) {
        if (send(client, answer.data() + at, step, MSG_NOSIGNAL) < 0 || (drip && usleep(10000) != 0)) break;
      }
    });
    AskGpsd({gpsd}, devices);
    uint64_t one = 1;
    EXPECT_EQ(write(asked, &one, sizeof one), 8);
    server.join();
    EXPECT_EQ(read(asked, &one, sizeof one), 8);
    if (client >= 0) close(client);
  };
  auto expectDevice = [&](const GpsdDevice& device, int pty, bool active, uint32_t rate) {
    EXPECT_EQ(device.device, nodes[pty].st_rdev) << pty;
    EXPECT_EQ(device.gpsdPid, gpsd) << pty;
    EXPECT_EQ(device.active, active) << pty;
    EXPECT_EQ(device.gpsdRate, rate) << pty << ": a speed only with GPS data seen";
  };

  std::vector<GpsdDevice> devices;
  ask(true, &devices);
  ASSERT_EQ(devices.size(), 3u);
  expectDevice(devices[0], 0, true, 9600);
  expectDevice(devices[1], 1, true, 0);
  expectDevice(devices[2], 2, false, 0);
  devices.clear();
  ask(false, &devices);
  ASSERT_EQ(devices.size(), 1u) << "a gpsd that does not answer keeps its command line's devices";
  expectDevice(devices[0], 1, true, 0);
  // 0, 4, 5 and 64 devices, elements and fields of other types, a path with a NUL,
  // a 4 KiB path, junk first: pty 0 believed where it is listed, at the rate given
  // (-1: nothing believed). libgps 3.22 never returned from the third to the sixth.
  auto listed = [&](int others, const std::string& first, const char* fields) {
    std::string list = R"({"class":"DEVICES","devices":[)" + first;
    for (int n = 0; n < others; ++n) {
      list += R"({"class":"DEVICE","path":"/dev/ttyUSB9)" + std::to_string(n) + "\"," + active + "\"bps\":1},";
    }
    return list + R"({"class":"DEVICE","path":")" + ptys[0].path + "\"," + active + fields + "}]}\n";
  };
  std::string junk(20000, '[');
  for (int n = 0; n < 2048; ++n) junk += static_cast<char>(n);
  const char* rated = R"("flags":1,"bps":9600)";
  std::pair<std::string, int> odd[] = {
      {R"({"class":"DEVICES","devices":[]})" "\n", -1}, {listed(3, "", rated), 9600}, {listed(4, "", rated), 9600},
      {listed(63, "", rated), 9600},
      {listed(0, R"({"path":5},{"path":[]},{"path":null},7,"x",{"path":")" + std::string(ptys[0].path) + R"(\u0000"},)",
              R"("flags":"1","bps":"9600")"), 0},
      {R"({"class":"DEVICES","devices":[{"path":"/dev/)" + std::string(4091, 'x') + "\"," + active + rated +
           "}]}\n", -1},
      {junk + "\n" + listed(0, "", rated), 9600}};
  for (const auto& [reply, rate] : odd) {
    answer = reply;
    devices.clear();
    ask(true, &devices);
    ASSERT_EQ(devices.size(), rate < 0 ? 0u : 1u) << reply.substr(0, 100);
    if (rate >= 0) expectDevice(devices[0], 0, true, static_cast<uint32_t>(rate));
  }
  // A line that never ends, and a drip feed, are no answer in time.
  for (bool* mode : {&endless, &drip}) {
    *mode = true;
    answer = endless ? std::string(4096, 'x') : listed(0, "", rated);
    devices.clear();
    ask(true, &devices);
    ASSERT_EQ(devices.size(), 1u);
    expectDevice(devices[0], 1, true, 0);
    endless = drip = false;
  }
  close(listener);
  devices.clear();
  AskGpsd({gpsd}, &devices);
  EXPECT_TRUE(devices.empty()) << "a gpsd not listening";
  if (geteuid() == 0) {
    ASSERT_EQ(seteuid(kNobody), 0);  // the socket's owner is its creator
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(seteuid(0), 0);
    int reuse = 1;
    ASSERT_EQ(setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse), 0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    AskGpsd({gpsd}, &devices);  // not even asked: its silence would keep pty 1
    EXPECT_TRUE(devices.empty()) << "another user's socket on gpsd's port was believed";
    close(listener);
  }

  close(asked);
  close(input[1]);
  EXPECT_EQ(waitpid(gpsd, nullptr, 0), gpsd);
  RemoveComFolder(folder);
  for (TestPty& pty : ptys) CloseTestPty(&pty);
  alarm(0);
}

TEST_F(PortTest, ProgramSettingsGiveRawEightNOne) {
  termios tio;
  ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
  EXPECT_EQ(cfgetispeed(&tio), B4800);
  EXPECT_EQ(cfgetospeed(&tio), B4800);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | INPCK), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  EXPECT_EQ(tio.c_cc[VMIN], 0);
  EXPECT_EQ(tio.c_cc[VTIME], 0);

  DCB read = {};
  ASSERT_TRUE(GetCommState(port, &read));
  EXPECT_EQ(read.DCBlength, sizeof(DCB));
  EXPECT_EQ(read.BaudRate, 4800u);
  EXPECT_EQ(read.ByteSize, 8);
  EXPECT_EQ(read.Parity, NOPARITY);
  EXPECT_EQ(read.StopBits, ONESTOPBIT);
  EXPECT_EQ(read.fBinary, 1u);
  EXPECT_EQ(read.fOutxCtsFlow, 0u);
  EXPECT_EQ(read.fOutX, 0u);
  EXPECT_EQ(read.fInX, 0u);
  EXPECT_EQ(read.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
  EXPECT_EQ(read.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
}

TEST_F(PortTest, OtherRatesAndStopBitsRoundTrip) {
  struct Frame {
    DWORD rate;
    BYTE stop;
    BYTE dtr;
  } frames[] = {{9600, TWOSTOPBITS, DTR_CONTROL_DISABLE},
                {4000000, ONESTOPBIT, DTR_CONTROL_ENABLE},
                {50, TWOSTOPBITS, DTR_CONTROL_ENABLE}};
  for (const Frame& f : frames) {
    DCB dcb = ProgramDcb(f.rate);
    dcb.StopBits = f.stop;
    dcb.fDtrControl = f.dtr;
    ASSERT_TRUE(SetCommState(port, &dcb)) << f.rate;
    termios tio;
    ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
    EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, f.stop == TWOSTOPBITS) << f.rate;
    DCB read = {};
    ASSERT_TRUE(GetCommState(port, &read));
    EXPECT_EQ(read.BaudRate, f.rate);
    EXPECT_EQ(read.ByteSize, 8);
    EXPECT_EQ(read.StopBits, f.stop);
    EXPECT_EQ(read.fDtrControl, static_cast<DWORD>(f.dtr));
  }
}

// A rate termios cannot name is refused, never rounded, and the port keeps its
// settings; so are frames Windows would not take, and frames a pty cannot carry
// (it makes every frame 8 bits without parity).
TEST_F(PortTest, RefusesWhatCannotBeSetExactly) {
  DWORD rates[] = {0, 4801, 12345, 250000, 3686400, 0xFFFFFFFF};
  for (DWORD rate : rates) {
    DCB dcb = ProgramDcb(rate);
    SetLastError(0);
    EXPECT_FALSE(SetCommState(port, &dcb)) << rate;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << rate;
  }
  DCB bad[6] = {ProgramDcb(9600), ProgramDcb(9600), ProgramDcb(9600),
                ProgramDcb(9600), ProgramDcb(9600), ProgramDcb(9600)};
  bad[0].ByteSize = 9;
  bad[1].StopBits = ONE5STOPBITS;  // only with 5 data bits
  bad[2].Parity = 5;
  bad[3].ByteSize = 5;
  bad[3].StopBits = TWOSTOPBITS;
  bad[4].ByteSize = 7;
  bad[5].Parity = EVENPARITY;
  for (DCB& dcb : bad) {
    SetLastError(0);
    EXPECT_FALSE(SetCommState(port, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  termios tio;
  ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), B4800);
  EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));
}

TEST_F(PortTest, TimeoutsAreKeptWithTheHandle) {
  COMMTIMEOUTS set = {11, 22, 33, 44, 55};
  ASSERT_TRUE(SetCommTimeouts(port, &set));
  COMMTIMEOUTS got = {};
  ASSERT_TRUE(GetCommTimeouts(port, &got));
  EXPECT_EQ(got.ReadIntervalTimeout, 11u);
  EXPECT_EQ(got.ReadTotalTimeoutMultiplier, 22u);
  EXPECT_EQ(got.ReadTotalTimeoutConstant, 33u);
  EXPECT_EQ(got.WriteTotalTimeoutMultiplier, 44u);
  EXPECT_EQ(got.WriteTotalTimeoutConstant, 55u);
}

TEST_F(PortTest, ModemLinesFailOnAPty) {
  for (DWORD function : {DWORD{SETDTR}, DWORD{SETRTS}, DWORD{CLRDTR}, DWORD{CLRRTS}}) {
    SetLastError(0);
    EXPECT_FALSE(EscapeCommFunction(port, function));
    EXPECT_NE(GetLastError(), ERROR_SUCCESS);
  }
  SetLastError(0);
  EXPECT_FALSE(EscapeCommFunction(port, 99));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// The program's timeouts: a one-byte read returns with or without a byte.
TEST_F(PortTest, ShortReadsReturnWithOrWithoutData) {
  unsigned char byte = 0;
  DWORD got = 99;
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(ReadFile(port, &byte, 1, &got, nullptr));
    EXPECT_EQ(got, 0u);
  }
  ASSERT_TRUE(WriteMaster(&pty, "$GP", 3));
  std::string seen;
  for (int i = 0; i < 10000 && seen.size() < 3; ++i) {
    ASSERT_TRUE(ReadFile(port, &byte, 1, &got, nullptr));
    ASSERT_LE(got, 1u);
    if (got == 1) seen.push_back(static_cast<char>(byte));
  }
  EXPECT_EQ(seen, "$GP");
}

TEST_F(PortTest, ReadsNoMoreThanAsked) {
  ASSERT_TRUE(WriteMaster(&pty, "0123456789", 10));
  SetTimeouts(port, 0, 0, 0);  // block until all asked bytes came
  char buffer[16] = {};
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(port, buffer, 4, &got, nullptr));
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(std::string(buffer, got), "0123");
  SetTimeouts(port, MAXDWORD, 0, 0);  // what is queued, at once
  ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, nullptr));
  EXPECT_EQ(std::string(buffer, got), "456789");
  ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, nullptr));
  EXPECT_EQ(got, 0u);
}

// Totals and intervals end a read short of what was asked, with what came.
TEST_F(PortTest, ShortReadsEndOnTotalOrInterval) {
  char buffer[16] = {};
  DWORD got = 0;
  ASSERT_TRUE(WriteMaster(&pty, "abc", 3));
  SetTimeouts(port, 0, 1, 20);
  ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, nullptr));
  EXPECT_EQ(std::string(buffer, got), "abc");
  ASSERT_TRUE(WriteMaster(&pty, "de", 2));
  SetTimeouts(port, 20, 0, 0);
  ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, nullptr));
  EXPECT_EQ(std::string(buffer, got), "de");
  ASSERT_TRUE(WriteMaster(&pty, "f", 1));
  SetTimeouts(port, MAXDWORD, MAXDWORD, 20);  // the first byte ends the read
  ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, nullptr));
  EXPECT_EQ(std::string(buffer, got), "f");
  ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, nullptr));
  EXPECT_EQ(got, 0u);
}

TEST_F(PortTest, BlockingReadCollectsEveryByteInOrder) {
  SetTimeouts(port, 0, 0, 0);
  char buffer[8] = {};
  DWORD got = 0;
  BOOL read = FALSE;
  std::thread reader([&] { read = ReadFile(port, buffer, 6, &got, nullptr); });
  for (const char* part : {"ab", "cd", "ef"}) {
    ASSERT_TRUE(WriteMaster(&pty, part, 2));
    usleep(2000);
  }
  reader.join();
  EXPECT_TRUE(read);
  EXPECT_EQ(std::string(buffer, got), "abcdef");
}

TEST_F(PortTest, WaitSeesDataAlreadyQueued) {
  ASSERT_TRUE(WriteMaster(&pty, "x", 1));
  ASSERT_TRUE(SetCommMask(port, 0x1BD));
  DWORD events = 0;
  ASSERT_TRUE(WaitCommEvent(port, &events, nullptr));
  EXPECT_EQ(events, EV_RXCHAR);
  SetLastError(0);
  ASSERT_TRUE(SetCommMask(port, 0));
  EXPECT_FALSE(WaitCommEvent(port, &events, nullptr));  // waiting for nothing would never end
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(PortTest, WaitEndsWhenDataArrives) {
  ASSERT_TRUE(SetCommMask(port, 0x1BD));
  DWORD events = 0;
  BOOL waited = FALSE;
  std::thread waiter([&] { waited = WaitCommEvent(port, &events, nullptr); });
  usleep(20000);
  ASSERT_TRUE(WriteMaster(&pty, "x", 1));
  waiter.join();
  EXPECT_TRUE(waited);
  EXPECT_EQ(events, EV_RXCHAR);
}

// Closing the port from another thread ends a wait or a read blocked on it; a
// call that had not yet begun fails on the stale handle instead.
TEST_F(PortTest, CloseEndsBlockedWaitAndRead) {
  SetTimeouts(port, 0, 0, 0);
  ASSERT_TRUE(SetCommMask(port, 0x1BD));
  DWORD events = 0, waitError = 0, readError = 0;
  BOOL waited = TRUE, read = TRUE;
  std::thread waiter([&] {
    waited = WaitCommEvent(port, &events, nullptr);
    waitError = GetLastError();
  });
  std::thread reader([&] {
    char buffer[4];
    DWORD got = 0;
    read = ReadFile(port, buffer, sizeof buffer, &got, nullptr);
    readError = GetLastError();
  });
  usleep(20000);
  ASSERT_TRUE(CloseHandle(port));
  waiter.join();
  reader.join();
  EXPECT_FALSE(waited);
  EXPECT_FALSE(read);
  EXPECT_TRUE(waitError == ERROR_OPERATION_ABORTED || waitError == ERROR_INVALID_HANDLE)
      << waitError;
  EXPECT_TRUE(readError == ERROR_OPERATION_ABORTED || readError == ERROR_INVALID_HANDLE)
      << readError;
  EXPECT_EQ(events, 0u);
  port = INVALID_HANDLE_VALUE;
}

// A process ending by a signal closes its ports first, from another thread: the
// reader's wait is woken and fails, and before the call returns the descriptors are
// closed and the pty's exclusivity is given back. In a child of its own, where no
// port may open again.
TEST_F(PortTest, ClosingForExitEndsTheWaitAndFreesThePort) {
  ASSERT_TRUE(SetCommMask(port, 0x1BD));
  EXPECT_EXIT(
      {
        alarm(kHangGuardSeconds);  // a child keeps no alarm of its parent
        int open = CountOpenDescriptors();
        DWORD events = 0;
        BOOL waited = TRUE;
        std::thread waiter([&] { waited = WaitCommEvent(port, &events, nullptr); });
        usleep(20000);
        ClosePortsForExit(10000);
        int exclusive = 1;
        bool freed = ioctl(pty.slave, TIOCGEXCL, &exclusive) == 0 && exclusive == 0 &&
                     CountOpenDescriptors() == open - 2;  // the device and its eventfd
        if (!freed) CloseHandle(port);  // a waiter left waiting ends, and the test fails
        waiter.join();
        _exit(freed && !waited ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// The far end closed: every read and wait fails, at once and every time, for
// each kind of timeout (a spin would trip the hang guard or never fail).
TEST_F(PortTest, VanishedDeviceFailsReadsAndWaits) {
  ASSERT_TRUE(SetCommMask(port, 0x1BD));
  DWORD events = 0;
  BOOL waited = TRUE;
  std::thread waiter([&] { waited = WaitCommEvent(port, &events, nullptr); });
  usleep(20000);
  close(pty.master);
  pty.master = -1;
  waiter.join();
  EXPECT_FALSE(waited);

  unsigned char byte;
  DWORD got = 0;
  const DWORD modes[][3] = {
      {MAXDWORD, 1, 1}, {0, 0, 0}, {MAXDWORD, 0, 0}, {10, 0, 0}, {MAXDWORD, MAXDWORD, 50}};
  for (const auto& mode : modes) {
    SetTimeouts(port, mode[0], mode[1], mode[2]);
    for (int i = 0; i < 100; ++i) {
      SetLastError(0);
      ASSERT_FALSE(ReadFile(port, &byte, 1, &got, nullptr));
      EXPECT_EQ(got, 0u);
      ASSERT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    }
  }
  EXPECT_FALSE(WaitCommEvent(port, &events, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(PortTest, StaleHandleFailsEverywhere) {
  HANDLE stale = port;
  ASSERT_TRUE(CloseHandle(port));
  port = OpenCom(L"COM3:");  // likely the same slot and descriptor number again
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_NE(port, stale);
  DCB dcb = ProgramDcb(9600);
  COMMTIMEOUTS timeouts = {};
  DWORD events = 0, got = 0;
  unsigned char byte;
  auto expectInvalid = [](BOOL result) {
    EXPECT_FALSE(result);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  };
  expectInvalid(GetCommState(stale, &dcb));
  expectInvalid(SetCommState(stale, &dcb));
  expectInvalid(GetCommTimeouts(stale, &timeouts));
  expectInvalid(SetCommTimeouts(stale, &timeouts));
  expectInvalid(EscapeCommFunction(stale, SETDTR));
  expectInvalid(SetCommMask(stale, 0x1BD));
  expectInvalid(WaitCommEvent(stale, &events, nullptr));
  expectInvalid(ReadFile(stale, &byte, 1, &got, nullptr));
  expectInvalid(CloseHandle(stale));
  for (HANDLE bogus : {HANDLE(nullptr), INVALID_HANDLE_VALUE, HANDLE(uintptr_t{0x7777})}) {
    expectInvalid(ReadFile(bogus, &byte, 1, &got, nullptr));
    expectInvalid(CloseHandle(bogus));
  }
  // However often the table turns over, the old handle never reaches a new port.
  for (int i = 0; i < 600; ++i) {
    ASSERT_TRUE(CloseHandle(port));
    port = OpenCom(L"COM3:");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_NE(port, stale);
    ASSERT_FALSE(SetCommTimeouts(stale, &timeouts)) << i;
  }
  // The stale handle changed nothing on the port now open.
  termios tio;
  ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), B4800);
}

// A reader inside or about to enter its calls while the port is closed, and
// another port opened at once in its place: the reader must fail cleanly and
// never read the new port's bytes. ASan and TSan runs check the rest.
TEST(HandleRace, CloseUnderABusyReader) {
  alarm(kHangGuardSeconds);
  TestPty first, second;
  ASSERT_TRUE(OpenTestPty(&first));
  ASSERT_TRUE(OpenTestPty(&second));
  char folder[64];
  ASSERT_TRUE(MakeComFolder(folder, sizeof folder));
  ASSERT_TRUE(LinkComPort(folder, 1, first.path));
  ASSERT_TRUE(LinkComPort(folder, 2, second.path));
  for (int round = 0; round < 200; ++round) {
    HANDLE port = OpenCom(L"COM1:");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB dcb = ProgramDcb(4800);
    ASSERT_TRUE(SetCommState(port, &dcb));
    SetTimeouts(port, round % 2 ? 0 : MAXDWORD, round % 2 ? 0 : 1, round % 2 ? 0 : 1);
    ASSERT_TRUE(WriteMaster(&first, "A", 1));
    std::atomic<bool> sawForeignByte{false};
    std::thread reader([&] {
      for (;;) {
        SetCommMask(port, 0x1BD);
        DWORD events = 0;
        if (!WaitCommEvent(port, &events, nullptr)) return;
        unsigned char byte = 0;
        DWORD got = 0;
        if (!ReadFile(port, &byte, 1, &got, nullptr)) return;
        if (got == 1 && byte == 'B') sawForeignByte = true;
      }
    });
    if (round % 3 != 0) usleep(round % 500);
    ASSERT_TRUE(CloseHandle(port));
    HANDLE other = OpenCom(L"COM2:");
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommState(other, &dcb));
    ASSERT_TRUE(WriteMaster(&second, "B", 1));
    reader.join();
    EXPECT_FALSE(sawForeignByte) << "round " << round;
    ASSERT_TRUE(CloseHandle(other));
    tcflush(first.slave, TCIFLUSH);
    tcflush(second.slave, TCIFLUSH);
  }
  RemoveComFolder(folder);
  CloseTestPty(&first);
  CloseTestPty(&second);
  alarm(0);
}

TEST(Descriptors, NoneLeakOverOpensAndFailedOpens) {
  alarm(kHangGuardSeconds);
  TestPty pty;
  char folder[64];
  ASSERT_TRUE(PinTestPty(&pty, 3, folder, sizeof folder));
  ASSERT_TRUE(LinkComPort(folder, 4, "/nonexistent/device"));
  ASSERT_TRUE(LinkComPort(folder, 5, folder));  // a folder: open fails with EISDIR
  int before = CountOpenDescriptors();
  for (int i = 0; i < 50; ++i) {
    HANDLE port = OpenCom(L"COM3:");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenCom(L"COM3:"), INVALID_HANDLE_VALUE);  // busy
    EXPECT_EQ(OpenCom(L"COM4:"), INVALID_HANDLE_VALUE);  // absent
    EXPECT_EQ(OpenCom(L"COM5:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenCom(L"COM6:"), INVALID_HANDLE_VALUE);  // no link
    EXPECT_EQ(OpenCom(L"LPT1"), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(port));
  }
  EXPECT_EQ(CountOpenDescriptors(), before);
  RemoveComFolder(folder);
  CloseTestPty(&pty);
  alarm(0);
}

}  // namespace
