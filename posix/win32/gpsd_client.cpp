// Asks gpsd which devices it has open. The connection and its deadline are ours:
// libgps's gps_open() connects with no time limit, and a gpsd whose listen queue is
// full would hold the scan there. What comes back is read by libgps (gps_unpack), so
// the protocol's JSON stays libgps's business.
#include "win32/gpsd_client.h"

#include <arpa/inet.h>
#include <gps.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

constexpr uint16_t kGpsdDefaultPort = 2947;
const char kDevicesQuestion[] = "?DEVICES;\n";

int64_t NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int LeftMs(int64_t deadline) {
  int64_t left = deadline - NowMs();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for the socket until the deadline; false when it did not come.
bool WaitFor(int fd, short events, int64_t deadline) {
  for (;;) {
    pollfd ready = {fd, events, 0};
    int n = poll(&ready, 1, LeftMs(deadline));
    if (n < 0 && errno == EINTR) continue;
    return n > 0 && (ready.revents & events) != 0;
  }
}

// A connection to gpsd on the loopback, where it listens unless told otherwise (-G
// adds every address, the loopback still among them): IPv4 first, then IPv6.
int Connect(uint16_t port, int64_t deadline) {
  for (int family : {AF_INET, AF_INET6}) {
    int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    sockaddr_storage address = {};
    socklen_t size = 0;
    if (family == AF_INET) {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
      v4->sin_family = AF_INET;
      v4->sin_port = htons(port);
      v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      size = sizeof *v4;
    } else {
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
      v6->sin6_family = AF_INET6;
      v6->sin6_port = htons(port);
      v6->sin6_addr = in6addr_loopback;
      size = sizeof *v6;
    }
    int error = 0;
    socklen_t errorSize = sizeof error;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 ||
        (errno == EINPROGRESS && WaitFor(fd, POLLOUT, deadline) &&
         getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &errorSize) == 0 && error == 0)) {
      return fd;
    }
    close(fd);
  }
  return -1;
}

// Reads gpsd's lines until the answer to ?DEVICES, or the deadline. gpsd first
// greets with its VERSION; watch reports may come too, once a client asked for them.
bool ReadDeviceList(int fd, int64_t deadline, gps_data_t* data) {
  std::string pending;
  char chunk[4096];
  for (;;) {
    size_t end = 0;
    while ((end = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      *data = gps_data_t{};
      if (gps_unpack(line.data(), data) == 0 && (data->set & DEVICELIST_SET) != 0) return true;
    }
    // A well-formed answer holds a few hundred bytes a device; one that never ends
    // its line is no gpsd's.
    if (pending.size() > 65536 || !WaitFor(fd, POLLIN, deadline)) return false;
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) return false;
    pending.append(chunk, static_cast<size_t>(got));
  }
}

bool ReadCommandLine(pid_t pid, std::string* text) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%ld/cmdline", static_cast<long>(pid));
  FILE* file = std::fopen(path, "re");
  if (file == nullptr) return false;
  char chunk[1024];
  size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text->append(chunk, got);
  std::fclose(file);
  return true;
}

bool ParsePort(const char* text, uint16_t* port) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (end == text || *end != 0 || value < 1 || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

bool IsGpsdProcess(const char* procFolder) {
  char path[64];
  std::snprintf(path, sizeof path, "%s/comm", procFolder);
  FILE* comm = std::fopen(path, "re");
  if (comm == nullptr) return false;
  char name[32] = {};
  bool gpsd = std::fgets(name, sizeof name, comm) != nullptr && std::strcmp(name, "gpsd\n") == 0;
  std::fclose(comm);
  return gpsd;
}

uint16_t GpsdArguments(pid_t pid, std::vector<std::string>* devices) {
  std::string text;
  if (!ReadCommandLine(pid, &text)) return kGpsdDefaultPort;
  // Its arguments, as getopt reads them: "-S 2948", "-S2948", "-NnS 2948", "--port
  // 2948", "--port=2948"; the options before it that take a value are skipped whole.
  std::vector<std::string> arguments;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\0', at);
    if (end == std::string::npos) end = text.size();
    arguments.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  const char* const kWithValue = "DFfPSs";
  uint16_t port = kGpsdDefaultPort;
  for (size_t n = 1; n < arguments.size(); ++n) {
    const std::string& argument = arguments[n];
    const char* next = n + 1 < arguments.size() ? arguments[n + 1].c_str() : "";
    if (argument == "--") break;
    if (argument[0] == '/') {
      devices->push_back(argument);
    } else if (argument == "--port") {
      ParsePort(next, &port);
      ++n;
    } else if (argument.compare(0, 7, "--port=") == 0) {
      ParsePort(argument.c_str() + 7, &port);
    } else if (argument.size() > 1 && argument[0] == '-' && argument[1] != '-') {
      for (size_t c = 1; c < argument.size(); ++c) {
        if (std::strchr(kWithValue, argument[c]) == nullptr) continue;
        const char* value = c + 1 < argument.size() ? argument.c_str() + c + 1 : next;
        if (argument[c] == 'S') ParsePort(value, &port);
        if (c + 1 == argument.size()) ++n;
        break;
      }
    }
  }
  return port;
}

void AskGpsd(const std::vector<pid_t>& processes, std::vector<GpsdDevice>* devices) {
  int64_t deadline = NowMs() + kGpsdQuestionMs;
  // gps_data_t is some 30 KiB: kept off the scan thread's stack.
  auto data = std::make_unique<gps_data_t>();
  for (pid_t pid : processes) {
    std::vector<std::string> named;
    int fd = Connect(GpsdArguments(pid, &named), deadline);
    if (fd < 0) continue;
    bool answered = WaitFor(fd, POLLOUT, deadline) &&
                    write(fd, kDevicesQuestion, sizeof kDevicesQuestion - 1) ==
                        static_cast<ssize_t>(sizeof kDevicesQuestion - 1) &&
                    ReadDeviceList(fd, deadline, data.get());
    close(fd);
    if (!answered) {
      // A gpsd that listens and does not answer in time is busy, as it is while it
      // hunts a new receiver's speed: the devices on its command line are taken
      // for active rather than have their speed changed under it.
      for (const std::string& path : named) {
        struct stat node;
        if (stat(path.c_str(), &node) == 0 && S_ISCHR(node.st_mode)) {
          devices->push_back(GpsdDevice{node.st_rdev, pid, true, 0});
        }
      }
      continue;
    }
    // libgps keeps MAXUSERDEVS (4) devices of the list; gpsd rarely serves more.
    for (int n = 0; n < data->devices.ndevices && n < MAXUSERDEVS; ++n) {
      const devconfig_t& known = data->devices.list[n];
      struct stat node;
      if (stat(known.path, &node) != 0 || !S_ISCHR(node.st_mode)) continue;
      // "activated" is present, a time, only for a device gpsd has open.
      bool active = known.activated.tv_sec != 0 || known.activated.tv_nsec != 0;
      uint32_t rate = (known.flags & SEEN_GPS) != 0 ? known.baudrate : 0;
      devices->push_back(GpsdDevice{node.st_rdev, pid, active, rate});
    }
  }
}
