// VRAccountManager: holds the signed-in user's account model and talks to
// the account service for it: login, poll, the current account's server
// lists, server switches and OpenVPN transport changes. It remembers the
// current account and the connection type chosen for each account in the
// user defaults, and announces every change by notifications that always
// arrive later, on the main thread.
//
// Guarantees:
//  1. Every notification is queued onto the main queue (also when posted on
//     the main thread), so a "will" notification reaches observers after
//     the change it announces, in posting order.
//  2. Values that go into request paths (plan, pack, prefix, key, country
//     code) are percent-escaped; a request that lacks a value it needs
//     (plan or account id, API key, server name, poll hash) is not sent and
//     fails as its failure path says.
//  3. A server-list reply (or failure) for an account that is no longer the
//     current account is dropped: it never overwrites the current lists.
//  4. Login: an HTTP-level failure reaches the caller as {"error": message},
//     where message is the service's "ERROR -" text when there is one; a
//     reply carrying "error" is passed on unchanged and leaves the model as
//     it was. The password and the API key are registered with the client
//     log as secrets, so they never appear in it.
//  5. A switch or transport-change reply that is not a dictionary or carries
//     "error" counts as a failure: the model and "udp" stay as they were.
//
// Thread safety: the operations are called on the main thread, where every
// callback runs too; the property getters may be called from any thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "client/core/account_info.h"
#include "client/core/base_account.h"
#include "client/core/pudip_client.h"
#include "client/core/server_model.h"
#include "platform/dispatch/queue_checker.h"
#include "platform/foundation/value.h"

namespace platform {
class UserDefaults;
}

namespace client {

inline constexpr const char* kCurrentAccountWillChangeNotification =
    "VRAccountManager.currentAccountWillChangeNotification";
inline constexpr const char* kCurrentAccountDidChangeNotification =
    "VRAccountManager.currentAccountDidChangeNotification";
inline constexpr const char* kServersWillChangeNotification =
    "VRAccountManager.serversWillChangeNotification";
inline constexpr const char* kServersDidChangeNotification =
    "VRAccountManager.serversDidChangeNotification";
inline constexpr const char* kSwitchWillStartNotification =
    "VRAccountManager.switchWillStartNotification";
inline constexpr const char* kSwitchDidStopNotification =
    "VRAccountManager.switchDidStopNotification";

// Posted (main thread, no object) after setConnectionType stored a type.
inline constexpr const char* kConnectionTypeDidChangeNotification =
    "VRAccountManager.connectionTypeDidChangeNotification";

// What a login that did not get the service's own answer reports.
inline constexpr const char* kLoginUnreadableReplyText =
    "The login server sent a reply that could not be read. Please try again later.";
inline constexpr const char* kLoginUnavailableText =
    "The login server is not available right now. Please try again later.";
inline constexpr const char* kLoginUnreachableText =
    "The login server cannot be reached. Check your Internet connection and try again.";
inline constexpr const char* kLoginCertificateText =
    "The login server's certificate could not be verified, so no secure connection was made. "
    "Check this computer's date and time and the network you are using, then try again.";
inline constexpr const char* kLoginProxyAuthenticationText =
    "The proxy server of this network asks for a user name and password before it lets the "
    "login through. Check the proxy settings of this computer and try again.";

inline constexpr const char* kLastSelectedAccountKey = "LastSelectedAccount";
inline constexpr const char* kPPTPTypeKey = "PPTPType";
inline constexpr const char* kConnectionKeyFormat = "%@-protocol";

class VRAccountManager : public std::enable_shared_from_this<VRAccountManager> {
 public:
  using Ptr = std::shared_ptr<VRAccountManager>;
  using ServerList = std::vector<ServerModel::Ptr>;
  using ServerListPtr = std::shared_ptr<ServerList>;
  // Called with the reply dictionary (None where a failure gives "nil").
  using ReplyHandler = std::function<void(const platform::Value& reply)>;

  // `client` nullptr: VRPUDIPClient::sharedClient(). `defaults` nullptr:
  // the standard user defaults. Every server model the manager makes runs
  // the speed-test tools of `serverTools`.
  static Ptr create(VRPUDIPClient::Ptr client = nullptr,
                    std::shared_ptr<platform::UserDefaults> defaults = nullptr,
                    ServerModel::ToolPaths serverTools = {});

