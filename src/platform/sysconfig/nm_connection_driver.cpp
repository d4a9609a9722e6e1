#include "platform/sysconfig/nm_connection_driver.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <map>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/format.h"
#include "platform/sysconfig/system_keychain.h"
#include "platform/system/file_util.h"

namespace platform::sysconfig {

namespace {

constexpr const char* kNMPath = "/org/freedesktop/NetworkManager";
constexpr const char* kNMSettingsPath = "/org/freedesktop/NetworkManager/Settings";
constexpr const char* kNMSettingsIface = "org.freedesktop.NetworkManager.Settings";
constexpr const char* kNMConnectionIface = "org.freedesktop.NetworkManager.Settings.Connection";
constexpr const char* kNMActiveIface = "org.freedesktop.NetworkManager.Connection.Active";
constexpr const char* kNMVpnIface = "org.freedesktop.NetworkManager.VPN.Connection";
constexpr const char* kNMPluginIface = "org.freedesktop.NetworkManager.VPN.Plugin";
constexpr const char* kNMPluginPath = "/org/freedesktop/NetworkManager/VPN/Plugin";

// NetworkManager's enums (libnm's NMVpnConnectionState and
// NMActiveConnectionState).
enum : std::uint32_t {
  kVpnPrepare = 1,
  kVpnNeedAuth = 2,
  kVpnConnect = 3,
  kVpnIPConfigGet = 4,
  kVpnActivated = 5,
  kVpnFailed = 6,
  kVpnDisconnected = 7,
};
// The state reason of a deactivation someone asked for.
constexpr std::uint32_t kReasonUserDisconnected = 2;
enum : std::uint32_t {
  kActiveActivating = 1,
  kActiveActivated = 2,
  kActiveDeactivating = 3,
  kActiveDeactivated = 4,
};

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool isUUID(const std::string& s) {
  if (s.size() != 36) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (s[i] != '-') return false;
    } else if (!std::isxdigit(static_cast<unsigned char>(s[i]))) {
      return false;
    }
  }
  return true;
}

std::string text(const Value& v) { return v.isString() ? v.asString() : std::string(); }

std::string errorText(const sd_bus_error* e, int r) {
  if (e && sd_bus_error_is_set(e)) return e->message ? e->message : e->name;
  return std::string(std::strerror(r < 0 ? -r : r));
}

// The unique name that owns `name` on the bus ("" when none).
std::string nameOwner(sd_bus* bus, const char* name) {
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  std::string owner;
  const char* unique = nullptr;
  if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "GetNameOwner", &error, &reply, "s", name) >= 0 &&
      sd_bus_message_read(reply, "s", &unique) >= 0 && unique)
    owner = unique;
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  return owner;
}

// Whether the sender of `m` owns `service` or a name beneath it
// ("<service>.Connection_5": plugins that serve several connections take
// one name each), by the names' owners as the bus announced them. (A
// plugin that fails sends Failure and quits: by the time the signal is
// handled its name may be gone, but its release is announced after it.)
// The bus lets only root own these names.
bool sentByPlugin(sd_bus_message* m, const std::string& service,
                  const std::map<std::string, std::string>& owners) {
  const char* sender = sd_bus_message_get_sender(m);
  if (!sender || service.empty()) return false;
  for (const auto& [name, owner] : owners)
    if ((name == service || name.rfind(service + ".", 0) == 0) && owner == sender) return true;
  return false;
}

bool sentBy(sd_bus_message* m, const std::string& owner) {
  const char* sender = sd_bus_message_get_sender(m);
  return !owner.empty() && sender && owner == sender;
}

// One method call on the bus: its outcome, the error it returned and its
// reply, both released with this object. The reply's strings live as long
// as it does.
class BusCall {
 public:
  BusCall() = default;
  BusCall(const BusCall&) = delete;
  BusCall& operator=(const BusCall&) = delete;
  ~BusCall() {
    sd_bus_message_unref(reply_);
    sd_bus_error_free(&error_);
  }

  // Calls `member` and waits for its reply; false when the call failed.
  template <typename... Args>
  bool call(sd_bus* bus, const char* destination, const char* path, const char* iface,
            const char* member, const char* types, Args... args) {
    status_ =
        sd_bus_call_method(bus, destination, path, iface, member, &error_, &reply_, types, args...);
    return ok();
  }
  // Sends the method call `message` (taking it over) and waits for its reply.
  bool send(sd_bus* bus, sd_bus_message* message) {
    status_ = sd_bus_call(bus, message, 0, &error_, &reply_);
    sd_bus_message_unref(message);
    return ok();
  }

  bool ok() const { return status_ >= 0; }
  int status() const { return status_; }
  sd_bus_message* reply() const { return reply_; }
  const sd_bus_error& error() const { return error_; }
  std::string failureText() const { return errorText(&error_, status_); }

 private:
  int status_ = 0;
  sd_bus_error error_ = SD_BUS_ERROR_NULL;
  sd_bus_message* reply_ = nullptr;
};

}  // namespace

namespace {

bool validUTF8(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t more = c < 0x80             ? 0
                             : (c & 0xe0) == 0xc0 ? 1
                             : (c & 0xf0) == 0xe0 ? 2
                             : (c & 0xf8) == 0xf0 ? 3
                                                  : 4;
    if (more == 4 || (more == 1 && c < 0xc2) || i + more >= s.size() + (more == 0 ? 1 : 0))
      return false;
    for (std::size_t k = 1; k <= more; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xc0) != 0x80) return false;
    i += more + 1;
  }
  return true;
}

bool isHostName(const std::string& s) {
  std::string name = s;
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty() || name.size() > 253) return false;
  std::size_t start = 0;
  for (;;) {
    std::size_t dot = name.find('.', start);
    const std::string label = name.substr(start, dot == std::string::npos ? dot : dot - start);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
      return false;
    for (char c : label)
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
    if (dot == std::string::npos) return true;
    start = dot + 1;
  }
}

}  // namespace

std::string nmGatewayProblem(const std::string& gateway) {
  if (gateway.empty()) return "The network service names no server.";
  in6_addr a6;
  in_addr a4;
  if (::inet_pton(AF_INET, gateway.c_str(), &a4) == 1 ||
      ::inet_pton(AF_INET6, gateway.c_str(), &a6) == 1 || isHostName(gateway))
    return {};
  return "The server address is neither a host name nor an IP address.";
}

