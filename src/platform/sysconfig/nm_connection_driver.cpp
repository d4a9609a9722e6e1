#include "platform/sysconfig/nm_connection_driver.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <thread>

#include "platform/dispatch/thread_crash_info.h"
#include "platform/foundation/format.h"
#include "platform/sysconfig/system_keychain.h"

namespace platform::sysconfig {

namespace {

constexpr const char* kNMPath = "/org/freedesktop/NetworkManager";
constexpr const char* kNMSettingsPath = "/org/freedesktop/NetworkManager/Settings";
constexpr const char* kNMSettingsIface = "org.freedesktop.NetworkManager.Settings";
constexpr const char* kNMConnectionIface = "org.freedesktop.NetworkManager.Settings.Connection";
constexpr const char* kNMActiveIface = "org.freedesktop.NetworkManager.Connection.Active";
constexpr const char* kNMVpnIface = "org.freedesktop.NetworkManager.VPN.Connection";
constexpr const char* kNMPluginIface = "org.freedesktop.NetworkManager.VPN.Plugin";

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

std::optional<NMPlugin> nmPluginForService(const NetworkService& service) {
  const auto& chain = service.interfaceChain;
  auto has = [&](const char* t) { return std::find(chain.begin(), chain.end(), t) != chain.end(); };
  if (has(kSCNetworkInterfaceTypePPTP))
    return NMPlugin{"pptp", "org.freedesktop.NetworkManager.pptp", "network-manager-pptp"};
  if (has(kSCNetworkInterfaceTypeL2TP))
    return NMPlugin{"l2tp", "org.freedesktop.NetworkManager.l2tp", "network-manager-l2tp"};
  if (has(kSCNetworkInterfaceTypeIPSec))
    return NMPlugin{"strongswan", "org.freedesktop.NetworkManager.strongswan",
                    "network-manager-strongswan"};
  return std::nullopt;
}

std::string nmStateReasonText(std::uint32_t reason) {
  switch (reason) {
    case 0:
      return "unknown reason";
    case 1:
      return "no reason given";
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

std::string nmPluginFailureText(std::uint32_t failure) {
  switch (failure) {
    case 0:
      return "the login failed";
    case 1:
      return "the VPN program could not establish the link";
    case 2:
      return "the server sent an unusable IP configuration";
    default:
      return platform::format("failure code %u", failure);
  }
}

// ---------------------------------------------------------------------------
// The worker: one thread that owns the sd-bus connection.

class NMConnectionDriver::Worker {
 public:
  explicit Worker(const Options& options) : options_(options) {
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] {
      dispatch::ensureAlternateSignalStack();  // a crash here is recorded too
      loop();
    });
  }
  ~Worker() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    wakeUp();
    thread_.join();
    if (wake_ >= 0) ::close(wake_);
  }

  // Runs `task` on the worker and waits for it.
  template <typename F>
  auto run(F task) -> decltype(task()) {
    using R = decltype(task());
    if (std::this_thread::get_id() == thread_.get_id()) return task();
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::optional<R> result;
    post([&] {
      R r = task();
      std::lock_guard<std::mutex> lock(m);
      result = std::move(r);
      done = true;
      cv.notify_one();
    });
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return done; });
    return std::move(*result);
  }

  bool start(const NetworkConnectionPtr& connection, const NetworkService& service,
             const Profile& profile,
             const std::vector<std::pair<std::string, std::string>>& secrets,
             const NMPlugin& plugin);
  bool stop(const NetworkConnectionPtr& connection);
  void remove(const std::string& uuid, const std::string& name);

 private:
  struct Tracked {
    // Held while NetworkManager runs it, as the system holds its connections.
    NetworkConnectionPtr connection;
    std::string activePath, uuid, kind;
    std::string pluginFailure;
    bool ended = false;
  };

  void post(std::function<void()> task) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    wakeUp();
  }
  void wakeUp() {
    std::uint64_t one = 1;
    if (wake_ >= 0) (void)!::write(wake_, &one, sizeof one);
  }
  void loop();
  bool ensureBus(std::string* error);
  void dropBus(const std::string& reason);
  bool nmOnBus();
  std::string findProfile(const std::string& uuid);
  std::vector<std::string> profilesNamed(const std::string& name);
  bool writeProfile(const Profile& profile,
                    const std::vector<std::pair<std::string, std::string>>& secrets,
                    const std::string& existingPath, std::string* path, std::string* error);
  void endAll(const std::string& reason);
  void end(Tracked& t, const std::string& reason);
  Tracked* trackedByPath(const char* path);

  // Follows a (state, reason) signal of one of our connections.
  int followState(sd_bus_message* m, std::optional<ConnectionStatus> (*statusOf)(std::uint32_t));
  static int onVpnState(sd_bus_message* m, void* self, sd_bus_error*);
  static int onActiveState(sd_bus_message* m, void* self, sd_bus_error*);
  static int onPluginFailure(sd_bus_message* m, void* self, sd_bus_error*);
  static int onNameOwner(sd_bus_message* m, void* self, sd_bus_error*);
  static int onDisconnected(sd_bus_message* m, void* self, sd_bus_error*);

  const Options& options_;
  std::thread thread_;
  int wake_ = -1;
  std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;
  bool quit_ = false;
  // Worker thread only:
  sd_bus* bus_ = nullptr;
  std::vector<sd_bus_slot*> slots_;
  std::vector<Tracked> tracked_;
};

