#include "client/core/account_manager.h"

#include <algorithm>
#include <utility>

#include "client/Singletons/varnel_log.h"
#include "client/core/available_servers.h"
#include "client/core/open_account.h"
#include "codecs/json_scanner.h"
#include "codecs/query_string.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/format.h"
#include "platform/system/notification_center.h"
#include "platform/system/user_defaults.h"
#include "platform/urlloading/url_connection.h"

namespace client {

using net::http::NKHTTPRequestOperation;
using platform::Value;

namespace {

// The text of a path value, percent-escaped; nullopt when it is missing.
std::optional<std::string> pathValue(const Value& v) {
  std::string text;
  if (v.isString())
    text = v.asString();
  else if (v.isNumber() && !v.isBool())
    text = v.description();
  if (text.empty()) return std::nullopt;
  return codecs::EscapedQueryValue(text, platform::StringEncoding::UTF8);
}

std::string trimmedText(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// A reply that a switch or transport change may act on.
bool isUsableReply(const Value& reply) { return reply.isDictionary() && !reply.contains("error"); }

}  // namespace

VRAccountManager::Ptr VRAccountManager::create(VRPUDIPClient::Ptr client,
                                               std::shared_ptr<platform::UserDefaults> defaults,
                                               ServerModel::ToolPaths serverTools) {
  Ptr manager(new VRAccountManager());
  manager->serverTools_ = std::move(serverTools);
  manager->client_ = client ? std::move(client) : VRPUDIPClient::sharedClient();
  manager->defaults_ =
      defaults ? std::move(defaults) : platform::UserDefaults::standardUserDefaults();
  manager->accountInfo_ = std::make_shared<AccountInfo>();
  return manager;
}

const std::vector<std::string>& VRAccountManager::connectionTypeNames() {
  static const std::vector<std::string> names = {
      "PPTP", "L2TP", "SSTP", "OpenVPN UDP", "OpenVPN TCP", "OpenVPN Proxy", "IPSec", "IKEv2"};
  return names;
}

std::string VRAccountManager::connectionKeyForAccount(const BaseAccount& account) {
  return platform::format(kConnectionKeyFormat, account.accountId());
}

void VRAccountManager::post(const char* name, std::shared_ptr<void> object) {
  platform::NotificationCenter::defaultCenter().postOnMainThread(name, std::move(object));
}

void VRAccountManager::callLater(const ReplyHandler& completion, Value reply) {
  if (!completion) return;
  platform::dispatch::Queue::main()->async([completion, reply] { completion(reply); });
}

// --- the model -----------------------------------------------------------------

AccountInfo::Ptr VRAccountManager::accountInfo() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accountInfo_;
}

std::vector<BaseAccount::Ptr> VRAccountManager::accounts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accounts_;
}

BaseAccount::Ptr VRAccountManager::currentAccount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return currentAccount_;
}

VRAccountManager::ServerListPtr VRAccountManager::currentServers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return currentServers_;
}

ServerModel::Ptr VRAccountManager::currentServer() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return currentServer_;
}

VRAccountManager::ServerListPtr VRAccountManager::openServers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return openServers_;
}

VRAccountManager::ServerListPtr VRAccountManager::pptpServers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pptpServers_;
}

std::string VRAccountManager::currentAccountString() const {
  auto account = currentAccount();
  return account ? account->accountString() : std::string();
}

std::string VRAccountManager::currentAccountLongString() const {
  auto account = currentAccount();
  return account ? account->accountLongString() : std::string();
}

std::optional<std::string> VRAccountManager::connectionTypeString() {
  const int type = connectionType();
  if (type < 0 || type >= static_cast<int>(connectionTypeNames().size())) return std::nullopt;
  return connectionTypeNames()[static_cast<std::size_t>(type)];
}

std::string VRAccountManager::currentServerAndConnectionTypeString() {
  auto account = currentAccount();
  const std::optional<std::string> type = connectionTypeString();
  return platform::format("%@: %@", account ? account->prefix() : Value(),
                          type ? Value(*type) : Value());
}