std::string nmTextProblem(const std::string& what, const std::string& value) {
  for (char ch : value) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f)
      return platform::format("The %@ contains control characters or line breaks.", what);
  }
  if (!validUTF8(value)) return platform::format("The %@ is not valid UTF-8 text.", what);
  return {};
}

std::string nmKeyProblem(const std::string& what, const std::string& value) {
  if (value.empty()) return platform::format("The %@ is empty.", what);
  for (char ch : value) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c > 0x7e)
      return platform::format("The %@ may hold only printable characters.", what);
  }
  return {};
}

std::string nmValueProblem(const NMConnectionDriver::Profile& profile) {
  for (const auto* entries : {&profile.data, &profile.secrets}) {
    for (const auto& [key, value] : *entries) {
      std::string problem;
      if (key == "gateway" || key == "IPSec gateway" || key == "address")
        problem = nmGatewayProblem(value);
      else if (key == "ipsec-psk" || key == "IPSec secret")
        problem = nmKeyProblem("shared secret", value);
      else
        problem = nmTextProblem(key == "user" || key == "Xauth username" ? "user name"
                                : entries == &profile.secrets            ? "password"
                                                              : "setting \"" + key + "\"",
                                value);
      if (!problem.empty()) return problem;
    }
  }
  return {};
}

NMPlugin nmPPTPPlugin() {
  return {"pptp", "org.freedesktop.NetworkManager.pptp", "network-manager-pptp"};
}
NMPlugin nmL2TPPlugin() {
  return {"l2tp", "org.freedesktop.NetworkManager.l2tp", "network-manager-l2tp"};
}
NMPlugin nmIPSecPlugin() {
  return {"vpnc", "org.freedesktop.NetworkManager.vpnc", "network-manager-vpnc"};
}
NMPlugin nmIKEv2Plugin() {
  return {"strongswan", "org.freedesktop.NetworkManager.strongswan", "network-manager-strongswan"};
}

std::optional<NMPlugin> nmPluginForService(const NetworkService& service) {
  const auto& chain = service.interfaceChain;
  auto has = [&](const char* t) { return std::find(chain.begin(), chain.end(), t) != chain.end(); };
  if (has(kSCNetworkInterfaceTypePPTP)) return nmPPTPPlugin();
  if (has(kSCNetworkInterfaceTypeL2TP)) return nmL2TPPlugin();
  if (has(kSCNetworkInterfaceTypeIPSec)) return nmIPSecPlugin();
  if (has(kSCNetworkInterfaceTypeIKEv2)) return nmIKEv2Plugin();
  return std::nullopt;
}

bool nmPluginInstalled(const NMPlugin& plugin, const std::vector<std::string>& directories) {
  // What NetworkManager itself does: every "*.name" file of its plugin
  // folders is read, and the one whose service is the plugin's counts.
  const std::string wanted = "service=" + plugin.serviceType;
  for (const std::string& dir : directories) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) continue;
    bool found = false;
    while (dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".name") != 0) continue;
      std::ifstream in(dir + "/" + name);
      std::string line;
      while (!found && std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        found = line == wanted;
      }
      if (found) break;
    }
    ::closedir(d);
    if (found) return true;
  }
  return false;
}

std::string nmStateReasonText(std::uint32_t reason) {
  switch (reason) {
    case 0:
    case 1:
      return "NetworkManager gave no reason";
    case 2:
      return "disconnected by the user";
    case 3:
      return "the network device it used went away";
    case 4:
      return "the VPN service stopped";
    case 5:
      return "the server sent an unusable IP configuration";
    case 6:
      return "the connection attempt timed out";
    case 7:
      return "the VPN service did not start in time";
    case 8:
      return "the VPN service failed to start";
    case 9:
      return "no valid secrets (user name, password or shared secret)";
    case 10:
      return "the login was refused (wrong user name or password)";
    case 11:
      return "the connection profile was removed";
    case 12:
      return "a connection it depends on failed";
    case 13:
      return "the network device could not be created";
    case 14:
      return "the network device was removed";
    default:
      return platform::format("reason code %u", reason);
  }
}

std::string nmKindName(const std::string& plugin) {
  if (plugin == "pptp") return "PPTP";
  if (plugin == "l2tp") return "L2TP";
  if (plugin == "vpnc") return "IPSec";
  if (plugin == "strongswan") return "IPsec/IKEv2";
  return "VPN";
}

std::string nmPluginFailureText(std::uint32_t failure, const std::string& plugin) {
  switch (failure) {
    case 0:
      return "the server refused the login (wrong user name, password or shared secret)";
    case 1:
      if (plugin == "pptp") return "the PPTP program (pppd) could not establish the link";
      if (plugin == "l2tp") return "the L2TP and IPsec programs could not establish the link";
      if (plugin == "vpnc") return "the IPSec program (vpnc) could not establish the link";
      return "the VPN program could not establish the link";
    case 2:
      return "the server sent an unusable IP configuration";
    default:
      return platform::format("the VPN plugin failed (failure code %u)", failure);
  }
}

// ---------------------------------------------------------------------------
// The worker: the bus connection and the connections it follows, owned by
// one serial queue (the driver's calls wait for it; the bus's descriptor is
// watched on it).

class NMConnectionDriver::Worker {
 public:
  explicit Worker(const Options& options)
      : options_(options), queue_(dispatch::Queue::createSerial("platform.sysconfig.nm")) {}
  ~Worker() {
    // Going away (often at process exit): nothing more is reported, and
    // NetworkManager keeps running what it runs.
    queue_->sync([this] {
      *alive_ = false;
      tracked_.clear();
      if (bus_) dropBus({});
    });
  }

  // Runs `task` on the worker's queue and waits for it; then handles what
  // came from the bus meanwhile (a call's wait may have queued signals).
  template <typename F>
  auto run(F task) -> decltype(task()) {
    if (queue_->isCurrent()) return task();
    std::optional<decltype(task())> result;
    queue_->sync([&] {
      result.emplace(task());
      processBus();
    });
    return std::move(*result);
  }

  bool start(const NetworkConnectionPtr& connection, const NetworkService& service,
             const Profile& profile,
             const std::vector<std::pair<std::string, std::string>>& secrets,
             const NMPlugin& plugin);
  bool stop(const NetworkConnectionPtr& connection);
  void remove(const std::string& uuid);
  // Deletes every profile the record names (this run's and those an
  // earlier run left); the record keeps those that could not be deleted.
  void removeRecorded();
  void setOwner(std::string user) { owner_ = std::move(user); }