void NMConnectionDriver::Worker::loop() {
  for (;;) {
    std::deque<std::function<void()>> tasks;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (quit_) break;
      tasks.swap(tasks_);
    }
    for (auto& t : tasks) t();
    if (bus_) {
      for (;;) {
        int r = sd_bus_process(bus_, nullptr);
        if (r < 0) {
          dropBus("The connection to the system bus was lost.");
          break;
        }
        if (r == 0) break;
      }
    }
    pollfd fds[2] = {{wake_, POLLIN, 0}, {-1, 0, 0}};
    int timeoutMs = -1;
    if (bus_) {
      fds[1].fd = sd_bus_get_fd(bus_);
      fds[1].events = static_cast<short>(sd_bus_get_events(bus_));
      std::uint64_t until = 0;
      if (sd_bus_get_timeout(bus_, &until) >= 0 && until != UINT64_MAX) {
        timespec now;
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        std::uint64_t nowUs = static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
                              static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
        timeoutMs =
            until <= nowUs
                ? 0
                : static_cast<int>(std::min<std::uint64_t>((until - nowUs + 999) / 1000, 60000));
      }
    }
    ::poll(fds, bus_ ? 2 : 1, timeoutMs);
    std::uint64_t count;
    while (::read(wake_, &count, sizeof count) > 0) {
    }
  }
  // Going away (often at process exit): nothing more is reported, and
  // NetworkManager keeps running what it runs.
  tracked_.clear();
  if (bus_) dropBus({});
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
  auto match = [&](const char* sender, const char* path, const char* iface, const char* member,
                   sd_bus_message_handler_t handler) {
    sd_bus_slot* slot = nullptr;
    if (sd_bus_match_signal(bus_, &slot, sender, path, iface, member, handler, this) >= 0)
      slots_.push_back(slot);
  };
  match(nullptr, nullptr, kNMVpnIface, "VpnStateChanged", &Worker::onVpnState);
  match(nullptr, nullptr, kNMActiveIface, "StateChanged", &Worker::onActiveState);
  match(nullptr, nullptr, kNMPluginIface, "Failure", &Worker::onPluginFailure);
  match("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged",
        &Worker::onNameOwner);
  match("org.freedesktop.DBus.Local", "/org/freedesktop/DBus/Local", "org.freedesktop.DBus.Local",
        "Disconnected", &Worker::onDisconnected);
  return true;
}

void NMConnectionDriver::Worker::dropBus(const std::string& reason) {
  for (sd_bus_slot* s : slots_) sd_bus_slot_unref(s);
  slots_.clear();
  if (bus_) sd_bus_flush_close_unref(bus_);
  bus_ = nullptr;
  endAll(reason);
}