void VRAccountManager::setCurrentAccount(BaseAccount::Ptr account) {
  post(kCurrentAccountWillChangeNotification);
  std::vector<BaseAccount::Ptr> all;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    currentAccount_ = account;
    all = accounts_;
  }
  if (account) {
    for (const auto& a : all) a->setIsCurrentAccount(false);
    account->setIsCurrentAccount(true);
    updateServersWithAccount(account);
    defaults_->setObject(Value(account->accountId32()), kLastSelectedAccountKey);
  }
  post(kCurrentAccountDidChangeNotification, account);
}

void VRAccountManager::setCurrentServers(ServerListPtr servers) {
  post(kServersWillChangeNotification);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    currentServers_ = servers;
  }
  post(kServersDidChangeNotification, servers);
}

bool VRAccountManager::updateAccountInfoWithDictionary(const Value& reply) {
  if (!reply.isDictionary()) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    accountInfo_ = nullptr;
  }
  setCurrentAccount(nullptr);
  auto info = std::make_shared<AccountInfo>();
  info->setAttributesFromDictionary(reply);
  std::vector<BaseAccount::Ptr> list = info->accounts().value_or(std::vector<BaseAccount::Ptr>{});
  {
    std::lock_guard<std::mutex> lock(mutex_);
    accountInfo_ = info;
    accounts_ = list;
  }
  if (info->key().isString()) VarnelLog::sharedInstance().registerSecret(info->key().asString());
  rememberOwnPorts(list);
  const auto last = static_cast<std::int32_t>(defaults_->integerForKey(kLastSelectedAccountKey));
  for (const auto& account : list) {
    if (account->accountId32() == last) {
      account->setIsCurrentAccount(true);
      setCurrentAccount(account);
    }
  }
  if (!currentAccount() && !list.empty()) setCurrentAccount(list.front());
  return true;
}

void VRAccountManager::rememberOwnPorts(const std::vector<BaseAccount::Ptr>& accounts) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& account : accounts) {
    if (!account || !account->isOpenAccount()) continue;
    const auto& open = static_cast<const OpenAccount&>(*account);
    if (!open.port().isNumber()) continue;
    OwnPorts& own = ownPorts_[account->accountId32()];
    Value& slot = open.udp() ? own.udp : own.tcp;
    if (slot.isNone()) slot = open.port();
  }
}

BaseAccount::Ptr VRAccountManager::accountForConnection(const BaseAccount::Ptr& account,
                                                        int type) const {
  if (!account || !account->isOpenAccount() || !ipc::isOpenVPNConnectionType(type)) return account;
  const auto& open = static_cast<const OpenAccount&>(*account);
  const bool udp = type == kConnectionTypeOpenVPNUDP;
  OwnPorts own;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (auto it = ownPorts_.find(account->accountId32()); it != ownPorts_.end()) own = it->second;
  }
  Value port = udp ? own.udp : own.tcp;
  if (port.isNone()) {
    // Plan 131 changes its transport without asking the service: it keeps
    // its port. Others get the port the transport change asked for.
    const bool local = open.planId().isNumber() && open.planId().asInt64() == 131;
    port = local && open.port().isNumber() ? open.port() : Value(udp ? 500 : 443);
  }
  auto copy = std::make_shared<OpenAccount>(open);
  copy->setUdp(udp);
  copy->setValue("port", port);
  return copy;
}