 private:
  struct Tracked {
    // Held while NetworkManager runs it, as the system holds its connections.
    NetworkConnectionPtr connection;
    std::string activePath, uuid, kind, serviceType;
    std::string pluginFailure;
    // How far the attempt got: the furthest VPN state NetworkManager
    // announced before ACTIVATED (0: none yet).
    std::uint32_t stage = 0;
    // A deactivation has begun (ours or anyone's): nothing that follows
    // is Connected any more.
    bool deactivating = false;
    // The deactivation is the one `stop` asked for.
    bool stopRequested = false;
    bool connected = false;
    bool ended = false;
  };

  // Handles every message the bus has for us (on the queue).
  void processBus();
  bool ensureBus(std::string* error);
  void dropBus(const std::string& reason);
  // Asks the bus who owns NetworkManager's name now and binds the signal
  // matches to that unique name; false when nobody does.
  bool nmOnBus();
  void bindToOwner(const std::string& owner);
  // Reads the active connection's State and VpnState back from
  // NetworkManager: true when it is activated.
  bool readBackActivated(const Tracked& t);
  // What this system lacks that the plugin's programs need ("" when
  // nothing is seen missing).
  std::string systemLack(const std::string& kind) const;
  std::string findProfile(const std::string& uuid);
  bool writeProfile(const Profile& profile,
                    const std::vector<std::pair<std::string, std::string>>& secrets,
                    const std::string& existingPath, std::string* path, std::string* error);
  void endAll(const std::string& reason);
  void end(Tracked& t, const std::string& reason);
  Tracked* trackedByPath(const char* path);
  // The profiles this driver made and has not deleted yet (session
  // profiles only): the record's UUIDs.
  std::vector<std::string> recorded() const;
  void record(const std::vector<std::string>& uuids) const;
  // Deletes our profile `uuid` (by its UUID only) and drops it from the
  // record; false when NetworkManager still has it.
  bool deleteProfile(const std::string& uuid);

  // Follows a (state, reason) signal of one of our connections.
  int followState(sd_bus_message* m, bool vpnSignal);
  static int onVpnState(sd_bus_message* m, void* self, sd_bus_error*);
  static int onActiveState(sd_bus_message* m, void* self, sd_bus_error*);
  static int onPluginFailure(sd_bus_message* m, void* self, sd_bus_error*);
  static int onNameOwner(sd_bus_message* m, void* self, sd_bus_error*);
  static int onDisconnected(sd_bus_message* m, void* self, sd_bus_error*);

  const Options& options_;
  // Owns everything below; the bus's descriptor is watched on it.
  dispatch::QueuePtr queue_;
  std::shared_ptr<dispatch::Source> busSource_;
  // False once the worker is going: a watch event still queued does nothing.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  sd_bus* bus_ = nullptr;
  std::vector<sd_bus_slot*> slots_;
  // The unique name that owns NetworkManager's name ("" when none) and
  // the matches bound to it.
  std::string nmOwner_;
  std::vector<sd_bus_slot*> ownerSlots_;
  // Owners of the names beneath NetworkManager's (its VPN plugins'), as
  // NameOwnerChanged announced them.
  std::map<std::string, std::string> pluginOwners_;
  std::vector<Tracked> tracked_;
  // The user the next profile is limited to ("": options_.ownerUser).
  std::string owner_;
};

void NMConnectionDriver::Worker::processBus() {
  if (!bus_) return;
  for (;;) {
    int r = sd_bus_process(bus_, nullptr);
    if (r < 0) {
      dropBus("The connection to the system bus was lost.");
      return;
    }
    if (!bus_) return;  // a handler dropped it
    if (r == 0) break;
  }
  if (sd_bus_get_events(bus_) & POLLOUT) sd_bus_flush(bus_);
}