  // The connection type names, indexed by number.
  static const std::vector<std::string>& connectionTypeNames();
  static int apiVersion() { return 4; }
  // "%@-protocol" with the account's id.
  static std::string connectionKeyForAccount(const BaseAccount& account);

  // --- the model -----------------------------------------------------------
  AccountInfo::Ptr accountInfo() const;
  std::vector<BaseAccount::Ptr> accounts() const;
  BaseAccount::Ptr currentAccount() const;
  void setCurrentAccount(BaseAccount::Ptr account);
  ServerListPtr currentServers() const;
  void setCurrentServers(ServerListPtr servers);
  ServerModel::Ptr currentServer() const;
  ServerListPtr openServers() const;
  ServerListPtr pptpServers() const;

  std::string currentAccountString() const;
  std::string currentAccountLongString() const;
  std::optional<std::string> connectionTypeString();
  std::string currentServerAndConnectionTypeString();

  // Takes a login or switch reply as the new model; false (and no change)
  // for anything but a dictionary.
  bool updateAccountInfoWithDictionary(const platform::Value& reply);
  // Loads the server lists of `account` (guarantee 3).
  void updateServersWithAccount(const BaseAccount::Ptr& account);

  // The stored connection type of the current account (1 without one).
  int connectionType();
  void setConnectionType(int type);
  // The account to send to the helper for a connect of `type`: for an
  // OpenVPN account a copy whose "udp" and "port" are the account's own for
  // that transport (the port the service first gave it with that transport,
  // else the port the transport change asks for: 500 for UDP, 443 for TCP
  // and the proxy); every other account as it is. The same account, server
  // and type therefore always give the same request, whatever types and
  // servers were chosen in between. A run that starts with the account on
  // TCP (say, after a restart) has never been told a UDP port: UDP then
  // goes to 500, which the change to UDP asks the service to use and the
  // service then holds for the account (its TCP port is never sent for
  // UDP); the "OpenPorts" list follows it as further remotes.
  BaseAccount::Ptr accountForConnection(const BaseAccount::Ptr& account, int type) const;

  // --- requests ------------------------------------------------------------------
  // The reply's "error" is for the user: the service's own message (a wrong
  // password), or a plain text for a server or network failure, whose
  // technical text goes to the client log.
  void loginWithUsername(const std::string& username, const std::string& password,
                         ReplyHandler completion);
  // The plain text of a failed login request's error.
  static std::string loginErrorMessage(const platform::Error& error);
  // True for the texts loginErrorMessage words itself (what went wrong on
  // the way), false for the service's own words.
  static bool isLocalLoginFailure(const std::string& text);
  void pollWithCompletionHandler(ReplyHandler completion);
  void switchServer(const ServerModel::Ptr& server, ReplyHandler completion);
  void updateOpenVPNProtocolOptionsForAccount(const BaseAccount::Ptr& account, int type);
  void selectNewServerForCurrentAccountWithConnectionType(int type, ReplyHandler completion);

  const VRPUDIPClient::Ptr& client() const { return client_; }

 private:
  VRAccountManager() = default;
  void post(const char* name, std::shared_ptr<void> object = nullptr);
  void changeTransport(const std::shared_ptr<class OpenAccount>& account, bool toUDP);
  static void callLater(const ReplyHandler& completion, platform::Value reply);

  // The ports an OpenVPN account first came with, per transport, by id.
  struct OwnPorts {
    platform::Value udp, tcp;
  };
  void rememberOwnPorts(const std::vector<BaseAccount::Ptr>& accounts);

  VRPUDIPClient::Ptr client_;
  std::shared_ptr<platform::UserDefaults> defaults_;
  ServerModel::ToolPaths serverTools_;  // set at creation, read-only after
  mutable std::mutex mutex_;
  AccountInfo::Ptr accountInfo_;
  std::vector<BaseAccount::Ptr> accounts_;
  BaseAccount::Ptr currentAccount_;
  ServerListPtr currentServers_, openServers_, pptpServers_;
  ServerModel::Ptr currentServer_;
  std::map<std::int32_t, OwnPorts> ownPorts_;
  // Asserts (in checked builds) that the main-thread-only members run on the
  // main queue.
  platform::dispatch::QueueChecker mainQueue_{platform::dispatch::Queue::main()};
};

}  // namespace client
