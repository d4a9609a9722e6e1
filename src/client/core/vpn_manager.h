// VRVPNManager: sets up and starts the system VPN manager's IKEv2
// configuration for an OpenVPN-family account, with its shared secret and
// password kept in the user's keychain, and reports the tunnel like the
// other direct drivers: "VPNConnectNotification" when it is up and
// "VPNDisconnectNotification" when it has ended after a start (main thread,
// no object).
//
// Guarantees:
//  1. A configuration whose re-load fails after saving is removed again,
//     so no broken configuration stays behind.
//  2. Only OpenVPN-family accounts are set up; other accounts change nothing.
//
// Thread safety: main thread only.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "client/core/base_account.h"
#include "client/core/open_account.h"
#include "client/core/vpn_manager_store.h"
#include "platform/dispatch/queue_checker.h"
#include "platform/system/notification_center.h"

namespace client {

inline constexpr const char* kIKEv2PSKService = "com.varnelvpn.open-ikev2.psk";
inline constexpr const char* kIKEv2PasswordService = "com.varnelvpn.open-ikev2.pw";
inline constexpr const char* kIKEv2KeychainAccount = "VPN";
inline constexpr const char* kIKEv2Description = "VarnelVPN IKEv2 Configuration";
inline constexpr const char* kIPSecDescription = "VarnelVPN IPSec Configuration";

class VRVPNManager : public std::enable_shared_from_this<VRVPNManager> {
 public:
  static std::shared_ptr<VRVPNManager> create();
  ~VRVPNManager();

  void setupIKEv2ConnectionForAccount(const BaseAccount::Ptr& account);
  void setupIKEv2ConnectionForOpenAccount(const OpenAccount::Ptr& account);
  // A persistent reference to the keychain item, or nullopt when none exists.
  static std::optional<platform::Bytes> retrieveKeychain(const std::string& service,
                                                         const std::string& account);
  // Sets the manager's description only; the handler is not called.
  void setupIPSecAndConnectAccount(const BaseAccount::Ptr& account,
                                   std::function<void(const platform::Error&)> handler);
  void setProtocol(const IKEv2Protocol& protocol, bool reloadConfiguration) {
    (void)protocol, (void)reloadConfiguration;
  }

 private:
  // Main thread only, checked in checked builds.
  platform::dispatch::QueueChecker mainQueue_{platform::dispatch::Queue::main()};
  VRVPNManager() = default;
  void statusChanged();

  platform::NotificationCenter::ObserverToken token_;
  bool started_ = false;
  bool up_ = false;
};

}  // namespace client
