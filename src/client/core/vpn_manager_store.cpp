#include "client/core/vpn_manager_store.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "codecs/keychain_store.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/uuid.h"
#include "platform/sysconfig/nm_connection_driver.h"
#include "platform/system/file_util.h"
#include "platform/system/notification_center.h"
#include "platform/system/paths.h"
#include "platform/system/property_list.h"

namespace client {

namespace {

using platform::Value;
using platform::sysconfig::ConnectionStatus;

std::shared_ptr<SystemVPNManager>& slot() {
  static std::shared_ptr<SystemVPNManager> manager;
  return manager;
}

platform::Error vpnError(std::int64_t code, const std::string& text) {
  Value info = Value::mutableDictionary();
  info.set(platform::kLocalizedDescriptionKey, Value(text));
  return platform::Error(kSystemVPNErrorDomain, code, info);
}

// A keychain reference of VRVPNManager names its item: "genp", service,
// account, one per line.
std::optional<std::string> secretOfReference(const std::string& reference) {
  const std::size_t a = reference.find('\n');
  const std::size_t b = a == std::string::npos ? a : reference.find('\n', a + 1);
  if (b == std::string::npos || reference.substr(0, a) != "genp") return std::nullopt;
  return codecs::KeychainStore::passwordForService(reference.substr(a + 1, b - a - 1),
                                                   reference.substr(b + 1));
}

}  // namespace

std::shared_ptr<platform::sysconfig::ConnectionDriver> SystemVPNManager::systemDriver(
    const std::string& busAddress) {
  platform::sysconfig::NMConnectionDriver::Options o;
  o.busAddress = busAddress;
  o.secretLookup = secretOfReference;
  if (passwd* pw = ::getpwuid(::getuid())) o.ownerUser = pw->pw_name;
  return platform::sysconfig::NMConnectionDriver::create(std::move(o));
}

std::shared_ptr<platform::sysconfig::ConnectionDriver> SystemVPNManager::driver() {
  if (driver_) return driver_;
  static std::shared_ptr<platform::sysconfig::ConnectionDriver> system = systemDriver();
  return system;
}

std::shared_ptr<SystemVPNManager> SystemVPNManager::sharedManager() {
  if (!slot()) slot().reset(new SystemVPNManager());
  return slot();
}

void SystemVPNManager::resetSharedManagerForTesting(
    std::shared_ptr<platform::sysconfig::ConnectionDriver> driver) {
  slot().reset();
  if (driver) {
    slot().reset(new SystemVPNManager());
    slot()->driver_ = std::move(driver);
  }
}

std::string SystemVPNManager::preferencesPath() {
  return platform::paths::applicationSupport() + "/VarnelVPN/vpn-configuration.plist";
}

void SystemVPNManager::complete(Completion completion, platform::Error error) {
  if (!completion) return;
  platform::dispatch::Queue::main()->async(
      [completion = std::move(completion), error] { completion(error); });
}

Value SystemVPNManager::toValue() const {
  Value v = Value::mutableDictionary();
  v.set("localizedDescription", Value(localizedDescription));
  v.set("onDemandEnabled", Value(onDemandEnabled));
  v.set("enabled", Value(enabled));
  v.set("identifier", Value(identifier_));
  if (protocolConfiguration) {
    const IKEv2Protocol& p = *protocolConfiguration;
    v.set("protocol",
          Value::dictionary({{"type", "IKEv2"},
                             {"localIdentifier", Value(p.localIdentifier)},
                             {"remoteIdentifier", Value(p.remoteIdentifier)},
                             {"serverAddress", Value(p.serverAddress)},
                             {"useExtendedAuthentication", Value(p.useExtendedAuthentication)},
                             {"authenticationMethod", Value(p.authenticationMethod)},
                             {"passwordReference", Value::data(p.passwordReference)},
                             {"sharedSecretReference", Value::data(p.sharedSecretReference)},
                             {"ikeDiffieHellmanGroup", Value(p.ikeDiffieHellmanGroup)},
                             {"childDiffieHellmanGroup", Value(p.childDiffieHellmanGroup)},
                             {"disconnectOnSleep", Value(p.disconnectOnSleep)}}));
  }
  return v;
}

void SystemVPNManager::fromValue(const Value& v) {
  localizedDescription = v["localizedDescription"].asString();
  onDemandEnabled = v["onDemandEnabled"].asBool();
  enabled = v["enabled"].asBool();
  identifier_ = v["identifier"].isString() ? v["identifier"].asString() : std::string();
  protocolConfiguration.reset();
  Value p = v["protocol"];
  if (p.isDictionary() && p["type"].asString() == "IKEv2") {
    IKEv2Protocol ike;
    ike.localIdentifier = p["localIdentifier"].asString();
    ike.remoteIdentifier = p["remoteIdentifier"].asString();
    ike.serverAddress = p["serverAddress"].asString();
    ike.useExtendedAuthentication = p["useExtendedAuthentication"].asBool();
    ike.authenticationMethod = static_cast<int>(p["authenticationMethod"].asInt64());
    ike.passwordReference = p["passwordReference"].asData();
    ike.sharedSecretReference = p["sharedSecretReference"].asData();
    ike.ikeDiffieHellmanGroup = static_cast<int>(p["ikeDiffieHellmanGroup"].asInt64());
    ike.childDiffieHellmanGroup = static_cast<int>(p["childDiffieHellmanGroup"].asInt64());
    ike.disconnectOnSleep = p["disconnectOnSleep"].asBool();
    protocolConfiguration = ike;
  }
}

void SystemVPNManager::loadFromPreferences(Completion completion) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  struct stat st;
  platform::Error error;
  if (::stat(preferencesPath().c_str(), &st) == 0) {
    Value stored = platform::plist::readFile(preferencesPath(), &error);
    if (stored.isDictionary()) {
      fromValue(stored);
      saved_ = true;
    } else if (!error) {
      error = vpnError(1, "The VPN configuration is unreadable.");
    }
  } else {
    saved_ = false;
  }
  complete(std::move(completion), error);
}

