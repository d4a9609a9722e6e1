#include "platform/sysconfig/preferences.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/foundation/uuid.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "platform/system/property_list.h"

namespace platform::sysconfig {

namespace {

Value dictionaryOrEmpty(const Value& v) {
  return v.isDictionary() ? v.mutableCopy() : Value::mutableDictionary();
}

Value stringArray(const std::vector<std::string>& items) {
  std::vector<Value> values;
  for (const auto& s : items) values.emplace_back(s);
  return Value::array(std::move(values));
}

std::vector<std::string> strings(const Value& array) {
  std::vector<std::string> out;
  for (const Value& v : array.elements())
    if (v.isString()) out.push_back(v.asString());
  return out;
}

}  // namespace

Value NetworkService::interfaceConfiguration(const std::string& type) const {
  return interfaceConfigurations[type];
}

Value NetworkService::extendedConfiguration(const std::string& type,
                                            const std::string& entity) const {
  return extendedConfigurations[type][entity];
}

Value NetworkService::protocolConfiguration(const std::string& protocol) const {
  return protocolConfigurations[protocol];
}

void NetworkService::setInterfaceConfiguration(const std::string& type, const Value& config) {
  Value all = dictionaryOrEmpty(interfaceConfigurations);
  all.set(type, config.copy());
  interfaceConfigurations = all.copy();
}

void NetworkService::setExtendedConfiguration(const std::string& type, const std::string& entity,
                                              const Value& config) {
  Value all = dictionaryOrEmpty(extendedConfigurations);
  Value forType = dictionaryOrEmpty(all[type]);
  forType.set(entity, config.copy());
  all.set(type, forType.copy());
  extendedConfigurations = all.copy();
}

void NetworkService::setProtocolConfiguration(const std::string& protocol, const Value& config) {
  Value all = dictionaryOrEmpty(protocolConfigurations);
  all.set(protocol, config.copy());
  protocolConfigurations = all.copy();
}

std::shared_ptr<Preferences> Preferences::create(std::string name, std::string path) {
  std::shared_ptr<Preferences> prefs(new Preferences());
  prefs->name_ = std::move(name);
  prefs->path_ = path.empty() ? paths::systemPreferences() + "/network.plist" : std::move(path);
  prefs->load();
  return prefs;
}

Preferences::~Preferences() {
  if (lockFd_ >= 0) ::close(lockFd_);
}

void Preferences::load() {
  services_.clear();
  setServices_.clear();
  order_.clear();
  Value root = plist::readFile(path_);
  if (!root.isDictionary()) return;
  for (const Value& s : root["Services"].elements()) {
    NetworkService service;
    service.serviceID = s["ServiceID"].asString();
    service.name = s["UserDefinedName"].asString();
    service.enabled = s["Enabled"].asBool();
    service.interfaceChain = strings(s["Interfaces"]);
    service.interfaceConfigurations = s["Interface"];
    service.extendedConfigurations = s["Extended"];
    service.protocolConfigurations = s["Protocols"];
    if (!service.serviceID.empty()) services_.push_back(std::move(service));
  }
  setServices_ = strings(root["CurrentSet"]["Services"]);
  order_ = strings(root["CurrentSet"]["ServiceOrder"]);
}

Value Preferences::encode() const {
  std::vector<Value> services;
  for (const NetworkService& s : services_) {
    Value d = Value::mutableDictionary();
    d.set("ServiceID", s.serviceID);
    d.set("UserDefinedName", s.name);
    d.set("Enabled", s.enabled);
    d.set("Interfaces", stringArray(s.interfaceChain));
    d.set("Interface", s.interfaceConfigurations.isDictionary() ? s.interfaceConfigurations
                                                                : Value::dictionary());
    d.set("Extended",
          s.extendedConfigurations.isDictionary() ? s.extendedConfigurations : Value::dictionary());
    d.set("Protocols",
          s.protocolConfigurations.isDictionary() ? s.protocolConfigurations : Value::dictionary());
    services.push_back(d.copy());
  }
  return Value::dictionary(
      {{"Services", Value::array(std::move(services))},
       {"CurrentSet", Value::dictionary({{"Services", stringArray(setServices_)},
                                         {"ServiceOrder", stringArray(order_)}})}});
}

bool Preferences::lock(bool wait) {
  if (locked_) {
    lastError_ = EDEADLK;
    return false;
  }
  if (lockFd_ < 0) {
    const std::string folder = files::parentFolder(path_);
    paths::createDirectories(folder, 0755);
    lockFd_ = ::open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0) {
      lastError_ = errno;
      return false;
    }
  }
  int rc;
  while ((rc = ::flock(lockFd_, wait ? LOCK_EX : LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (rc != 0) {
    lastError_ = errno;
    return false;
  }
  locked_ = true;
  load();
  return true;
}

bool Preferences::unlock() {
  if (!locked_) return false;
  ::flock(lockFd_, LOCK_UN);
  locked_ = false;
  return true;
}

bool Preferences::commitChanges() {
  paths::createDirectories(files::parentFolder(path_), 0755);
  Error error;
  if (!plist::writeFile(path_, encode(), 0600, &error)) {
    lastError_ = error.domain() == kPOSIXErrorDomain ? static_cast<int>(error.code()) : EIO;
    return false;
  }
  return true;
}

bool Preferences::applyChanges() {
  ++applyCount_;
  return true;
}

void Preferences::synchronize() { load(); }

std::vector<NetworkService> Preferences::allServices() const { return services_; }

std::optional<NetworkService> Preferences::service(const std::string& serviceID) const {
  for (const auto& s : services_)
    if (s.serviceID == serviceID) return s;
  return std::nullopt;
}

NetworkService Preferences::createService(std::vector<std::string> interfaceChain) {
  NetworkService service;
  service.serviceID = UUID::random().string();
  service.interfaceChain = std::move(interfaceChain);
  services_.push_back(service);
  return service;
}

bool Preferences::updateService(const NetworkService& service) {
  for (auto& s : services_) {
    if (s.serviceID == service.serviceID) {
      s = service;
      return true;
    }
  }
  lastError_ = ENOENT;
  return false;
}

bool Preferences::removeService(const std::string& serviceID) {
  auto it = std::find_if(services_.begin(), services_.end(),
                         [&](const NetworkService& s) { return s.serviceID == serviceID; });
  if (it == services_.end()) {
    lastError_ = ENOENT;
    return false;
  }
  services_.erase(it);
  std::erase(setServices_, serviceID);
  std::erase(order_, serviceID);
  return true;
}

std::vector<std::string> Preferences::serviceOrder() const { return order_; }

void Preferences::setServiceOrder(std::vector<std::string> order) { order_ = std::move(order); }

bool Preferences::addServiceToCurrentSet(const std::string& serviceID) {
  if (!service(serviceID) ||
      std::find(setServices_.begin(), setServices_.end(), serviceID) != setServices_.end())
    return false;
  setServices_.push_back(serviceID);
  order_.push_back(serviceID);
  return true;
}

std::vector<std::string> Preferences::currentSetServices() const { return setServices_; }

}  // namespace platform::sysconfig
