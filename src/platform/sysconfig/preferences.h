// platform::sysconfig::Preferences: the system's network services, kept in
// one property-list file under the system root (paths::systemPreferences()).
//
// A service has a system-assigned identifier, a user-visible name, an
// enabled flag, a chain of interfaces (bottom first, for example
// {"IPv4", "PPTP", "PPP"}), a configuration per interface type, extended
// configurations per interface type and entity name, and protocol
// configurations ("IPv4"). The current set keeps the service order.
//
// Guarantees:
//  1. `lock` serialises writers across threads and processes (a mutex and an
//     advisory lock beside the file) and reloads the committed file, so a
//     writer always edits the newest committed state.
//  2. `commitChanges` replaces the file atomically (temporary file, rename;
//     owner-only, 0600): a reader sees the old or the new set of services.
//  3. Changes made without `commitChanges` are not seen by other handles and
//     are dropped by `synchronize`.
//
// Thread safety: one handle is used by one thread at a time (callers hold
// the lock around edits); different handles may be used from any thread.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace platform::sysconfig {

// Interface types and protocol names.
inline constexpr const char* kSCNetworkInterfaceTypeIPv4 = "IPv4";
inline constexpr const char* kSCNetworkInterfaceTypePPTP = "PPTP";
inline constexpr const char* kSCNetworkInterfaceTypeL2TP = "L2TP";
inline constexpr const char* kSCNetworkInterfaceTypePPP = "PPP";
inline constexpr const char* kSCNetworkInterfaceTypeIPSec = "IPSec";
// IKEv2 with a pre-shared key (the client's own VPN configuration), not the
// IKEv1 IPSec of the helper's services.
inline constexpr const char* kSCNetworkInterfaceTypeIKEv2 = "IKEv2";
inline constexpr const char* kSCEntNetIPv4 = "IPv4";
inline constexpr const char* kSCEntNetIPSec = "IPSec";

// Configuration keys and values of the PPP, IPv4 and IPSec entities.
inline constexpr const char* kSCPropNetPPPAuthPasswordEncryption = "AuthPasswordEncryption";
inline constexpr const char* kSCValNetPPPAuthPasswordEncryptionKeychain = "Keychain";
inline constexpr const char* kSCPropNetPPPACSPEnabled = "ACSPEnabled";
inline constexpr const char* kSCPropNetPPPCCPEnabled = "CCPEnabled";
inline constexpr const char* kSCPropNetPPPVerboseLogging = "VerboseLogging";
inline constexpr const char* kSCPropNetPPPCCPMPPE128Enabled = "CCPMPPE128Enabled";
inline constexpr const char* kSCPropNetPPPCCPMPPE40Enabled = "CCPMPPE40Enabled";
inline constexpr const char* kSCPropNetPPPDisconnectOnFastUserSwitch = "DisconnectOnFastUserSwitch";
inline constexpr const char* kSCPropNetPPPDisconnectOnLogout = "DisconnectOnLogout";
inline constexpr const char* kSCPropNetPPPOverridePrimary = "PPPOverridePrimary";
inline constexpr const char* kSCPropNetPPPIPCPUsePeerDNS = "IPCPUsePeerDNS";
inline constexpr const char* kSCPropNetPPPLogfile = "Logfile";
inline constexpr const char* kSCPropNetPPPCommRedialEnabled = "CommRedialEnabled";
inline constexpr const char* kSCPropNetPPPAuthName = "AuthName";
inline constexpr const char* kSCPropNetPPPAuthPassword = "AuthPassword";
inline constexpr const char* kSCPropNetPPPCommRemoteAddress = "CommRemoteAddress";
inline constexpr const char* kSCPropNetOverridePrimary = "OverridePrimary";
inline constexpr const char* kSCPropNetIPSecAuthenticationMethod = "AuthenticationMethod";
inline constexpr const char* kSCValNetIPSecAuthenticationMethodSharedSecret = "SharedSecret";
inline constexpr const char* kSCValNetL2TPIPSecSharedSecretEncryptionKeychain = "Keychain";
inline constexpr const char* kSCPropNetIPSecSharedSecret = "SharedSecret";
inline constexpr const char* kSCPropNetIPSecSharedSecretEncryption = "SharedSecretEncryption";
inline constexpr const char* kSCValNetIPSecSharedSecretEncryptionKeychain = "Keychain";
inline constexpr const char* kSCPropNetIPSecXAuthName = "XAuthName";
inline constexpr const char* kSCPropNetIPSecXAuthPassword = "XAuthPassword";
inline constexpr const char* kSCPropNetIPSecXAuthEnabled = "XAuthEnabled";
inline constexpr const char* kSCPropNetIPSecXAuthPasswordEncryption = "XAuthPasswordEncryption";
inline constexpr const char* kSCValNetIPSecXAuthPasswordEncryptionKeychain = "Keychain";
inline constexpr const char* kSCPropNetIPSecRemoteAddress = "RemoteAddress";

