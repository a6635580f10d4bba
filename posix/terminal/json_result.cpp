// The JSON object of `sentrova --scan --json`, for scripts: what the result lines
// say, as values. Written with nlohmann::json; its field names are the manual page's.
#include "terminal/terminal.h"

#include "resources/texts.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace {

typedef nlohmann::ordered_json Json;  // fields in the order the manual lists them

// Text from outside (a device path, a process or group name) as the result lines
// show it: control characters and bytes that are no UTF-8 escaped as \x9b. So the
// string is valid UTF-8, which JSON needs, and equal to what a user reads.
Json Shown(const std::string& text) { return VisibleText(text); }

// The group of a refused device, by name; null when the device is gone.
Json DeviceGroup(const std::string& device) {
  struct stat info;
  if (stat(device.c_str(), &info) != 0) return nullptr;
  group entry;
  group* found = nullptr;
  char buffer[4096];
  if (getgrgid_r(info.st_gid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) {
    return std::to_string(info.st_gid);
  }
  return Shown(found->gr_name);
}

// Texts from outside as a list; nlohmann would take the vector as it is, but every
// string goes through VisibleText.
Json ShownList(const std::vector<std::string>& texts) {
  Json list = Json::array();
  for (const std::string& text : texts) list.push_back(Shown(text));
  return list;
}

}  // namespace

std::string ScanResultJson(bool found, int32_t port, uint32_t rate, const ScanFindings& findings) {
  const std::vector<PortNote>& notes = findings.ports;
  Json object = Json::object();
  object["found"] = found;
  object["port"] = nullptr;
  object["rate"] = nullptr;
  object["device"] = nullptr;
  object["stable_path"] = nullptr;
  FoundDevice where;
  if (found) {
    object["port"] = port;
    object["rate"] = rate;
    if (FindFoundDevice(port, &where)) {
      object["device"] = Shown(where.device);
      if (!where.stable.empty()) object["stable_path"] = Shown(where.stable);
    }
  }
  Json busy = Json::array();
  Json refused = Json::array();
  for (const PortNote& note : notes) {
    if (note.kind == kPortBusy) {
      Json entry = Json::object();
      entry["device"] = Shown(note.device);
      entry["pid"] = note.holderPid > 0 ? Json(note.holderPid) : Json(nullptr);
      entry["process"] = note.holderName.empty() ? Json(nullptr) : Shown(note.holderName);
      entry["gpsd_rate"] = note.holderRate != 0 ? Json(note.holderRate) : Json(nullptr);
      busy.push_back(entry);
    } else {
      Json entry = Json::object();
      entry["device"] = Shown(note.device);
      entry["group"] = DeviceGroup(note.device);
      refused.push_back(entry);
    }
  }
  object["busy"] = busy;
  object["refused"] = refused;
  // What the ports that answered held, and the adapters that have no port: after a
  // scan that found nothing (else empty), always given, so `.seen[]` needs no check.
  Json seen = Json::array();
  for (const SeenPort& entry : findings.seen) {
    Json item = Json::object();
    item["port"] = entry.port;
    item["rate"] = entry.rate != 0 ? Json(entry.rate) : Json(nullptr);
    item["device"] = FindFoundDevice(entry.port, &where) ? Shown(where.device) : Json(nullptr);
    item["what"] = SeenKindName(entry.kind);
    const char* protocol = SeenProtocol(entry.kind);
    item["protocol"] = protocol != nullptr ? Json(protocol) : Json(nullptr);
    item["talkers"] = ShownList(entry.contents.talkers);
    item["sentences"] = ShownList(entry.contents.sentences);
    seen.push_back(item);
  }
  Json adapters = Json::array();
  for (const PortlessAdapter& adapter : findings.adapters) {
    Json item = Json::object();
    item["usb_id"] = Shown(adapter.usbId);
    item["product"] = adapter.product.empty() ? Json(nullptr) : Shown(adapter.product);
    item["serial_driver"] = adapter.serialDriver;
    item["held_by"] = adapter.heldBy.empty() ? Json(nullptr) : Shown(adapter.heldBy);
    adapters.push_back(item);
  }
  object["seen"] = seen;
  object["adapters_without_port"] = adapters;
  object["version"] = SENTROVA_VERSION;
  // Every string is valid UTF-8 already; should one not be, the dump replaces the
  // bytes rather than throw, which without exceptions would abort the program.
  return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}