void SystemVPNManager::saveToPreferences(Completion completion) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  platform::Error error;
  if (identifier_.empty()) identifier_ = platform::UUID::random().string();
  const std::string folder = platform::files::parentFolder(preferencesPath());
  if (!platform::paths::createDirectories(folder, 0700) ||
      !platform::plist::writeFile(preferencesPath(), toValue(), 0600, &error)) {
    if (!error) error = vpnError(2, "The VPN configuration could not be saved.");
  } else {
    saved_ = true;
  }
  complete(std::move(completion), error);
}

void SystemVPNManager::removeFromPreferences(Completion completion) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  stopVPNTunnel();
  platform::Error error;
  if (::unlink(preferencesPath().c_str()) != 0 && errno != ENOENT)
    error = platform::Error::posix(errno, preferencesPath());
  saved_ = false;
  complete(std::move(completion), error);
}

bool SystemVPNManager::startVPNTunnel(platform::Error* error) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  if (!saved_ || !enabled || !protocolConfiguration) {
    if (error) *error = vpnError(3, "No enabled VPN configuration is saved.");
    return false;
  }
  std::weak_ptr<SystemVPNManager> weak = weak_from_this();
  if (connection_) driver()->stop(connection_, false);
  connection_ = platform::sysconfig::NetworkConnection::create(
      identifier_,
      [weak](const platform::sysconfig::NetworkConnectionPtr& c, ConnectionStatus status, void*) {
        const std::string reason = c ? c->failureReason() : std::string();
        platform::dispatch::Queue::main()->async([weak, status, reason] {
          auto self = weak.lock();
          if (!self) return;
          self->status_ = status;
          if (status == ConnectionStatus::Disconnected) self->failureReason_ = reason;
          platform::NotificationCenter::defaultCenter().post(kSystemVPNStatusDidChangeNotification,
                                                             self);
        });
      },
      nullptr, {}, driver());
  const IKEv2Protocol& p = *protocolConfiguration;
  platform::sysconfig::NetworkService service;
  service.serviceID = identifier_;
  service.name = localizedDescription;
  service.interfaceChain = {platform::sysconfig::kSCNetworkInterfaceTypeIKEv2};
  service.setInterfaceConfiguration(
      platform::sysconfig::kSCNetworkInterfaceTypeIKEv2,
      Value::dictionary(
          {{platform::sysconfig::kSCPropNetIPSecRemoteAddress, Value(p.serverAddress)},
           {"LocalIdentifier", Value(p.localIdentifier)},
           {"RemoteIdentifier", Value(p.remoteIdentifier)},
           {platform::sysconfig::kSCPropNetIPSecAuthenticationMethod,
            platform::sysconfig::kSCValNetIPSecAuthenticationMethodSharedSecret},
           {platform::sysconfig::kSCPropNetIPSecSharedSecret,
            Value(std::string(p.sharedSecretReference.begin(), p.sharedSecretReference.end()))}}));
  failureReason_.clear();
  if (!driver()->start(connection_, service)) {
    failureReason_ = connection_->failureReason();
    if (error)
      *error = vpnError(
          4, failureReason_.empty() ? "The VPN tunnel could not be started." : failureReason_);
    return false;
  }
  return true;
}

void SystemVPNManager::stopVPNTunnel() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  if (connection_) driver()->stop(connection_, false);
}

}  // namespace client
