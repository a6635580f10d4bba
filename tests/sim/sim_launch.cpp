#include "sim_launch.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int kStopGraceMs = 5000;

int64_t NowMs() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

// Reaps the child, waiting at most graceMs; returns false when it is still running.
bool ReapWithin(pid_t pid, int graceMs, int* status) {
  int64_t deadline = NowMs() + graceMs;
  for (;;) {
    pid_t done = waitpid(pid, status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return true;
    if (NowMs() >= deadline) return false;
    usleep(10'000);
  }
}

}  // namespace

bool MakeLinkFolder(std::string* folder) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                        "/sentrova-com-XXXXXX";
  std::vector<char> path(pattern.begin(), pattern.end());
  path.push_back('\0');
  if (mkdtemp(path.data()) == nullptr) return false;
  *folder = path.data();
  return true;
}

void RemoveLinkFolder(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (dir != nullptr) {
    while (dirent* entry = readdir(dir)) {
      if (std::strncmp(entry->d_name, "com", 3) == 0) unlinkat(dirfd(dir), entry->d_name, 0);
    }
    closedir(dir);
  }
  rmdir(folder.c_str());
}

bool StartSimulator(const char* path, const std::vector<std::string>& args, int deadlineSeconds,
                    SimProcess* sim) {
  // Everything the child needs is made before fork: after it, only exec-safe calls.
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    return false;
  }
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    dup2(pipeFds[1], STDOUT_FILENO);
    execv(path, argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  sim->pid = pid;
  sim->output = pipeFds[0];

  std::string seen;
  int64_t deadline = NowMs() + static_cast<int64_t>(deadlineSeconds) * 1000;
  for (;;) {
    if (seen.find("ready\n") != std::string::npos) return true;
    int64_t left = deadline - NowMs();
    if (left <= 0) break;
    pollfd fd = {sim->output, POLLIN, 0};
    int ready = poll(&fd, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char chunk[256];
    ssize_t size = read(sim->output, chunk, sizeof chunk);
    if (size <= 0) break;  // it exited before it was ready
    seen.append(chunk, static_cast<size_t>(size));
  }
  StopSimulator(sim);
  return false;
}

bool StopSimulator(SimProcess* sim) {
  if (sim->pid <= 0) return false;
  kill(sim->pid, SIGTERM);
  int status = -1;  // stays "not exited" if someone else reaped it
  bool clean = ReapWithin(sim->pid, kStopGraceMs, &status);
  if (!clean) {
    kill(sim->pid, SIGKILL);
    ReapWithin(sim->pid, kStopGraceMs, &status);
  }
  if (sim->output >= 0) close(sim->output);
  sim->pid = -1;
  sim->output = -1;
  return clean && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool PortIsFree(const std::string& folder, int32_t port) {
  std::string path = folder + "/com" + std::to_string(port);
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);
  return free;
}
