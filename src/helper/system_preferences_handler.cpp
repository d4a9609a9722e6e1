#include "helper/system_preferences_handler.h"

#include <atomic>
#include <cstring>

#include "helper/helper_log.h"
#include "platform/foundation/uuid.h"
#include "platform/sysconfig/nm_connection_driver.h"

namespace helper {

namespace sc = platform::sysconfig;
using platform::Value;

namespace {

std::mutex& sharedMutex() {
  static std::mutex m;
  return m;
}

std::weak_ptr<SystemPreferencesHandler>& sharedSlot() {
  static std::weak_ptr<SystemPreferencesHandler> slot;
  return slot;
}

std::string sharedSecretName(const std::string& serviceID) {
  return platform::format("%@.SS", serviceID);
}

std::string freshUnique() { return platform::UUID::random().string(); }

// The first problem of the values, stored in `*refusal`; true when none.
bool valuesUsable(std::initializer_list<std::string> problems, std::string* refusal) {
  for (const std::string& p : problems) {
    if (p.empty()) continue;
    HelperLog("Connection request refused: %@", p);
    if (refusal) *refusal = p;
    return false;
  }
  return true;
}

}  // namespace

std::shared_ptr<SystemPreferencesHandler> SystemPreferencesHandler::create(
    std::shared_ptr<sc::ConnectionDriver> driver, std::string preferencesPath,
    std::string keychainPath, sc::Authorization::Options authorization) {
  std::shared_ptr<SystemPreferencesHandler> handler(new SystemPreferencesHandler());
  handler->driver_ = std::move(driver);
  handler->authHandler_ = AuthorizationHandler(std::move(authorization));
  if (!handler->authHandler_.Activate()) {
    HelperLog("Unable to gain authorization.");
    return nullptr;
  }
  handler->prefRef_ = sc::Preferences::create(kPreferencesName, std::move(preferencesPath));
  handler->keyServ_ = std::make_unique<KeychainServices>(std::move(keychainPath));
  std::lock_guard<std::mutex> lock(sharedMutex());
  sharedSlot() = handler;
  return handler;
}

std::shared_ptr<SystemPreferencesHandler> SystemPreferencesHandler::shared() {
  std::lock_guard<std::mutex> lock(sharedMutex());
  return sharedSlot().lock();
}

Value SystemPreferencesHandler::GenerateDefaultPPPDictionary() {
  Value d = Value::mutableDictionary();
  d.set(sc::kSCPropNetPPPAuthPasswordEncryption, sc::kSCValNetPPPAuthPasswordEncryptionKeychain);
  d.set(sc::kSCPropNetPPPACSPEnabled, 1);
  d.set(sc::kSCPropNetPPPCCPEnabled, 1);
  d.set(sc::kSCPropNetPPPVerboseLogging, 1);
  d.set(sc::kSCPropNetPPPCCPMPPE128Enabled, 1);
  d.set(sc::kSCPropNetPPPCCPMPPE40Enabled, 1);
  d.set(sc::kSCPropNetPPPDisconnectOnFastUserSwitch, 0);
  d.set(sc::kSCPropNetPPPDisconnectOnLogout, 1);
  d.set(sc::kSCPropNetPPPOverridePrimary, 1);
  d.set(sc::kSCPropNetPPPIPCPUsePeerDNS, 1);
  d.set(sc::kSCPropNetPPPLogfile, "/var/log/ppp.log");
  d.set(sc::kSCPropNetPPPCommRedialEnabled, 1);
  return d;
}

const std::vector<std::string>& SystemPreferencesHandler::trustedApplications() {
  // The programs of this system that use the secrets: NetworkManager,
  // which hands them to its VPN plugins, the plugins themselves and the
  // link programs they run. Those not installed are left out.
  static const std::vector<std::string> apps = {"/usr/sbin/NetworkManager",
                                                "/usr/lib/NetworkManager/nm-pptp-service",
                                                "/usr/lib/NetworkManager/nm-l2tp-service",
                                                "/usr/lib/NetworkManager/nm-vpnc-service",
                                                "/usr/sbin/vpnc",
                                                "/usr/sbin/pppd",
                                                "/usr/lib/ipsec/charon-nm",
                                                "/usr/sbin/ipsec"};
  return apps;
}

std::optional<sc::NetworkService> SystemPreferencesHandler::GetNetworkService(
    const std::string& name) {
  for (const sc::NetworkService& s : prefRef_->allServices())
    if (s.name == name && s.enabled) return s;
  return std::nullopt;
}

void SystemPreferencesHandler::DeleteNetworkService(const std::string& name) {
  keyServ_->DeleteEntry(kServiceName);
  std::optional<sc::NetworkService> service = GetNetworkService(name);
  if (service && !prefRef_->removeService(service->serviceID))
    HelperLog("Network service removal error: %s", std::strerror(prefRef_->lastError()));
  // The system's own copy of the service (a connection profile) goes too.
  if (driver_) driver_->removeService(service ? service->serviceID : std::string(), name);
}

void SystemPreferencesHandler::commonStart() {
  prefRef_->lock(true);
  DeleteNetworkService(kServiceName);
}

void SystemPreferencesHandler::commonEnd(const std::string& serviceID) {
  prefRef_->addServiceToCurrentSet(serviceID);
  MoveServiceToTop(serviceID, *prefRef_);
  // Commit while the lock is held, so no other writer slips in between.
  prefRef_->commitChanges();
  prefRef_->unlock();
  prefRef_->applyChanges();
  prefRef_->synchronize();
}

bool SystemPreferencesHandler::CreatePPTPService(const std::string& server,
                                                 const std::string& username,
                                                 const std::string& password,
                                                 std::string* refusal) {
  if (!valuesUsable({sc::nmGatewayProblem(server), sc::nmTextProblem("user name", username),
                     sc::nmTextProblem("password", password)},
                    refusal))
    return false;
  commonStart();
  sc::NetworkService service =
      prefRef_->createService({sc::kSCNetworkInterfaceTypeIPv4, sc::kSCNetworkInterfaceTypePPTP,
                               sc::kSCNetworkInterfaceTypePPP});
  service.name = kServiceName;
  service.setProtocolConfiguration(sc::kSCEntNetIPv4, Value::dictionary());
  keyServ_->CreateEntry(kServiceName, username, password, service.serviceID, trustedApplications());
  Value ppp = GenerateDefaultPPPDictionary();
  ppp.set(sc::kSCPropNetPPPAuthName, username);
  ppp.set(sc::kSCPropNetPPPAuthPassword, service.serviceID);
  ppp.set(sc::kSCPropNetPPPCommRemoteAddress, server);
  service.setInterfaceConfiguration(sc::kSCNetworkInterfaceTypePPP, ppp);
  Value ipv4 = service.protocolConfiguration(sc::kSCEntNetIPv4).mutableCopy();
  ipv4.set(sc::kSCPropNetOverridePrimary, true);
  service.setProtocolConfiguration(sc::kSCEntNetIPv4, ipv4);
  prefRef_->updateService(service);
  commonEnd(service.serviceID);
  return true;
}

bool SystemPreferencesHandler::CreateL2TPService(const std::string& server,
                                                 const std::string& username,
                                                 const std::string& password,
                                                 const std::string& sharedSecret,
                                                 std::string* refusal) {
  if (!valuesUsable({sc::nmGatewayProblem(server), sc::nmTextProblem("user name", username),
                     sc::nmTextProblem("password", password),
                     sc::nmKeyProblem("shared secret", sharedSecret)},
                    refusal))
    return false;
  commonStart();
  sc::NetworkService service =
      prefRef_->createService({sc::kSCNetworkInterfaceTypeIPv4, sc::kSCNetworkInterfaceTypeL2TP,
                               sc::kSCNetworkInterfaceTypePPP});
  service.name = kServiceName;
  service.setProtocolConfiguration(sc::kSCEntNetIPv4, Value::dictionary());
  Value ppp = GenerateDefaultPPPDictionary();
  ppp.set(sc::kSCPropNetPPPAuthName, username);
  ppp.set(sc::kSCPropNetPPPAuthPassword, service.serviceID);
  ppp.set(sc::kSCPropNetPPPCommRemoteAddress, server);
  ppp.set(sc::kSCPropNetIPSecAuthenticationMethod,
          sc::kSCValNetL2TPIPSecSharedSecretEncryptionKeychain);
  service.setInterfaceConfiguration(sc::kSCNetworkInterfaceTypePPP, ppp);
  service.setExtendedConfiguration(sc::kSCNetworkInterfaceTypeL2TP, sc::kSCEntNetIPv4, ppp);
  service.setExtendedConfiguration(
      sc::kSCNetworkInterfaceTypePPP, sc::kSCEntNetIPSec,
      Value::dictionary({{"AuthenticationMethod", "SharedSecret"},
                         {sc::kSCPropNetIPSecSharedSecret, sharedSecretName(service.serviceID)},
                         {sc::kSCPropNetIPSecSharedSecretEncryption,
                          sc::kSCValNetIPSecSharedSecretEncryptionKeychain}}));
  Value ipv4 = Value::mutableDictionary();
  ipv4.set(sc::kSCPropNetOverridePrimary, true);
  service.setProtocolConfiguration(sc::kSCEntNetIPv4, ipv4);
  prefRef_->updateService(service);
  commonEnd(service.serviceID);
  keyServ_->CreateEntry(kServiceName, username, password, service.serviceID, trustedApplications());
  keyServ_->CreateEntry(kServiceName, "", sharedSecret, sharedSecretName(service.serviceID),
                        trustedApplications());
  return true;
}

bool SystemPreferencesHandler::CreateIPSecService(const std::string& server, const std::string& psk,
                                                  std::string* refusal) {
  if (!valuesUsable({sc::nmGatewayProblem(server), sc::nmKeyProblem("shared secret", psk)},
                    refusal))
    return false;
  commonStart();
  sc::NetworkService service =
      prefRef_->createService({sc::kSCNetworkInterfaceTypeIPv4, sc::kSCNetworkInterfaceTypeIPSec});
  service.name = kServiceName;
  keyServ_->CreateEntry(kServiceName, freshUnique(), freshUnique(), service.serviceID,
                        trustedApplications());
  keyServ_->CreateEntry(kServiceName, "", psk, sharedSecretName(service.serviceID),
                        trustedApplications());
  Value ipsec = Value::mutableDictionary();
  ipsec.set(sc::kSCPropNetIPSecAuthenticationMethod,
            sc::kSCValNetIPSecAuthenticationMethodSharedSecret);
  ipsec.set(sc::kSCPropNetIPSecXAuthName, freshUnique());
  ipsec.set(sc::kSCPropNetIPSecXAuthPassword, service.serviceID);
  ipsec.set(sc::kSCPropNetIPSecXAuthEnabled, 1);
  ipsec.set(sc::kSCPropNetIPSecXAuthPasswordEncryption,
            sc::kSCValNetIPSecXAuthPasswordEncryptionKeychain);
  ipsec.set(sc::kSCPropNetIPSecSharedSecret, sharedSecretName(service.serviceID));
  ipsec.set(sc::kSCPropNetIPSecSharedSecretEncryption,
            sc::kSCValNetIPSecSharedSecretEncryptionKeychain);
  ipsec.set(sc::kSCPropNetIPSecRemoteAddress, server);
  service.setInterfaceConfiguration(sc::kSCNetworkInterfaceTypeIPSec, ipsec);
  prefRef_->updateService(service);
  commonEnd(service.serviceID);
  return true;
}

bool SystemPreferencesHandler::ConnectToService(const std::string& name, ConnectionBlock block,
                                                sc::NetworkConnectionPtr* started) {
  prefRef_->lock(true);
  std::optional<sc::NetworkService> service = GetNetworkService(name);
  if (!service) {
    prefRef_->unlock();
    return false;
  }
  // Each connection remembers its own last status: a repeat is dropped, a
  // change is reported. (One shared memory for all connections would drop
  // a new connection's first report when it repeats the old one's last.)
  auto last = std::make_shared<std::atomic<int>>(static_cast<int>(sc::ConnectionStatus::Invalid));
  // Each connection reports to the block it was started with, so a late
  // report of an older connection never reaches a newer connection's block.
  sc::NetworkConnectionPtr connection = sc::NetworkConnection::create(
      service->serviceID,
      [block, last](const sc::NetworkConnectionPtr& c, sc::ConnectionStatus status, void* ctx) {
        if (last->exchange(static_cast<int>(status)) == static_cast<int>(status)) return;
        if (block) block(c, status, ctx);
      },
      nullptr, prefRef_->path(), driver_);
  setConnectionBlock(std::move(block));
  prefRef_->unlock();
  connection->setDispatchQueue(platform::dispatch::Queue::global());
  if (started) *started = connection;
  if (connection->start(Value(), false)) return true;
  const std::string reason = connection->failureReason();
  if (!reason.empty()) HelperLog("Connection %@ could not be started: %@", name, reason);
  return false;
}

void SystemPreferencesHandler::setProfileOwner(const std::string& user) {
  if (driver_) driver_->setProfileOwner(user);
}

void SystemPreferencesHandler::removeOwnProfiles() {
  if (driver_) driver_->removeLeftovers();
}

void SystemPreferencesHandler::DisconnectService(const sc::NetworkConnectionPtr& connection) {
  if (!connection) return;
  for (int attempt = 0; attempt < 5; ++attempt)
    if (connection->stop(false)) return;
  connection->stop(true);
}

void SystemPreferencesHandler::MoveServiceToTop(const std::string& serviceID,
                                                sc::Preferences& set) {
  std::vector<std::string> order;
  for (const std::string& id : set.serviceOrder()) {
    if (id == serviceID)
      order.insert(order.begin(), id);
    else
      order.push_back(id);
  }
  set.setServiceOrder(std::move(order));
}

SystemPreferencesHandler::ConnectionBlock SystemPreferencesHandler::connectionBlock() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connectionBlock_;
}

void SystemPreferencesHandler::setConnectionBlock(ConnectionBlock block) {
  std::lock_guard<std::mutex> lock(mutex_);
  connectionBlock_ = std::move(block);
}

}  // namespace helper