bool NMConnectionDriver::Worker::nmOnBus() {
  BusCall c;
  int has = 0;
  return c.call(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                "NameHasOwner", "s", kNMBusName) &&
         sd_bus_message_read(c.reply(), "b", &has) >= 0 && has;
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

// The profiles of type vpn whose name is `name`.
std::vector<std::string> NMConnectionDriver::Worker::profilesNamed(const std::string& name) {
  std::vector<std::string> paths, found;
  {
    BusCall list;
    if (list.call(bus_, kNMBusName, kNMSettingsPath, kNMSettingsIface, "ListConnections", "") &&
        sd_bus_message_enter_container(list.reply(), 'a', "o") >= 0) {
      const char* p = nullptr;
      while (sd_bus_message_read(list.reply(), "o", &p) > 0) paths.emplace_back(p);
    }
  }
  for (const std::string& path : paths) {
    BusCall settings;
    std::string id, type;
    sd_bus_message* m =
        settings.call(bus_, kNMBusName, path.c_str(), kNMConnectionIface, "GetSettings", "")
            ? settings.reply()
            : nullptr;
    if (m && sd_bus_message_enter_container(m, 'a', "{sa{sv}}") >= 0) {
      while (sd_bus_message_enter_container(m, 'e', "sa{sv}") > 0) {
        const char* setting = nullptr;
        sd_bus_message_read(m, "s", &setting);
        const bool isConnection = setting && std::string(setting) == "connection";
        sd_bus_message_enter_container(m, 'a', "{sv}");
        while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
          const char* key = nullptr;
          sd_bus_message_read(m, "s", &key);
          const char* contents = nullptr;
          if (isConnection && key && (std::string(key) == "id" || std::string(key) == "type") &&
              sd_bus_message_peek_type(m, nullptr, &contents) >= 0 && contents &&
              std::string(contents) == "s") {
            const char* v = nullptr;
            sd_bus_message_read(m, "v", "s", &v);
            (std::string(key) == "id" ? id : type) = v ? v : "";
          } else {
            sd_bus_message_skip(m, "v");
          }
          sd_bus_message_exit_container(m);
        }
        sd_bus_message_exit_container(m);
        sd_bus_message_exit_container(m);
      }
    }
    if (id == name && type == "vpn") found.push_back(path);
  }
  return found;
}