struct NetworkService {
  std::string serviceID;
  std::string name;
  bool enabled = true;
  std::vector<std::string> interfaceChain;  // bottom first
  Value interfaceConfigurations;            // type -> dictionary
  Value extendedConfigurations;             // type -> { entity -> dictionary }
  Value protocolConfigurations;             // protocol -> dictionary

  // The configuration of the interface of `type` (None when unset).
  Value interfaceConfiguration(const std::string& type) const;
  Value extendedConfiguration(const std::string& type, const std::string& entity) const;
  Value protocolConfiguration(const std::string& protocol) const;
  void setInterfaceConfiguration(const std::string& type, const Value& config);
  void setExtendedConfiguration(const std::string& type, const std::string& entity,
                                const Value& config);
  void setProtocolConfiguration(const std::string& protocol, const Value& config);
};

class Preferences {
 public:
  // A handle named `name` (the caller's name) on the preferences file
  // `path` (empty: paths::systemPreferences() + "/network.plist"). Loads the
  // committed state; a missing file is an empty configuration.
  static std::shared_ptr<Preferences> create(std::string name, std::string path = {});
  ~Preferences();

  const std::string& name() const { return name_; }
  const std::string& path() const { return path_; }

  // Takes the lock (waiting when `wait`; else false when held elsewhere)
  // and reloads the committed state. False also when already locked here.
  bool lock(bool wait);
  bool unlock();
  // Writes the state; false when the file cannot be written.
  bool commitChanges();
  // Makes committed changes active; counts the calls (drivers read the file).
  bool applyChanges();
  int applyCount() const { return applyCount_; }
  // Drops uncommitted changes (reloads the file).
  void synchronize();
  // errno-style code of the last failure (0 when none).
  int lastError() const { return lastError_; }

  std::vector<NetworkService> allServices() const;
  std::optional<NetworkService> service(const std::string& serviceID) const;
  // A new enabled service with a fresh identifier on `interfaceChain`.
  NetworkService createService(std::vector<std::string> interfaceChain);
  // Stores `service` (by its identifier); false when it does not exist.
  bool updateService(const NetworkService& service);
  // Removes the service and its place in the current set; false when absent.
  bool removeService(const std::string& serviceID);

  // The current set's service order.
  std::vector<std::string> serviceOrder() const;
  void setServiceOrder(std::vector<std::string> order);
  // Appends the service to the current set (and its order); false when
  // the service does not exist or is in the set already.
  bool addServiceToCurrentSet(const std::string& serviceID);
  std::vector<std::string> currentSetServices() const;

 private:
  Preferences() = default;
  void load();
  Value encode() const;
  std::string name_, path_;
  std::vector<NetworkService> services_;
  std::vector<std::string> setServices_, order_;
  int lockFd_ = -1;
  bool locked_ = false;
  int applyCount_ = 0;
  int lastError_ = 0;
};

}  // namespace platform::sysconfig