bool NMConnectionDriver::Worker::ensureBus(std::string* error) {
  if (bus_) return true;
  sd_bus* bus = nullptr;
  int r;
  if (options_.busAddress.empty()) {
    r = sd_bus_open_system(&bus);
  } else {
    r = sd_bus_new(&bus);
    if (r >= 0) r = sd_bus_set_address(bus, options_.busAddress.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
    if (r >= 0) r = sd_bus_start(bus);
  }
  if (r < 0) {
    if (bus) sd_bus_unref(bus);
    *error = platform::format("The system bus is not available (%s).", std::strerror(-r));
    return false;
  }
  bus_ = bus;
  sd_bus_set_method_call_timeout(bus_, static_cast<std::uint64_t>(options_.callTimeout * 1e6));
  // The bus's descriptor is watched on this queue: what arrives is
  // handled here, one message after another.
  busSource_ = dispatch::Source::read(sd_bus_get_fd(bus_), queue_);
  busSource_->setEventHandler([this, alive = alive_] {
    if (*alive) processBus();
  });
  busSource_->resume();
  auto match = [&](const char* sender, const char* path, const char* iface, const char* member,
                   sd_bus_message_handler_t handler) {
    sd_bus_slot* slot = nullptr;
    if (sd_bus_match_signal(bus_, &slot, sender, path, iface, member, handler, this) >= 0)
      slots_.push_back(slot);
  };
  // The plugins' failures come from the plugin's own name (checked when
  // one arrives); NetworkManager's states only from its unique name (bound
  // in bindToOwner).
  match(nullptr, kNMPluginPath, kNMPluginIface, "Failure", &Worker::onPluginFailure);
  match("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged",
        &Worker::onNameOwner);
  match("org.freedesktop.DBus.Local", "/org/freedesktop/DBus/Local", "org.freedesktop.DBus.Local",
        "Disconnected", &Worker::onDisconnected);
  // The plugins already running; later ones are announced.
  BusCall names;
  std::vector<std::string> pluginNames;
  if (names.call(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                 "ListNames", "") &&
      sd_bus_message_enter_container(names.reply(), 'a', "s") >= 0) {
    const char* n = nullptr;
    const std::string prefix = std::string(kNMBusName) + ".";
    while (sd_bus_message_read(names.reply(), "s", &n) > 0 && n)
      if (std::string(n).rfind(prefix, 0) == 0) pluginNames.emplace_back(n);
  }
  for (const std::string& n : pluginNames) {
    const std::string owner = nameOwner(bus_, n.c_str());
    if (!owner.empty()) pluginOwners_[n] = owner;
  }
  return true;
}

void NMConnectionDriver::Worker::dropBus(const std::string& reason) {
  // No more watching before the descriptor closes.
  if (busSource_) busSource_->cancel();
  busSource_.reset();
  bindToOwner({});
  for (sd_bus_slot* s : slots_) sd_bus_slot_unref(s);
  slots_.clear();
  if (bus_) sd_bus_flush_close_unref(bus_);
  bus_ = nullptr;
  pluginOwners_.clear();
  endAll(reason);
}

bool NMConnectionDriver::Worker::nmOnBus() {
  const std::string owner = nameOwner(bus_, kNMBusName);
  if (owner != nmOwner_) {
    // A different NetworkManager than the one that ran our connections.
    if (!nmOwner_.empty()) endAll("NetworkManager stopped while the connection was in use.");
    bindToOwner(owner);
  }
  return !nmOwner_.empty();
}

void NMConnectionDriver::Worker::bindToOwner(const std::string& owner) {
  for (sd_bus_slot* s : ownerSlots_) sd_bus_slot_unref(s);
  ownerSlots_.clear();
  nmOwner_ = owner;
  if (owner.empty() || !bus_) return;
  auto match = [&](const char* iface, const char* member, sd_bus_message_handler_t handler) {
    sd_bus_slot* slot = nullptr;
    if (sd_bus_match_signal(bus_, &slot, owner.c_str(), nullptr, iface, member, handler, this) >= 0)
      ownerSlots_.push_back(slot);
  };
  match(kNMVpnIface, "VpnStateChanged", &Worker::onVpnState);
  match(kNMActiveIface, "StateChanged", &Worker::onActiveState);
}

std::string NMConnectionDriver::Worker::systemLack(const std::string& kind) const {
  const bool ppp = kind == "pptp" || kind == "l2tp";
  const std::string& device = ppp ? options_.pppDevice : options_.tunDevice;
  if (!ppp && kind != "vpnc") return {};
  const int fd = ::open(device.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd >= 0) {
    ::close(fd);
    return {};
  }
  return platform::format("this system cannot run %s, which %@ needs (%@: %s)",
                          ppp ? "PPP" : "tunnel devices", nmKindName(kind), device,
                          std::strerror(errno));
}

bool NMConnectionDriver::Worker::readBackActivated(const Tracked& t) {
  if (nmOwner_.empty()) return false;
  std::uint32_t state = 0, vpnState = 0;
  sd_bus_error e1 = SD_BUS_ERROR_NULL, e2 = SD_BUS_ERROR_NULL;
  const bool ok = sd_bus_get_property_trivial(bus_, nmOwner_.c_str(), t.activePath.c_str(),
                                              kNMActiveIface, "State", &e1, 'u', &state) >= 0 &&
                  sd_bus_get_property_trivial(bus_, nmOwner_.c_str(), t.activePath.c_str(),
                                              kNMVpnIface, "VpnState", &e2, 'u', &vpnState) >= 0;
  sd_bus_error_free(&e1);
  sd_bus_error_free(&e2);
  return ok && state == kActiveActivated && vpnState == kVpnActivated;
}

std::string NMConnectionDriver::Worker::findProfile(const std::string& uuid) {
  BusCall c;
  const char* path = nullptr;
  if (c.call(bus_, kNMBusName, kNMSettingsPath, kNMSettingsIface, "GetConnectionByUuid", "s",
             uuid.c_str()) &&
      sd_bus_message_read(c.reply(), "o", &path) >= 0 && path)
    return path;
  return {};
}

bool NMConnectionDriver::Worker::writeProfile(
    const Profile& profile, const std::vector<std::pair<std::string, std::string>>& secrets,
    const std::string& existingPath, std::string* path, std::string* error) {
  sd_bus_message* m = nullptr;
  // A session's profile lives in NetworkManager's memory only (with its
  // secrets: in /run, a RAM file system, root-only) and is never written to
  // its folder on disk; nor is it ever brought up by NetworkManager itself.
  const bool session = options_.sessionProfiles;
  int r =
      existingPath.empty()
          ? sd_bus_message_new_method_call(bus_, &m, kNMBusName, kNMSettingsPath, kNMSettingsIface,
                                           session ? "AddConnection2" : "AddConnection")
          : sd_bus_message_new_method_call(bus_, &m, kNMBusName, existingPath.c_str(),
                                           kNMConnectionIface, "Update");
  auto dict = [&](const std::vector<std::pair<std::string, std::string>>& entries) {
    if (r >= 0) r = sd_bus_message_open_container(m, 'v', "a{ss}");
    if (r >= 0) r = sd_bus_message_open_container(m, 'a', "{ss}");
    for (const auto& [k, v] : entries)
      if (r >= 0) r = sd_bus_message_append(m, "{ss}", k.c_str(), v.c_str());
    if (r >= 0) r = sd_bus_message_close_container(m);
    if (r >= 0) r = sd_bus_message_close_container(m);
  };
  if (r >= 0) r = sd_bus_message_open_container(m, 'a', "{sa{sv}}");
  // connection
  if (r >= 0) r = sd_bus_message_open_container(m, 'e', "sa{sv}");
  if (r >= 0) r = sd_bus_message_append(m, "s", "connection");
  if (r >= 0) r = sd_bus_message_open_container(m, 'a', "{sv}");
  if (r >= 0) r = sd_bus_message_append(m, "{sv}", "id", "s", profile.id.c_str());
  if (r >= 0) r = sd_bus_message_append(m, "{sv}", "uuid", "s", profile.uuid.c_str());
  if (r >= 0) r = sd_bus_message_append(m, "{sv}", "type", "s", "vpn");
  if (r >= 0) r = sd_bus_message_append(m, "{sv}", "autoconnect", "b", 0);
  const std::string& user = owner_.empty() ? options_.ownerUser : owner_;
  if (r >= 0 && !user.empty()) {
    const std::string owner = "user:" + user + ":";
    r = sd_bus_message_append(m, "{sv}", "permissions", "as", 1, owner.c_str());
  }
  if (r >= 0) r = sd_bus_message_close_container(m);
  if (r >= 0) r = sd_bus_message_close_container(m);
  // vpn
  if (r >= 0) r = sd_bus_message_open_container(m, 'e', "sa{sv}");
  if (r >= 0) r = sd_bus_message_append(m, "s", "vpn");
  if (r >= 0) r = sd_bus_message_open_container(m, 'a', "{sv}");
  if (r >= 0)
    r = sd_bus_message_append(m, "{sv}", "service-type", "s", profile.serviceType.c_str());
  if (r >= 0) r = sd_bus_message_open_container(m, 'e', "sv");
  if (r >= 0) r = sd_bus_message_append(m, "s", "data");
  dict(profile.data);
  if (r >= 0) r = sd_bus_message_close_container(m);
  if (r >= 0) r = sd_bus_message_open_container(m, 'e', "sv");
  if (r >= 0) r = sd_bus_message_append(m, "s", "secrets");
  dict(secrets);
  if (r >= 0) r = sd_bus_message_close_container(m);
  if (r >= 0) r = sd_bus_message_close_container(m);
  if (r >= 0) r = sd_bus_message_close_container(m);
  // ipv4, ipv6: addresses from the server
  for (const char* ip : {"ipv4", "ipv6"}) {
    if (r >= 0) r = sd_bus_message_open_container(m, 'e', "sa{sv}");
    if (r >= 0) r = sd_bus_message_append(m, "s", ip);
    if (r >= 0) r = sd_bus_message_open_container(m, 'a', "{sv}");
    if (r >= 0) r = sd_bus_message_append(m, "{sv}", "method", "s", "auto");
    if (r >= 0) r = sd_bus_message_close_container(m);
    if (r >= 0) r = sd_bus_message_close_container(m);
  }
  if (r >= 0) r = sd_bus_message_close_container(m);
  if (r >= 0 && session && existingPath.empty()) {
    // NM_SETTINGS_ADD_CONNECTION2_FLAG_IN_MEMORY | ..._BLOCK_AUTOCONNECT;
    // no further arguments.
    r = sd_bus_message_append(m, "u", static_cast<std::uint32_t>(0x2 | 0x20));
    if (r >= 0) r = sd_bus_message_open_container(m, 'a', "{sv}");
    if (r >= 0) r = sd_bus_message_close_container(m);
  }
  if (r < 0) {
    sd_bus_message_unref(m);
    *error = platform::format("The connection profile could not be built (%s).", std::strerror(-r));
    return false;
  }
  BusCall c;
  if (!c.send(bus_, m)) {
    *error = platform::format("NetworkManager refused the connection profile: %@", c.failureText());
    return false;
  }
  const char* p = nullptr;
  if (existingPath.empty()) {
    if (sd_bus_message_read(c.reply(), "o", &p) >= 0 && p) *path = p;
  } else {
    *path = existingPath;
  }
  return !path->empty();
}

bool NMConnectionDriver::Worker::start(
    const NetworkConnectionPtr& connection, const NetworkService& /*service*/,
    const Profile& profile, const std::vector<std::pair<std::string, std::string>>& secrets,
    const NMPlugin& plugin) {
  std::string error;
  if (!ensureBus(&error) || !nmOnBus()) {
    // The plugin is installed (start checked it), and NetworkManager with
    // it: what is missing is the running service.
    connection->setFailureReason(platform::format(
        "NetworkManager is not running. %@ connections need it: start NetworkManager (for "
        "example with \"systemctl start NetworkManager\").",
        nmKindName(plugin.name)));
    return false;
  }
  std::string profilePath = findProfile(profile.uuid);
  if (options_.sessionProfiles) {
    // Recorded before NetworkManager has it, so that a crash right after
    // still leaves its UUID for the next run to delete.
    std::vector<std::string> uuids = recorded();
    if (std::find(uuids.begin(), uuids.end(), profile.uuid) == uuids.end()) {
      uuids.push_back(profile.uuid);
      record(uuids);
    }
    // One made earlier for the same service is replaced whole (in memory).
    if (!profilePath.empty()) {
      BusCall().call(bus_, kNMBusName, profilePath.c_str(), kNMConnectionIface, "Delete", "");
      profilePath.clear();
    }
  }
  if (!writeProfile(profile, secrets, profilePath, &profilePath, &error)) {
    connection->setFailureReason(error);
    if (options_.sessionProfiles) deleteProfile(profile.uuid);
    return false;
  }
  // Only one activation per connection object: forget a previous one.
  for (Tracked& t : tracked_) {
    if (t.connection == connection) {
      t.ended = true;
      t.connection.reset();
    }
  }
  BusCall c;
  const char* active = nullptr;
  int r = c.call(bus_, kNMBusName, kNMPath, kNMBusName, "ActivateConnection", "ooo",
                 profilePath.c_str(), "/", "/")
              ? sd_bus_message_read(c.reply(), "o", &active)
              : c.status();
  if (r < 0 || !active) {
    connection->setFailureReason(platform::format(
        "NetworkManager could not start the connection: %@", errorText(&c.error(), r)));
    if (options_.sessionProfiles) deleteProfile(profile.uuid);
    return false;
  }
  Tracked t;
  t.connection = connection;
  t.activePath = active;
  t.uuid = profile.uuid;
  t.kind = plugin.name;
  t.serviceType = plugin.serviceType;
  tracked_.erase(
      std::remove_if(tracked_.begin(), tracked_.end(), [](const Tracked& x) { return x.ended; }),
      tracked_.end());
  tracked_.push_back(std::move(t));
  connection->setFailureReason({});
  connection->reportStatus(ConnectionStatus::Connecting);
  return true;
}

bool NMConnectionDriver::Worker::stop(const NetworkConnectionPtr& connection) {
  Tracked* found = nullptr;
  for (Tracked& t : tracked_)
    if (!t.ended && t.connection == connection) found = &t;
  if (!found) return true;  // nothing of ours runs for it
  if (!bus_) {
    end(*found, "The connection to the system bus was lost.");
    return true;
  }
  // From here on nothing of this attempt is Connected, whatever arrives
  // (NetworkManager reports VPN ACTIVATED while it cancels a connect).
  found->deactivating = true;
  found->stopRequested = true;
  BusCall call;
  bool ok = call.call(bus_, kNMBusName, kNMPath, kNMBusName, "DeactivateConnection", "o",
                      found->activePath.c_str());
  if (!ok) {
    const sd_bus_error& e = call.error();
    const std::string name = sd_bus_error_is_set(&e) && e.name ? e.name : "";
    // Already gone: the stop has happened.
    if (name.find("ConnectionNotActive") != std::string::npos ||
        name.find("UnknownObject") != std::string::npos ||
        name.find("UnknownMethod") != std::string::npos || !nmOnBus()) {
      end(*found, "");
      ok = true;
    }
  } else if (auto c = found->connection) {
    c->reportStatus(ConnectionStatus::Disconnecting);
  }
  return ok;
}

void NMConnectionDriver::Worker::remove(const std::string& uuid) {
  // Only the profile of this service, by its UUID: a profile of the same
  // name may be anyone's (another session's, the administrator's).
  std::string error;
  if (uuid.empty() || !ensureBus(&error) || !nmOnBus()) return;
  deleteProfile(uuid);
}

std::vector<std::string> NMConnectionDriver::Worker::recorded() const {
  std::vector<std::string> uuids;
  if (options_.sessionRecord.empty()) return uuids;
  const std::string text = platform::files::readFile(options_.sessionRecord).value_or("");
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    if (isUUID(line)) uuids.push_back(lower(line));
    start = end + 1;
  }
  return uuids;
}

