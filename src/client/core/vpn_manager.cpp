#include "client/core/vpn_manager.h"

#include "client/Singletons/varnel_log.h"
#include "client/core/connection_state.h"
#include "codecs/keychain_store.h"
#include "platform/foundation/format.h"

namespace client {

namespace {

using platform::sysconfig::ConnectionStatus;

// The item password of the IKEv2 configuration's password reference; the
// configuration authenticates with the shared secret, so it is not a secret.
constexpr const char* kIKEv2FixedPassword = "varnelvpn-ikev2";

std::string text(const platform::Value& v) { return v.isString() ? v.asString() : v.description(); }

}  // namespace

std::shared_ptr<VRVPNManager> VRVPNManager::create() {
  std::shared_ptr<VRVPNManager> manager(new VRVPNManager());
  std::weak_ptr<VRVPNManager> weak = manager;
  manager->token_ = platform::NotificationCenter::defaultCenter().addObserver(
      kSystemVPNStatusDidChangeNotification, nullptr, nullptr,
      [weak](const platform::Notification&) {
        if (auto self = weak.lock()) self->statusChanged();
      });
  return manager;
}

VRVPNManager::~VRVPNManager() {
  platform::NotificationCenter::defaultCenter().removeObserver(token_);
}

void VRVPNManager::statusChanged() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  if (!started_) return;
  ConnectionStatus status = SystemVPNManager::sharedManager()->status();
  if (status == ConnectionStatus::Connected && !up_) {
    up_ = true;
    platform::NotificationCenter::defaultCenter().post(kVPNConnectNotification);
  } else if (status == ConnectionStatus::Disconnected || status == ConnectionStatus::Invalid) {
    const std::string& reason = SystemVPNManager::sharedManager()->failureReason();
    if (!reason.empty())
      VarnelLog::sharedInstance().AddToLog(
          platform::format("The IKEv2 connection ended: %@", reason));
    started_ = false;
    up_ = false;
    platform::NotificationCenter::defaultCenter().post(kVPNDisconnectNotification);
  }
}

std::optional<platform::Bytes> VRVPNManager::retrieveKeychain(const std::string& service,
                                                              const std::string& account) {
  if (!codecs::KeychainStore::passwordDataForService(service, account)) return std::nullopt;
  // The store has no persistent handles: the reference names the item.
  const std::string reference = "genp\n" + service + "\n" + account;
  return platform::Bytes(reference.begin(), reference.end());
}

void VRVPNManager::setupIKEv2ConnectionForAccount(const BaseAccount::Ptr& account) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  if (account && account->isOpenAccount())
    setupIKEv2ConnectionForOpenAccount(std::static_pointer_cast<OpenAccount>(account));
}

void VRVPNManager::setupIKEv2ConnectionForOpenAccount(const OpenAccount::Ptr& account) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  auto manager = SystemVPNManager::sharedManager();
  std::weak_ptr<VRVPNManager> weak = weak_from_this();
  manager->loadFromPreferences([weak, manager, account](const platform::Error& loadError) {
    auto self = weak.lock();
    if (!self || loadError) return;
    manager->localizedDescription = kIKEv2Description;
    IKEv2Protocol protocol = manager->protocolConfiguration.value_or(IKEv2Protocol());
    const std::string identifier = platform::format("%@_psk", account->ipsecUsername());
    protocol.localIdentifier = identifier;
    protocol.remoteIdentifier = identifier;
    protocol.serverAddress = text(account->ipsecHostname());
    protocol.useExtendedAuthentication = false;
    protocol.authenticationMethod = kIKEv2AuthenticationMethodSharedSecret;
    codecs::KeychainStore::setPassword(text(account->sharedKey()), std::string(kIKEv2PSKService),
                                       std::string(kIKEv2KeychainAccount));
    codecs::KeychainStore::setPassword(std::string(kIKEv2FixedPassword),
                                       std::string(kIKEv2PasswordService),
                                       std::string(kIKEv2KeychainAccount));
    protocol.passwordReference =
        retrieveKeychain(kIKEv2PasswordService, kIKEv2KeychainAccount).value_or(platform::Bytes());
    protocol.sharedSecretReference =
        retrieveKeychain(kIKEv2PSKService, kIKEv2KeychainAccount).value_or(platform::Bytes());
    protocol.ikeDiffieHellmanGroup = 2;
    protocol.childDiffieHellmanGroup = 2;
    protocol.disconnectOnSleep = false;
    manager->protocolConfiguration = protocol;
    manager->onDemandEnabled = true;
    manager->enabled = true;
    manager->saveToPreferences([weak, manager](const platform::Error&) {
      manager->loadFromPreferences([weak, manager](const platform::Error& error) {
        auto owner = weak.lock();
        if (error) {
          VarnelLog::sharedInstance().AddToLog("The IKEv2 configuration could not be loaded.");
          manager->removeFromPreferences(nullptr);
          return;
        }
        if (owner) owner->started_ = true;
        platform::Error startError;
        if (!manager->startVPNTunnel(&startError) && owner) {
          VarnelLog::sharedInstance().AddToLog(platform::format(
              "The IKEv2 connection could not be started: %@", startError.localizedDescription()));
          owner->started_ = false;
          platform::NotificationCenter::defaultCenter().post(kVPNDisconnectNotification);
        }
      });
    });
  });
}

void VRVPNManager::setupIPSecAndConnectAccount(const BaseAccount::Ptr&,
                                               std::function<void(const platform::Error&)>) {
  SystemVPNManager::sharedManager()->localizedDescription = kIPSecDescription;
}

}  // namespace client
