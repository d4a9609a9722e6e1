// SystemPreferencesHandler: creates, connects, stops and deletes the
// system network service "VarnelVPN" (PPTP, L2TP over IPSec, IPSec) and the
// System keychain items that hold its secrets.
//
// Guarantees:
//  1. At most one service named "VarnelVPN" exists after a create: the
//     create removes the old one and every "VarnelVPN" keychain item first,
//     under the preferences lock.
//  2. Status changes reach the connection block on the global queue of
//     default priority, each connection's changes in order and each changed
//     status once (repeats of the same connection's status are dropped;
//     different connections never hide each other's reports).
//  3. No secret is written to the preferences or to the log; secrets live
//     only in the System keychain.
//
// Thread safety: create and connect run on a request's queue; the
// preferences lock serialises them against every other writer.
// `connectionBlock` may be read and written from any thread.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "helper/authorization_handler.h"
#include "helper/keychain_services.h"
#include "platform/sysconfig/network_connection.h"
#include "platform/sysconfig/preferences.h"

namespace helper {

inline constexpr const char* kServiceName = "VarnelVPN";
inline constexpr const char* kPreferencesName = "com.varnelvpn";

class SystemPreferencesHandler : public std::enable_shared_from_this<SystemPreferencesHandler> {
 public:
  using ConnectionBlock =
      std::function<void(const platform::sysconfig::NetworkConnectionPtr& connection,
                         platform::sysconfig::ConnectionStatus status, void* context)>;

  // The handler, or nullptr (logged "Unable to gain authorization.") when
  // the right cannot be had. `driver` brings the services up and down (the
  // helper gives NetworkManager's; nullptr: every connect fails). Empty
  // paths: the system's files. `authorization` makes the handler's
  // authorization references (default: the root policy).
  static std::shared_ptr<SystemPreferencesHandler> create(
      std::shared_ptr<platform::sysconfig::ConnectionDriver> driver,
      std::string preferencesPath = {}, std::string keychainPath = {},
      platform::sysconfig::Authorization::Options authorization = {});

  static platform::Value GenerateDefaultPPPDictionary();
  // The trusted programs of every keychain item made here.
  static const std::vector<std::string>& trustedApplications();

  std::optional<platform::sysconfig::NetworkService> GetNetworkService(const std::string& name);
  void DeleteNetworkService(const std::string& name);
  // Each create checks the request's values first (the server is a host
  // name or an address; user names and passwords carry no control
  // characters or line breaks; the shared secret is printable) and, when
  // one cannot be used, writes nothing and answers false with the reason
  // in `*refusal` (for the user; it never repeats the value).
  bool CreatePPTPService(const std::string& server, const std::string& username,
                         const std::string& password, std::string* refusal = nullptr);
  bool CreateL2TPService(const std::string& server, const std::string& username,
                         const std::string& password, const std::string& sharedSecret,
                         std::string* refusal = nullptr);
  bool CreateIPSecService(const std::string& server, const std::string& psk,
                          std::string* refusal = nullptr);
  bool CreateIkeV2Service(const std::string&, const std::string&, const std::string&,
                          const std::string&) {
    return true;
  }
  // Finds the enabled service and starts a connection for it; false when
  // there is none or the start fails (nothing is reported then). The
  // connection is stored in `*started` (when given) before it is started,
  // so a caller can stop it before its first report arrives.
  bool ConnectToService(const std::string& name, ConnectionBlock block,
                        platform::sysconfig::NetworkConnectionPtr* started = nullptr);
  // The user the next connected service's system profile is limited to
  // (a user name): nobody else may see or bring it up.
  void setProfileOwner(const std::string& user);
  // Removes the system profiles that this helper made and that are still
  // there (at start-up: those a crashed run left; at the end: its own).
  void removeOwnProfiles();
  // Up to five graceful stops, then one forced stop. Blocks the caller.
  void DisconnectService(const platform::sysconfig::NetworkConnectionPtr& connection);
  static void MoveServiceToTop(const std::string& serviceID, platform::sysconfig::Preferences& set);

  ConnectionBlock connectionBlock() const;
  void setConnectionBlock(ConnectionBlock block);
  // The most recently created handler (nullptr when none).
  static std::shared_ptr<SystemPreferencesHandler> shared();

  platform::sysconfig::Preferences& preferences() { return *prefRef_; }
  KeychainServices& keychainServices() { return *keyServ_; }

 private:
  SystemPreferencesHandler() = default;
  std::shared_ptr<platform::sysconfig::ConnectionDriver> driver_;
  void commonStart();
  void commonEnd(const std::string& serviceID);

  AuthorizationHandler authHandler_;
  std::shared_ptr<platform::sysconfig::Preferences> prefRef_;
  std::unique_ptr<KeychainServices> keyServ_;
  mutable std::mutex mutex_;
  ConnectionBlock connectionBlock_;
};

}  // namespace helper