void NMConnectionDriver::Worker::record(const std::vector<std::string>& uuids) const {
  if (options_.sessionRecord.empty()) return;
  if (uuids.empty()) {
    ::unlink(options_.sessionRecord.c_str());
    return;
  }
  std::string text;
  for (const std::string& u : uuids) text += u + "\n";
  platform::files::writeFileAtomically(options_.sessionRecord, text, 0600);
}

bool NMConnectionDriver::Worker::deleteProfile(const std::string& uuid) {
  // Gone only when NetworkManager says it has no such profile: one that
  // is not on the bus (restarting) may still hold it.
  auto lookup = [&](std::string* path) {
    BusCall c;
    const char* p = nullptr;
    if (c.call(bus_, kNMBusName, kNMSettingsPath, kNMSettingsIface, "GetConnectionByUuid", "s",
               uuid.c_str()) &&
        sd_bus_message_read(c.reply(), "o", &p) >= 0 && p) {
      *path = p;
      return true;
    }
    const sd_bus_error& e = c.error();
    return sd_bus_error_is_set(&e) && e.name &&
           std::string(e.name).find("InvalidConnection") != std::string::npos;
  };
  std::string path;
  if (!lookup(&path)) return false;
  bool gone = path.empty();
  if (!gone) {
    BusCall().call(bus_, kNMBusName, path.c_str(), kNMConnectionIface, "Delete", "");
    path.clear();
    gone = lookup(&path) && path.empty();
  }
  if (gone) {
    std::vector<std::string> uuids = recorded();
    std::erase(uuids, uuid);
    record(uuids);
  }
  return gone;
}