bool NMConnectionDriver::Worker::writeProfile(
    const Profile& profile, const std::vector<std::pair<std::string, std::string>>& secrets,
    const std::string& existingPath, std::string* path, std::string* error) {
  sd_bus_message* m = nullptr;
  int r = existingPath.empty()
              ? sd_bus_message_new_method_call(bus_, &m, kNMBusName, kNMSettingsPath,
                                               kNMSettingsIface, "AddConnection")
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
  if (r >= 0 && !options_.ownerUser.empty()) {
    const std::string owner = "user:" + options_.ownerUser + ":";
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
    connection->setFailureReason(platform::format(
        "NetworkManager is not running. %@ connections need it: install the Debian packages "
        "\"network-manager\" and \"%@\" and start NetworkManager.",
        plugin.name == "strongswan" ? "IPsec/IKEv2"
        : plugin.name == "l2tp"     ? "L2TP"
                                    : "PPTP",
        plugin.package));
    return false;
  }
  std::string profilePath = findProfile(profile.uuid);
  if (!writeProfile(profile, secrets, profilePath, &profilePath, &error)) {
    connection->setFailureReason(error);
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
    return false;
  }
  Tracked t;
  t.connection = connection;
  t.activePath = active;
  t.uuid = profile.uuid;
  t.kind = plugin.name;
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

void NMConnectionDriver::Worker::remove(const std::string& uuid, const std::string& name) {
  std::string error;
  if (!ensureBus(&error) || !nmOnBus()) return;
  std::vector<std::string> paths = profilesNamed(name);
  std::string byUuid = findProfile(uuid);
  if (!byUuid.empty() && std::find(paths.begin(), paths.end(), byUuid) == paths.end())
    paths.push_back(byUuid);
  for (const std::string& p : paths)
    BusCall().call(bus_, kNMBusName, p.c_str(), kNMConnectionIface, "Delete", "");
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

std::string endReason(std::uint32_t reason, const std::string& pluginFailure) {
  std::string text = nmStateReasonText(reason);
  // The plugin's own failure says more than NetworkManager's summary.
  if (!pluginFailure.empty())
    text = reason <= 1 ? pluginFailure : pluginFailure + " (" + text + ")";
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

int NMConnectionDriver::Worker::followState(
    sd_bus_message* m, std::optional<ConnectionStatus> (*statusOf)(std::uint32_t)) {
  Tracked* t = trackedByPath(sd_bus_message_get_path(m));
  std::uint32_t state = 0, reason = 0;
  if (!t || sd_bus_message_read(m, "uu", &state, &reason) < 0) return 0;
  auto c = t->connection;
  if (!c) return 0;
  const std::optional<ConnectionStatus> status = statusOf(state);
  if (status == ConnectionStatus::Disconnected) {
    end(*t, reason == 2 ? std::string() : endReason(reason, t->pluginFailure));
  } else if (status) {
    if (*status == ConnectionStatus::Connected) c->setFailureReason({});
    c->reportStatus(*status);
  }
  return 0;
}

int NMConnectionDriver::Worker::onVpnState(sd_bus_message* m, void* self, sd_bus_error*) {
  return static_cast<Worker*>(self)->followState(m, vpnStateStatus);
}

int NMConnectionDriver::Worker::onActiveState(sd_bus_message* m, void* self, sd_bus_error*) {
  return static_cast<Worker*>(self)->followState(m, activeStateStatus);
}

int NMConnectionDriver::Worker::onPluginFailure(sd_bus_message* m, void* self, sd_bus_error*) {
  auto* w = static_cast<Worker*>(self);
  std::uint32_t failure = 0;
  if (sd_bus_message_read(m, "u", &failure) < 0) return 0;
  // The plugin's signal names no connection; it belongs to the attempt
  // that is still running (one VPN of a kind at a time).
  for (Tracked& t : w->tracked_)
    if (!t.ended && t.pluginFailure.empty()) t.pluginFailure = nmPluginFailureText(failure);
  return 0;
}

int NMConnectionDriver::Worker::onNameOwner(sd_bus_message* m, void* self, sd_bus_error*) {
  auto* w = static_cast<Worker*>(self);
  const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
  if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0 || !name) return 0;
  if (std::string(name) == kNMBusName && (!newOwner || !*newOwner))
    w->endAll("NetworkManager stopped while the connection was in use.");
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
    std::optional<std::string> s = options_.secretLookup(reference);
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
    p.data = {
        {"gateway", server}, {"user", text(ppp[kSCPropNetPPPAuthName])}, {"password-flags", "0"}};
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
  } else {
    Value ipsec = service.interfaceConfiguration(kSCNetworkInterfaceTypeIPSec);
    const std::string server = text(ipsec[kSCPropNetIPSecRemoteAddress]);
    if (server.empty()) {
      *error = "The network service names no server.";
      return std::nullopt;
    }
    std::optional<std::string> psk =
        secret(text(ipsec[kSCPropNetIPSecSharedSecret]), "shared secret");
    if (!psk) return std::nullopt;
    p.data = {{"address", server}, {"method", "psk"},  {"virtual", "yes"},     {"encap", "no"},
              {"ipcomp", "no"},    {"proposal", "no"}, {"password-flags", "0"}};
    const std::string local = text(ipsec["LocalIdentifier"]);
    if (!local.empty()) p.data.emplace_back("local-identity", local);
    const std::string remote = text(ipsec["RemoteIdentifier"]);
    if (!remote.empty()) p.data.emplace_back("remote-identity", remote);
    p.secrets = {{"password", *psk}};
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
  struct stat st;
  const std::string nameFile = options_.pluginDirectory + "/nm-" + plugin->name + "-service.name";
  if (::stat(nameFile.c_str(), &st) != 0) {
    connection->setFailureReason(platform::format(
        "The NetworkManager VPN plugin for %@ is not installed: install the Debian package "
        "\"%@\".",
        plugin->name == "strongswan" ? "IPsec/IKEv2"
        : plugin->name == "l2tp"     ? "L2TP"
                                     : "PPTP",
        plugin->package));
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

void NMConnectionDriver::removeService(const std::string& serviceID, const std::string& name) {
  const std::string uuid = lower(serviceID);
  worker_->run([&] {
    worker_->remove(uuid, name);
    return true;
  });
}

}  // namespace platform::sysconfig