void VRAccountManager::updateServersWithAccount(const BaseAccount::Ptr& account) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  auto self = shared_from_this();
  auto failed = [self, account] {
    if (self->currentAccount() != account) return;  // a stale reply
    self->setCurrentServers(nullptr);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->currentServer_ = nullptr;
  };
  const auto plan = pathValue(account->planId());
  const auto pack = pathValue(account->accountId());
  if (!plan || !pack) {
    platform::dispatch::Queue::main()->async(failed);
    return;
  }
  auto success = [self, account, failed](const NKHTTPRequestOperation::Ptr&, const Value& reply) {
    if (self->currentAccount() != account) return;  // a stale reply
    auto available = AvailableServers::instanceFromDictionary(reply);
    auto pptp = std::make_shared<ServerList>();
    auto open = std::make_shared<ServerList>();
    ServerModel::Ptr current;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      current = self->currentServer_;
    }
    const std::string prefix = account->prefix().isString() ? account->prefix().asString() : "";
    auto build = [&](const std::optional<AvailableServers::List>& entries, const char* type,
                     ServerList& out) {
      if (!entries) return;
      for (const auto& entry : *entries) {
        auto model = ServerModel::create(self->serverTools_);
        model->setCityName(entry->city().isString() ? entry->city().asString() : "");
        model->setCountryName(entry->country().isString() ? entry->country().asString() : "");
        model->setServerName(entry->prefix().isString() ? entry->prefix().asString() : "");
        model->setType(type);
        if (!prefix.empty() && model->serverName() == prefix) current = model;
        out.push_back(model);
      }
    };
    build(available->pptp(), "PPTP", *pptp);
    build(available->open(), "Open", *open);
    if (!pptp->empty()) account->setHasPPTPServers(true);
    if (!open->empty()) account->setHasOpenServers(true);
    auto order = [](const ServerModel::Ptr& a, const ServerModel::Ptr& b) {
      const std::string ca = a->countryName(), cb = b->countryName();
      if (ca != cb) return ca > cb;
      const std::string ta = a->cityName(), tb = b->cityName();
      if (ta != tb) return ta < tb;
      return a->serverName() < b->serverName();
    };
    std::stable_sort(pptp->begin(), pptp->end(), order);
    std::stable_sort(open->begin(), open->end(), order);
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->openServers_ = open;
      self->pptpServers_ = pptp;
      self->currentServer_ = current;
    }
    self->setCurrentServers(account->isOpenAccount() ? open : pptp);
  };
  client_->getPath(
      platform::format("/servers/?plan=%@&packid=%@", *plan, *pack), Value(), success,
      [failed](const NKHTTPRequestOperation::Ptr&, const platform::Error&) { failed(); });
}

int VRAccountManager::connectionType() {
  auto account = currentAccount();
  if (!account) return kConnectionTypeL2TP;
  const std::string key = connectionKeyForAccount(*account);
  int type = static_cast<int>(defaults_->integerForKey(key));
  if (!account->isCompatibleConnectionType(type)) {
    type = account->defaultConnectionTypeForAccountType();
    defaults_->setObject(Value(type), key);
    defaults_->synchronize();
  }
  return type;
}

void VRAccountManager::setConnectionType(int type) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  auto account = currentAccount();
  if (account) {
    defaults_->setObject(Value(type), connectionKeyForAccount(*account));
    defaults_->synchronize();
  }
  if (type >= kConnectionTypePPTP && type <= kConnectionTypeSSTP) {
    defaults_->setObject(Value(type), kPPTPTypeKey);
  } else if (ipc::isOpenVPNConnectionType(type) && account) {
    updateOpenVPNProtocolOptionsForAccount(account, type);
  }
  post(kConnectionTypeDidChangeNotification);
}

// --- requests --------------------------------------------------------------------

void VRAccountManager::loginWithUsername(const std::string& username, const std::string& password,
                                         ReplyHandler completion) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  VarnelLog::sharedInstance().registerSecret(password);
  Value parameters = Value::dictionary(
      {{"u", Value(username)}, {"p", Value(password)}, {"v", Value(apiVersion())}});
  auto self = shared_from_this();
  client_->getPathFromDIPOnceAnswered(
      "login/", parameters,
      [self, completion](const NKHTTPRequestOperation::Ptr&, const Value& reply) {
        Value answer = reply;
        if (!reply.isDictionary()) {
          answer = Value::dictionary(
              {{"error", Value("The login server sent a reply that could not be read.")}});
        } else if (!reply.contains("error")) {
          self->updateAccountInfoWithDictionary(reply);
        }
        if (completion) completion(answer);
      },
      [completion](const NKHTTPRequestOperation::Ptr&, const platform::Error& error) {
        VarnelLog::sharedInstance().AddToLog(
            platform::format("Login failed: %@ (%@ %ld)", error.localizedDescription(),
                             error.domain(), static_cast<long>(error.code())));
        if (completion) completion(Value::dictionary({{"error", Value(loginErrorMessage(error))}}));
      });
}