void NMConnectionDriver::Worker::removeRecorded() {
  const std::vector<std::string> uuids = recorded();
  if (uuids.empty()) return;
  std::string error;
  // Without NetworkManager the record stays for the next run.
  if (!ensureBus(&error) || !nmOnBus()) return;
  for (const std::string& uuid : uuids) deleteProfile(uuid);
}

NMConnectionDriver::Worker::Tracked* NMConnectionDriver::Worker::trackedByPath(const char* path) {
  if (!path) return nullptr;
  for (Tracked& t : tracked_)
    if (!t.ended && t.activePath == path) return &t;
  return nullptr;
}

void NMConnectionDriver::Worker::end(Tracked& t, const std::string& reason) {
  if (t.ended) return;
  t.ended = true;
  // A session's profile ends with its attempt (when NetworkManager is
  // there to delete it; else the record keeps it for later).
  if (options_.sessionProfiles && bus_ && !nmOwner_.empty()) deleteProfile(t.uuid);
  NetworkConnectionPtr c = std::move(t.connection);
  t.connection.reset();
  if (c) {
    c->setFailureReason(reason);
    c->reportStatus(ConnectionStatus::Disconnected);
  }
}

void NMConnectionDriver::Worker::endAll(const std::string& reason) {
  for (Tracked& t : tracked_) end(t, reason);
  tracked_.clear();
}

namespace {

// The end of an attempt in words. NetworkManager gives numbers only (its
// reason, and the plugin's failure code); the plugins' own texts (pppd's
// "Couldn't open the /dev/ppp device", nm-l2tp's "Could not establish IPsec
// connection.") go to NetworkManager's log and never to the bus. So: the
// plugin's failure, else how far the attempt got, with NetworkManager's
// reason beside it, and what this system lacks for the type. Never just "no
// reason".
std::string endReason(std::uint32_t reason, const std::string& pluginFailure,
                      const std::string& kind, std::uint32_t stage, bool connected,
                      const std::string& systemLack) {
  const std::string name = nmKindName(kind);
  // A plugin that quits after the link was up says it "could not connect":
  // what happened is that the link was lost.
  std::string what = connected ? std::string() : pluginFailure;
  if (what.empty()) {
    if (connected)
      what = platform::format("the %@ connection was lost", name);
    else if (stage == kVpnIPConfigGet)
      what = platform::format(
          "the %@ connection to the server was made, but its IP configuration did not arrive",
          name);
    else if (stage == kVpnConnect)
      what = platform::format("the %@ connection to the server could not be established", name);
    else
      what = platform::format("the %@ connection could not be started", name);
  }
  // Reasons that only say the plugin went away stand beside what happened;
  // the others say more than it.
  const bool serviceReason = reason == 4 || reason == 7 || reason == 8;
  std::string text;
  if (reason <= 1) {
    text = what;
    if (pluginFailure.empty() && systemLack.empty())
      text += "; NetworkManager gave no reason (its log holds the VPN program's own messages)";
  } else if (serviceReason || !pluginFailure.empty()) {
    text = what + " (" + nmStateReasonText(reason) + ")";
  } else {
    text = nmStateReasonText(reason);
  }
  if (!systemLack.empty()) text += "; " + systemLack;
  return text;
}

// What a state of a VPN connection, and of an active connection, means for
// ours (Disconnected: it has ended); nullopt for states that change nothing.
std::optional<ConnectionStatus> vpnStateStatus(std::uint32_t state) {
  switch (state) {
    case kVpnPrepare:
    case kVpnNeedAuth:
    case kVpnConnect:
    case kVpnIPConfigGet:
      return ConnectionStatus::Connecting;
    case kVpnActivated:
      return ConnectionStatus::Connected;
    case kVpnFailed:
    case kVpnDisconnected:
      return ConnectionStatus::Disconnected;
    default:
      return std::nullopt;
  }
}

std::optional<ConnectionStatus> activeStateStatus(std::uint32_t state) {
  switch (state) {
    case kActiveActivating:
      return ConnectionStatus::Connecting;
    case kActiveActivated:
      return ConnectionStatus::Connected;
    case kActiveDeactivating:
      return ConnectionStatus::Disconnecting;
    case kActiveDeactivated:
      return ConnectionStatus::Disconnected;
    default:
      return std::nullopt;
  }
}

}  // namespace

