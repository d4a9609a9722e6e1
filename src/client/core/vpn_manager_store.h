// SystemVPNManager: the system VPN framework's shared manager, as this
// platform provides it: one IKEv2 configuration of the user, kept as a
// property list that only the user can read under the user's data folder
// ("VarnelVPN/vpn-configuration.plist"), and a tunnel started and stopped
// through the system's connection driver (platform::sysconfig), whose status
// reports the manager passes on. The system's driver is NetworkManager's
// (its strongSwan plugin runs IKEv2); the profile belongs to the user, its
// shared secret comes from the user's keychain item that the configuration
// refers to. Tests put a shared manager of their own driver in its place
// (resetSharedManagerForTesting).
//
// Guarantees:
//  1. Load, save and remove complete on the main queue, never inside the
//     call; a save writes the file atomically with mode 0600.
//  2. A tunnel starts only for a saved, enabled configuration with an IKEv2
//     protocol; status changes are posted as
//     "SystemVPNStatusDidChangeNotification" (object: the manager) on the
//     main queue.
//
// Thread safety: main thread only.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/queue_checker.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/sysconfig/network_connection.h"

namespace client {

inline constexpr const char* kSystemVPNStatusDidChangeNotification =
    "SystemVPNStatusDidChangeNotification";
inline constexpr const char* kSystemVPNErrorDomain = "SystemVPNErrorDomain";

enum IKEv2AuthenticationMethod : int {
  kIKEv2AuthenticationMethodNone = 0,
  kIKEv2AuthenticationMethodCertificate = 1,
  kIKEv2AuthenticationMethodSharedSecret = 2,
};

struct IKEv2Protocol {
  std::string localIdentifier, remoteIdentifier, serverAddress;
  bool useExtendedAuthentication = true;
  int authenticationMethod = kIKEv2AuthenticationMethodNone;
  platform::Bytes passwordReference, sharedSecretReference;
  int ikeDiffieHellmanGroup = 0, childDiffieHellmanGroup = 0;
  bool disconnectOnSleep = true;
};

class SystemVPNManager : public std::enable_shared_from_this<SystemVPNManager> {
 public:
  using Completion = std::function<void(const platform::Error& error)>;

  static std::shared_ptr<SystemVPNManager> sharedManager();
  // Drops the shared manager; the next one uses `driver` (nullptr: the
  // system's driver).
  static void resetSharedManagerForTesting(
      std::shared_ptr<platform::sysconfig::ConnectionDriver> driver = nullptr);
  static std::string preferencesPath();

  void loadFromPreferences(Completion completion);
  void saveToPreferences(Completion completion);
  void removeFromPreferences(Completion completion);

  std::string localizedDescription;
  std::optional<IKEv2Protocol> protocolConfiguration;
  bool onDemandEnabled = false;
  bool enabled = false;

  // The tunnel of the saved configuration; false with `*error` (its text
  // says why) when none can start.
  bool startVPNTunnel(platform::Error* error = nullptr);
  void stopVPNTunnel();
  platform::sysconfig::ConnectionStatus status() const { return status_; }
  // Why the tunnel last ended or failed (empty: it did not fail).
  const std::string& failureReason() const { return failureReason_; }

  // NetworkManager's driver for this user's configuration, on the bus at
  // `busAddress` (empty: the system bus).
  static std::shared_ptr<platform::sysconfig::ConnectionDriver> systemDriver(
      const std::string& busAddress = {});

 private:
  // Main thread only, checked in checked builds.
  platform::dispatch::QueueChecker mainQueue_{platform::dispatch::Queue::main()};
  SystemVPNManager() = default;
  platform::Value toValue() const;
  void fromValue(const platform::Value& v);
  void complete(Completion completion, platform::Error error);

  std::shared_ptr<platform::sysconfig::ConnectionDriver> driver();

  std::shared_ptr<platform::sysconfig::ConnectionDriver> driver_;  // nullptr: the system's
  bool saved_ = false;
  std::string identifier_;  // the system's profile identifier, kept with the configuration
  std::string failureReason_;
  platform::sysconfig::ConnectionStatus status_ =
      platform::sysconfig::ConnectionStatus::Disconnected;
  platform::sysconfig::NetworkConnectionPtr connection_;
};

}  // namespace client