std::string VRAccountManager::loginErrorMessage(const platform::Error& error) {
  // The service's own words ("ERROR - ..." replies) are meant for the user.
  const std::string said = trimmedText(error.localizedRecoverySuggestion());
  if (!said.empty() && said == error.localizedDescription()) return said;
  if ((error.domain() == net::http::kNKNetworkingErrorDomain && error.code() == -1016) ||
      error.domain() == codecs::kJTErrorDomain)
    return kLoginUnreadableReplyText;
  // The server was reached: a reply too large or not HTTP could not be read,
  // and one that did not come in time is the server's slowness, not the
  // user's connection.
  if (error.domain() == platform::kURLErrorDomain) {
    // What failed is named: a refused certificate or a proxy that wants
    // credentials is not the user's Internet connection.
    if (error.code() == platform::urlloading::kURLErrorServerCertificateUntrusted)
      return kLoginCertificateText;
    if (error.code() == platform::urlloading::kURLErrorUserAuthenticationRequired)
      return kLoginProxyAuthenticationText;
    if (error.code() == platform::urlloading::kURLErrorDataLengthExceedsMaximum ||
        error.code() == platform::urlloading::kURLErrorBadServerResponse)
      return kLoginUnreadableReplyText;
    if (error.code() == platform::urlloading::kURLErrorTimedOut) return kLoginUnavailableText;
  }
  if (error.domain() == net::http::kNKNetworkingErrorDomain) {
    // A plain-HTTP proxy answers 407 in place of the server.
    const Value response =
        error.userInfo()[net::http::kNKNetworkingOperationFailingURLResponseErrorKey];
    if (response["status"].asInt64() == 407) return kLoginProxyAuthenticationText;
    return kLoginUnavailableText;
  }
  return kLoginUnreachableText;
}

bool VRAccountManager::isLocalLoginFailure(const std::string& text) {
  return text == kLoginUnreadableReplyText || text == kLoginUnavailableText ||
         text == kLoginUnreachableText || text == kLoginCertificateText ||
         text == kLoginProxyAuthenticationText;
}

void VRAccountManager::pollWithCompletionHandler(ReplyHandler completion) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  auto info = accountInfo();
  if (!info || !info->accountHash().isString() || !info->key().isString()) return;
  Value parameters = Value::dictionary(
      {{"hash", info->accountHash()}, {"key", info->key()}, {"version", Value(apiVersion())}});
  const std::string country = pathValue(info->countryCode()).value_or("");
  auto self = shared_from_this();
  client_->postToDIP(
      platform::format("poll/?country_code=%@", country), parameters,
      [self, info, completion](const NKHTTPRequestOperation::Ptr&, const Value& reply) {
        info->setCountryCode(reply["country_code"].isString() ? reply["country_code"] : Value());
        const Value user = reply["user"];
        if (user.isDictionary()) {
          for (const auto& [key, value] : user.pairs()) {
            if (key.isString()) info->setValue(key.asString(), value);
          }
        }
        if (completion) completion(reply);
      },
      nullptr);
}