int NMConnectionDriver::Worker::followState(sd_bus_message* m, bool vpnSignal) {
  // Only NetworkManager itself speaks for its connections: anybody on the
  // system bus may send a signal of this name to this path.
  if (!sentBy(m, nmOwner_)) return 0;
  Tracked* t = trackedByPath(sd_bus_message_get_path(m));
  std::uint32_t state = 0, reason = 0;
  if (!t || sd_bus_message_read(m, "uu", &state, &reason) < 0) return 0;
  auto c = t->connection;
  if (!c) return 0;
  if (!vpnSignal && state == kActiveDeactivating) t->deactivating = true;
  if (vpnSignal && state >= kVpnPrepare && state <= kVpnIPConfigGet)
    t->stage = std::max(t->stage, state);
  const std::optional<ConnectionStatus> status =
      vpnSignal ? vpnStateStatus(state) : activeStateStatus(state);
  if (!status) return 0;
  switch (*status) {
    case ConnectionStatus::Disconnected: {
      std::string why;
      if (reason == kReasonUserDisconnected) {
        // The user's own stop is no failure; one from elsewhere is said.
        if (!t->stopRequested) why = "it was disconnected outside VarnelVPN";
      } else {
        why = endReason(reason, t->pluginFailure, t->kind, t->stage, t->connected,
                        t->connected ? std::string() : systemLack(t->kind));
      }
      end(*t, why);
      break;
    }
    case ConnectionStatus::Connected:
      // ACTIVATED counts only while no deactivation is under way, not with
      // a disconnect reason, and only when NetworkManager's properties
      // say so too.
      if (t->deactivating || reason == kReasonUserDisconnected || t->connected) break;
      if (!readBackActivated(*t)) break;
      t->connected = true;
      c->setFailureReason({});
      c->reportStatus(ConnectionStatus::Connected);
      break;
    case ConnectionStatus::Disconnecting:
      c->reportStatus(ConnectionStatus::Disconnecting);
      break;
    default:
      // Connecting: not after the attempt reached Connected or began to end.
      if (!t->deactivating && !t->connected) c->reportStatus(*status);
      break;
  }
  return 0;
}

int NMConnectionDriver::Worker::onVpnState(sd_bus_message* m, void* self, sd_bus_error*) {
  return static_cast<Worker*>(self)->followState(m, true);
}

int NMConnectionDriver::Worker::onActiveState(sd_bus_message* m, void* self, sd_bus_error*) {
  return static_cast<Worker*>(self)->followState(m, false);
}

int NMConnectionDriver::Worker::onPluginFailure(sd_bus_message* m, void* self, sd_bus_error*) {
  auto* w = static_cast<Worker*>(self);
  std::uint32_t failure = 0;
  if (sd_bus_message_read(m, "u", &failure) < 0) return 0;
  // The plugin's signal names no connection; it belongs to the attempt of
  // that plugin that is still running (one VPN of a kind at a time), and
  // counts only when it comes from the process that owns the plugin's name.
  std::map<std::string, bool> fromPlugin;
  for (Tracked& t : w->tracked_) {
    if (t.ended || !t.pluginFailure.empty()) continue;
    auto known = fromPlugin.find(t.serviceType);
    if (known == fromPlugin.end())
      known =
          fromPlugin.emplace(t.serviceType, sentByPlugin(m, t.serviceType, w->pluginOwners_)).first;
    if (known->second) t.pluginFailure = nmPluginFailureText(failure, t.kind);
  }
  return 0;
}

int NMConnectionDriver::Worker::onNameOwner(sd_bus_message* m, void* self, sd_bus_error*) {
  auto* w = static_cast<Worker*>(self);
  if (!sentBy(m, "org.freedesktop.DBus")) return 0;
  const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
  if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0 || !name) return 0;
  const std::string owner = newOwner ? newOwner : "";
  if (std::string(name).rfind(std::string(kNMBusName) + ".", 0) == 0) {
    if (owner.empty())
      w->pluginOwners_.erase(name);
    else
      w->pluginOwners_[name] = owner;
    return 0;
  }
  if (std::string(name) != kNMBusName) return 0;
  if (owner == w->nmOwner_) return 0;
  // The NetworkManager that ran our connections has gone (a new one knows
  // nothing of them); the matches follow the name to its new owner.
  if (!w->nmOwner_.empty()) w->endAll("NetworkManager stopped while the connection was in use.");
  w->bindToOwner(owner);
  return 0;
}

int NMConnectionDriver::Worker::onDisconnected(sd_bus_message*, void* self, sd_bus_error*) {
  static_cast<Worker*>(self)->endAll("The connection to the system bus was lost.");
  return 0;
}

// ---------------------------------------------------------------------------

std::shared_ptr<NMConnectionDriver> NMConnectionDriver::create(Options options) {
  return std::shared_ptr<NMConnectionDriver>(new NMConnectionDriver(std::move(options)));
}

NMConnectionDriver::NMConnectionDriver(Options options) : options_(std::move(options)) {
  if (!options_.secretLookup) {
    options_.secretLookup = [](const std::string& reference) -> std::optional<std::string> {
      SystemKeychain keychain;
      KeychainQuery query;
      query.service = reference;
      std::vector<KeychainItem> items;
      if (reference.empty() || keychain.find(query, &items) != keychain::kSuccess || items.empty())
        return std::nullopt;
      return std::string(items.front().secret.begin(), items.front().secret.end());
    };
  }
  worker_ = std::make_unique<Worker>(options_);
}

NMConnectionDriver::~NMConnectionDriver() = default;

std::optional<NMConnectionDriver::Profile> NMConnectionDriver::profileFor(
    const NetworkService& service, std::string* error) const {
  return nmProfileFor(service, options_.secretLookup, error);
}

