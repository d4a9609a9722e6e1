// platform::sysconfig::NMConnectionDriver: the connection driver of the
// real system. PPTP, L2TP over IPsec and IPsec/IKEv2 services are run by
// NetworkManager and its VPN plugins, spoken to over the D-Bus system bus
// with sd-bus (libsystemd's plain C client).
//
// A service becomes one NetworkManager connection profile (type "vpn", the
// plugin's service type, the server, the user and the secrets, stored by
// NetworkManager itself in its root-only files: password-flags=0). Its
// identifier is the service identifier, its name the service's name.
// `start` writes that profile and activates it; `stop` deactivates it;
// `removeService` deletes it.
//
// Status mapping (VPN and active-connection states of NetworkManager):
//   ACTIVATING, PREPARE, NEED_AUTH, CONNECT, IP_CONFIG_GET -> Connecting
//   ACTIVATED                                             -> Connected
//   DEACTIVATING                                          -> Disconnecting
//   FAILED, DISCONNECTED, DEACTIVATED                     -> Disconnected,
//     with NetworkManager's reason as readable text in the connection's
//     `failureReason` (set before the status is reported).
//   NetworkManager leaving the bus, or the bus itself going away, ends
//   every connection it ran: Disconnected with a reason saying so.
//
// Guarantees:
//  1. `start` fails at once (false, with `failureReason` naming the Debian
//     package to install) when NetworkManager is not on the bus or the
//     plugin the service needs is not installed. It never pretends.
//  2. Connected is reported only when NetworkManager says the VPN is
//     activated; every end of a connection is reported exactly once.
//  3. Secrets are read from the System keychain items the service refers
//     to (or through `Options::secretLookup`) and handed only to
//     NetworkManager; they are never logged.
//
// Thread safety: every method may be called from any thread. One worker
// thread owns the bus; calls wait for it (at most the D-Bus call time-out).
// Reports reach connections from that thread. Destroying the driver reports
// nothing more and leaves NetworkManager's connections as they are.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/sysconfig/network_connection.h"

namespace platform::sysconfig {

inline constexpr const char* kNMBusName = "org.freedesktop.NetworkManager";
inline constexpr const char* kNMPluginDirectory = "/usr/lib/NetworkManager/VPN";

// What a service needs from NetworkManager: the plugin's short name
// ("pptp", "l2tp", "strongswan"), its D-Bus service type and its package.
struct NMPlugin {
  std::string name, serviceType, package;
};

// The plugin for a service's interface chain; nullopt for a chain that no
// plugin serves.
std::optional<NMPlugin> nmPluginForService(const NetworkService& service);

// Readable text of NetworkManager's reasons (VPN-connection and
// active-connection state reasons share their numbers; the plugin's
// failure codes are separate).
std::string nmStateReasonText(std::uint32_t reason);
std::string nmPluginFailureText(std::uint32_t failure);

class NMConnectionDriver : public ConnectionDriver {
 public:
  struct Options {
    // The bus address (empty: the system bus, which honours
    // DBUS_SYSTEM_BUS_ADDRESS).
    std::string busAddress;
    // Where the plugins' ".name" files are.
    std::string pluginDirectory = kNMPluginDirectory;
    // The secret a service setting refers to (a keychain item's service).
    // Default: the System keychain item of that service.
    std::function<std::optional<std::string>(const std::string& reference)> secretLookup;
    // "user:<name>:" entries that limit who may see and use the profile
    // (empty: a system-wide profile).
    std::string ownerUser;
    // Time-out of one D-Bus call, in seconds.
    double callTimeout = 20.0;
  };

  static std::shared_ptr<NMConnectionDriver> create(Options options);
  static std::shared_ptr<NMConnectionDriver> create() { return create(Options()); }
  ~NMConnectionDriver() override;

  bool start(const NetworkConnectionPtr& connection, const NetworkService& service) override;
  bool stop(const NetworkConnectionPtr& connection, bool force) override;
  void removeService(const std::string& serviceID, const std::string& name) override;

  // The profile's settings for a service, without its secrets (for tests
  // and diagnostics); nullopt with `*error` when the service cannot be
  // expressed.
  struct Profile {
    std::string id, uuid, serviceType;
    std::vector<std::pair<std::string, std::string>> data, secrets;
  };
  std::optional<Profile> profileFor(const NetworkService& service, std::string* error) const;

  class Worker;

 private:
  explicit NMConnectionDriver(Options options);
  Options options_;
  std::unique_ptr<Worker> worker_;
};

}  // namespace platform::sysconfig
