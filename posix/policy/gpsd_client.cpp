// Asks gpsd which devices it has open, over its JSON protocol (gpsd_json(5)). The
// connection, the reading and the parse are ours, all under one deadline: whatever
// the process on the port sends (any length, a line that never ends, a byte at a
// time, binary junk, JSON of any shape) costs the scan at most kGpsdQuestionMs.
// libgps would not do: gps_open() connects with no time limit, and gps_unpack()
// (libgps 3.22) never returns for a DEVICES answer of more than four devices, for a
// path that is no string or one of more than 128 characters.
#include "policy/gpsd_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <nlohmann/json.hpp>

namespace {

typedef nlohmann::json Json;

constexpr uint16_t kGpsdDefaultPort = 2947;
const char kDevicesQuestion[] = "?DEVICES;\n";
// A well-formed answer holds a few hundred bytes a device; gpsd serves a few
// devices. What comes beyond this, before the answer, is no gpsd's.
constexpr size_t kReplyLimit = 65536;
// gpsd's DEVICE flags: GPS data seen there.
constexpr uint64_t kSeenGps = 0x01;
constexpr unsigned int kTcpListen = 0x0A;

int64_t NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits for the socket until the deadline; false when it did not come in time. Once
// the deadline has passed nothing is waited for, even what is ready: a sender that
// never stops must not keep the question going.
bool WaitFor(int fd, short events, int64_t deadline) {
  for (;;) {
    int64_t left = deadline - NowMs();
    if (left <= 0) return false;
    pollfd ready = {fd, events, 0};
    int n = poll(&ready, 1, static_cast<int>(left));
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

// The users whose gpsd may speak for the machine: root, the system's gpsd user (the
// one Debian's gpsd drops to) and the user running the scan.
struct MachineUsers {
  bool haveGpsd;
  uid_t gpsd;
};

MachineUsers FindMachineUsers() {
  passwd entry;
  passwd* found = nullptr;
  char buffer[4096];
  bool known = getpwnam_r("gpsd", &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr;
  return MachineUsers{known, known ? found->pw_uid : 0};
}

bool Trusted(const MachineUsers& users, unsigned long uid) {
  return uid == 0 || uid == geteuid() || (users.haveGpsd && uid == users.gpsd);
}

// Whether a listening socket at this address (as /proc/net/tcp prints it: each
// 32-bit word in network order, printed as a host number) takes a connection to the
// loopback of the family: the loopback itself, any address, or for IPv4 an IPv6
// socket's mapped loopback or any address.
bool Reaches(const char* hex, bool v4) {
  size_t words = std::strlen(hex) / 8;
  if (std::strlen(hex) % 8 != 0 || (words != 1 && words != 4)) return false;
  uint32_t word[4] = {};
  for (size_t n = 0; n < words; ++n) {
    char part[9] = {};
    std::memcpy(part, hex + 8 * n, 8);
    word[n] = static_cast<uint32_t>(std::strtoul(part, nullptr, 16));
  }
  uint32_t loopback = htonl(INADDR_LOOPBACK);
  if (words == 1) return v4 && (word[0] == loopback || word[0] == 0);
  if (word[0] != 0 || word[1] != 0) return false;
  if (word[2] == 0 && word[3] == 0) return true;
  if (!v4) return word[2] == 0 && word[3] == htonl(1);
  return word[2] == htonl(0xFFFF) && (word[3] == loopback || word[3] == 0);
}

// Whose socket took the connection: every socket listening on the port at an
// address the connection reaches, from /proc/net/tcp and tcp6, which show each
// socket's owner to every user. All must be trusted, and one at least be there.
bool ListenerTrusted(int fd, uint16_t port, const MachineUsers& users) {
  sockaddr_storage local = {};
  socklen_t size = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) return false;
  bool v4 = local.ss_family == AF_INET;
  bool trusted = true;
  int listeners = 0;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    FILE* file = std::fopen(table, "re");
    if (file == nullptr) continue;
    // "0: 0100007F:0B83 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 ..."
    // (slot, local address and port, remote, state, queues, timer, retransmits, uid)
    char line[512];
    while (trusted && std::fgets(line, sizeof line, file) != nullptr) {
      char address[33] = {};
      unsigned int at = 0, state = 0;
      unsigned long uid = 0;
      if (std::sscanf(line, " %*u: %32[0-9A-Fa-f]:%x %*s %x %*s %*s %*s %lu",  // NOLINT(cert-err34-c)
                      address, &at, &state, &uid) != 4 ||
          state != kTcpListen || at != port || !Reaches(address, v4)) {
        continue;
      }
      trusted = Trusted(users, uid);
      ++listeners;
    }
    std::fclose(file);
  }
  return trusted && listeners > 0;
}

// A member of a JSON object as the type asked for, or null: never a throw (the
// build has no exceptions: nlohmann's checked access would abort).
template <typename T>
const T* Member(const Json& object, const char* name) {
  auto found = object.find(name);
  return found == object.end() ? nullptr : found->template get_ptr<const T*>();
}

// One line from gpsd: true when it is the answer to ?DEVICES, whose devices that
// are character devices go into `said`. An element of any other shape is skipped.
bool ParseDeviceList(const char* first, const char* last, pid_t pid, std::vector<GpsdDevice>* said) {
  Json reply = Json::parse(first, last, nullptr, /*allow_exceptions=*/false);
  const std::string* kind = reply.is_object() ? Member<std::string>(reply, "class") : nullptr;
  const Json::array_t* list = kind != nullptr && *kind == "DEVICES" ? Member<Json::array_t>(reply, "devices") : nullptr;
  if (list == nullptr) return false;
  for (const Json& known : *list) {
    const std::string* path = known.is_object() ? Member<std::string>(known, "path") : nullptr;
    struct stat node;
    if (path == nullptr || path->find('\0') != std::string::npos || stat(path->c_str(), &node) != 0 ||
        !S_ISCHR(node.st_mode)) {
      continue;
    }
    // "activated" is there, a time, only for a device gpsd has open (older gpsds
    // wrote it in seconds, as a number).
    auto activated = known.find("activated");
    bool active = activated != known.end() &&
                  ((activated->is_string() && !activated->get_ptr<const std::string*>()->empty()) ||
                   (activated->is_number() && *activated > 0));
    const Json::number_unsigned_t* flags = Member<Json::number_unsigned_t>(known, "flags");
    const Json::number_unsigned_t* bps = Member<Json::number_unsigned_t>(known, "bps");
    bool rated = flags != nullptr && (*flags & kSeenGps) != 0 && bps != nullptr && *bps <= UINT32_MAX;
    said->push_back(GpsdDevice{node.st_rdev, pid, active, rated ? static_cast<uint32_t>(*bps) : 0});
  }
  return true;
}

// Reads gpsd's lines until the answer to ?DEVICES, the deadline or kReplyLimit
// bytes. gpsd first greets with its VERSION; watch reports may come too, once a
// client asked for them. Each byte is looked at once for the line's end.
bool ReadDeviceList(int fd, int64_t deadline, pid_t pid, std::vector<GpsdDevice>* said) {
  std::string pending;
  size_t start = 0;    // the first byte of the line not yet parsed
  size_t scanned = 0;  // bytes already searched for a line's end
  char chunk[4096];
  for (;;) {
    for (size_t end = 0; (end = pending.find('\n', scanned)) != std::string::npos; start = scanned = end + 1) {
      if (ParseDeviceList(pending.data() + start, pending.data() + end, pid, said)) return true;
    }
    scanned = pending.size();
    if (pending.size() >= kReplyLimit || !WaitFor(fd, POLLIN, deadline)) return false;
    ssize_t got = recv(fd, chunk, std::min(sizeof chunk, kReplyLimit - pending.size()), 0);
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
  MachineUsers users = FindMachineUsers();
  for (pid_t pid : processes) {
    std::vector<std::string> named;
    uint16_t port = GpsdArguments(pid, &named);
    int fd = Connect(port, deadline);
    if (fd < 0) continue;
    // Any user may start a process named gpsd, and take gpsd's port while no gpsd
    // has it (2947 needs no privilege): another user's socket is not asked, and its
    // silence not believed either. Looked at once connected, so the listener that
    // took the connection is among those looked at.
    bool believed = ListenerTrusted(fd, port, users);
    std::vector<GpsdDevice> said;
    bool answered = believed && WaitFor(fd, POLLOUT, deadline) &&
                    send(fd, kDevicesQuestion, sizeof kDevicesQuestion - 1, MSG_NOSIGNAL) ==
                        static_cast<ssize_t>(sizeof kDevicesQuestion - 1) &&
                    ReadDeviceList(fd, deadline, pid, &said);
    close(fd);
    if (!believed) continue;
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
    devices->insert(devices->end(), said.begin(), said.end());
  }
}