std::optional<NMConnectionDriver::Profile> nmProfileFor(
    const NetworkService& service,
    const std::function<std::optional<std::string>(const std::string& reference)>& secretLookup,
    std::string* error) {
  using Profile = NMConnectionDriver::Profile;
  std::optional<NMPlugin> plugin = nmPluginForService(service);
  if (!plugin) {
    *error = "The network service has no VPN type that NetworkManager serves.";
    return std::nullopt;
  }
  Profile p;
  p.id = service.name.empty() ? service.serviceID : service.name;
  p.uuid = isUUID(service.serviceID) ? lower(service.serviceID) : std::string();
  p.serviceType = plugin->serviceType;
  auto secret = [&](const std::string& reference, const char* what) -> std::optional<std::string> {
    std::optional<std::string> s =
        secretLookup ? secretLookup(reference) : std::optional<std::string>();
    if (!s) *error = platform::format("The %s of the network service is missing.", what);
    return s;
  };
  if (plugin->name == "pptp" || plugin->name == "l2tp") {
    Value ppp = service.interfaceConfiguration(kSCNetworkInterfaceTypePPP);
    const std::string server = text(ppp[kSCPropNetPPPCommRemoteAddress]);
    if (server.empty()) {
      *error = "The network service names no server.";
      return std::nullopt;
    }
    p.data = {{"gateway", server},
              {"user", text(ppp[kSCPropNetPPPAuthName])},
              {"password-flags", "0"},
              {"lcp-echo-failure", kNMLCPEchoFailure},
              {"lcp-echo-interval", kNMLCPEchoInterval}};
    std::optional<std::string> password = secret(text(ppp[kSCPropNetPPPAuthPassword]), "password");
    if (!password) return std::nullopt;
    p.secrets = {{"password", *password}};
    if (plugin->name == "pptp") {
      p.data.emplace_back("require-mppe", "yes");
    } else {
      Value ipsec = service.extendedConfiguration(kSCNetworkInterfaceTypePPP, kSCEntNetIPSec);
      std::optional<std::string> psk =
          secret(text(ipsec[kSCPropNetIPSecSharedSecret]), "shared secret");
      if (!psk) return std::nullopt;
      p.data.emplace_back("ipsec-enabled", "yes");
      p.data.emplace_back("ipsec-psk-flags", "0");
      p.secrets.emplace_back("ipsec-psk", *psk);
    }
  } else if (plugin->name == "strongswan") {
    // IKEv2 with a pre-shared key, in strongSwan's keys.
    Value ike = service.interfaceConfiguration(kSCNetworkInterfaceTypeIKEv2);
    const std::string server = text(ike[kSCPropNetIPSecRemoteAddress]);
    if (server.empty()) {
      *error = "The network service names no server.";
      return std::nullopt;
    }
    std::optional<std::string> psk =
        secret(text(ike[kSCPropNetIPSecSharedSecret]), "shared secret");
    if (!psk) return std::nullopt;
    p.data = {{"address", server}, {"method", "psk"},  {"virtual", "yes"},     {"encap", "no"},
              {"ipcomp", "no"},    {"proposal", "no"}, {"password-flags", "0"}};
    const std::string local = text(ike["LocalIdentifier"]);
    if (!local.empty()) p.data.emplace_back("local-identity", local);
    const std::string remote = text(ike["RemoteIdentifier"]);
    if (!remote.empty()) p.data.emplace_back("remote-identity", remote);
    p.secrets = {{"password", *psk}};
  } else {
    // IKEv1 with the group's pre-shared key and XAuth, in vpnc's keys (its
    // NetworkManager plugin reads these names).
    Value ipsec = service.interfaceConfiguration(kSCNetworkInterfaceTypeIPSec);
    const std::string server = text(ipsec[kSCPropNetIPSecRemoteAddress]);
    if (server.empty()) {
      *error = "The network service names no server.";
      return std::nullopt;
    }
    std::optional<std::string> psk =
        secret(text(ipsec[kSCPropNetIPSecSharedSecret]), "shared secret");
    if (!psk) return std::nullopt;
    // The group's name: the local identifier when the service has one.
    std::string group = text(ipsec["LocalIdentifier"]);
    if (group.empty()) group = kNMIPSecDefaultGroup;
    p.data = {{"IPSec gateway", server},
              {"IPSec ID", group},
              {"IPSec secret-flags", "0"},
              {"NAT Traversal Mode", "natt"},
              {"DPD idle timeout (our side)", kNMDPDIdleSeconds}};
    p.secrets = {{"IPSec secret", *psk}};
    const bool xauth = ipsec[kSCPropNetIPSecXAuthEnabled].isNumber()
                           ? ipsec[kSCPropNetIPSecXAuthEnabled].asInt64() != 0
                           : !text(ipsec[kSCPropNetIPSecXAuthName]).empty();
    if (xauth) {
      std::optional<std::string> password =
          secret(text(ipsec[kSCPropNetIPSecXAuthPassword]), "XAuth password");
      if (!password) return std::nullopt;
      p.data.emplace_back("Xauth username", text(ipsec[kSCPropNetIPSecXAuthName]));
      p.data.emplace_back("Xauth password-flags", "0");
      p.secrets.emplace_back("Xauth password", *password);
    }
  }
  std::string problem = nmValueProblem(p);
  if (!problem.empty()) {
    *error = problem;
    return std::nullopt;
  }
  return p;
}

bool NMConnectionDriver::start(const NetworkConnectionPtr& connection,
                               const NetworkService& service) {
  std::optional<NMPlugin> plugin = nmPluginForService(service);
  if (!plugin) {
    connection->setFailureReason("The network service has no VPN type that NetworkManager serves.");
    return false;
  }
  if (!nmPluginInstalled(*plugin, options_.pluginDirectories)) {
    connection->setFailureReason(platform::format(
        "The NetworkManager VPN plugin for %@ is not installed: install the Debian package "
        "\"%@\".",
        nmKindName(plugin->name), plugin->package));
    return false;
  }
  std::string error;
  std::optional<Profile> profile = profileFor(service, &error);
  if (profile && profile->uuid.empty()) {
    error = "The network service has no usable identifier.";
    profile.reset();
  }
  if (!profile) {
    connection->setFailureReason(error);
    return false;
  }
  auto secrets = std::move(profile->secrets);
  profile->secrets.clear();
  const NMPlugin p = *plugin;
  return worker_->run([&] { return worker_->start(connection, service, *profile, secrets, p); });
}

bool NMConnectionDriver::stop(const NetworkConnectionPtr& connection, bool /*force*/) {
  return worker_->run([&] { return worker_->stop(connection); });
}

void NMConnectionDriver::removeService(const std::string& serviceID, const std::string& /*name*/) {
  const std::string uuid = lower(serviceID);
  worker_->run([&] {
    worker_->remove(uuid);
    return true;
  });
}

void NMConnectionDriver::setProfileOwner(const std::string& user) {
  worker_->run([&] {
    worker_->setOwner(user);
    return true;
  });
}

void NMConnectionDriver::removeLeftovers() {
  worker_->run([&] {
    worker_->removeRecorded();
    return true;
  });
}

}  // namespace platform::sysconfig