void VRAccountManager::switchServer(const ServerModel::Ptr& server, ReplyHandler completion) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  auto info = accountInfo();
  auto account = currentAccount();
  const auto key = info ? pathValue(info->key()) : std::nullopt;
  const auto pack = account ? pathValue(account->accountId()) : std::nullopt;
  const std::string serverName = server ? server->serverName() : std::string();
  const auto prefix = pathValue(Value(serverName));
  if (!key || !pack || !prefix) {
    callLater(completion, Value());
    return;
  }
  const std::string path = platform::format("/switch/?key=%@&pack=%@&prefix=%@&v=%@", *key, *pack,
                                            *prefix, apiVersion());
  post(kSwitchWillStartNotification);
  auto self = shared_from_this();
  client_->getPath(
      path, Value(),
      [self, account, serverName, completion](const NKHTTPRequestOperation::Ptr&,
                                              const Value& reply) {
        if (!isUsableReply(reply)) {
          self->post(kSwitchDidStopNotification);
          if (completion) completion(Value());
          return;
        }
        self->defaults_->setObject(Value(account->accountId32()), kLastSelectedAccountKey);
        VarnelLog::sharedInstance().AddToLog(
            platform::format("Switched to the server %@.", serverName));
        self->updateAccountInfoWithDictionary(reply);
        self->post(kSwitchDidStopNotification);
        auto now = self->currentAccount();
        const bool moved =
            now && now->prefix().isString() && now->prefix().asString() == serverName;
        if (completion) completion(moved ? reply : Value());
      },
      [self, completion](const NKHTTPRequestOperation::Ptr&, const platform::Error&) {
        self->post(kSwitchDidStopNotification);
        if (completion) completion(Value());
      });
}

void VRAccountManager::updateOpenVPNProtocolOptionsForAccount(const BaseAccount::Ptr& account,
                                                              int type) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  if (!account || !account->isOpenAccount()) return;
  auto open = std::static_pointer_cast<OpenAccount>(account);
  if (open->planId().asInt64() == 131) {
    open->setUdp(type == kConnectionTypeOpenVPNUDP);
    return;
  }
  if (type == kConnectionTypeOpenVPNProxy) {
    if (open->udp()) changeTransport(open, false);
    return;
  }
  const bool wantUDP = type == kConnectionTypeOpenVPNUDP;
  if (open->udp() == wantUDP) return;
  changeTransport(open, wantUDP);
}

void VRAccountManager::changeTransport(const std::shared_ptr<OpenAccount>& account, bool toUDP) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  auto info = accountInfo();
  if (!info || !info->key().isString() || info->key().asString().empty() ||
      account->accountId().isNone()) {
    return;
  }
  // The request names the transport to move to, judged by "udp" now.
  const bool udpNow = account->udp();
  Value parameters = Value::dictionary({{"key", info->key()},
                                        {"pack", account->accountId()},
                                        {"proto", Value(udpNow ? "tcp" : "udp")},
                                        {"port", Value(udpNow ? "443" : "500")}});
  post(kSwitchWillStartNotification);
  auto self = shared_from_this();
  client_->postPath(
      "/change_open/", parameters,
      [self, account, toUDP](const NKHTTPRequestOperation::Ptr&, const Value& reply) {
        if (isUsableReply(reply)) {
          account->setUdp(toUDP);
          VarnelLog::sharedInstance().AddToLog(
              platform::format("The OpenVPN transport is now %@.", toUDP ? "UDP" : "TCP"));
        }
        self->post(kSwitchDidStopNotification);
      },
      [self](const NKHTTPRequestOperation::Ptr&, const platform::Error&) {
        self->post(kSwitchDidStopNotification);
      });
}

void VRAccountManager::selectNewServerForCurrentAccountWithConnectionType(int type,
                                                                          ReplyHandler completion) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  auto account = currentAccount();
  ServerListPtr candidates;
  if (account) candidates = account->isOpenAccount() ? pptpServers() : openServers();
  if (!candidates || candidates->empty()) {
    callLater(completion, Value());
    return;
  }
  ServerModel::Ptr chosen = candidates->front();
  if (auto current = currentServer()) {
    const std::string city = current->cityName();
    for (const auto& candidate : *candidates) {
      if (candidate->cityName() == city) {
        chosen = candidate;
        break;
      }
    }
  }
  auto self = shared_from_this();
  switchServer(chosen, [self, type, completion](const Value& reply) {
    self->setConnectionType(type);
    if (completion) completion(reply);
  });
}

}  // namespace client
