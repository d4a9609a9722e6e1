#include "sdk/platform/ctr_user_defaults.h"

#include <cerrno>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "platform/foundation/error.h"
#include "platform/system/paths.h"
#include "platform/system/property_list.h"
#include "platform/system/user_defaults.h"
#include "sdk/platform/bcn_application.h"
#include "sdk/platform/bcn_console.h"

namespace sdk {

namespace {

std::mutex& sharedMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<CTRUserDefaults>& sharedSlot() {
  static std::shared_ptr<CTRUserDefaults> shared;
  return shared;
}

// Whose store the next shared one is; null: the running program's.
platform::BundlePtr& sharedBundle() {
  static platform::BundlePtr bundle;
  return bundle;
}

}  // namespace

std::shared_ptr<CTRUserDefaults> CTRUserDefaults::standardUserDefaults() {
  std::lock_guard lock(sharedMutex());
  std::shared_ptr<CTRUserDefaults>& shared = sharedSlot();
  if (!shared) {
    const platform::BundlePtr& bundle = sharedBundle();
    shared =
        std::make_shared<CTRUserDefaults>(Passkey{}, bundle ? bundle : platform::Bundle::main());
  }
  return shared;
}

void CTRUserDefaults::resetStandardUserDefaultsForTesting(platform::BundlePtr bundle) {
  std::shared_ptr<CTRUserDefaults> old;
  {
    std::lock_guard lock(sharedMutex());
    old = std::move(sharedSlot());
    sharedSlot() = nullptr;
    sharedBundle() = std::move(bundle);
  }
}

CTRUserDefaults::CTRUserDefaults(Passkey, const platform::BundlePtr& bundle)
    : serialDictionaryQueue_(
          platform::dispatch::Queue::createSerial(kCTRUserDefaultsAccessQueueLabel)),
      synchronizationQueue_(platform::dispatch::Queue::createSerial(kCTRUserDefaultsIOQueueLabel)) {
  serialDictionaryQueue_->sync([this, &bundle] {
    std::string directory = platform::paths::applicationSupport();
    std::string bundleIdentifier = BCNApplicationGetBundleIdentifier(bundle);
    if (!bundleIdentifier.empty()) directory += "/" + bundleIdentifier;
    directory += "/";
    directory += kCTRUserDefaultsDirectoryName;
    directoryPath_ = directory;
    filePath_ = directory + "/" + kCTRUserDefaultsFileName;
    platform::Value loaded = loadDefaults();
    dataDictionary_ =
        loaded.isDictionary() ? loaded.mutableCopy() : platform::Value::mutableDictionary();
  });
}

platform::Value CTRUserDefaults::objectForKey(std::string_view key) const {
  platform::Value value;
  serialDictionaryQueue_->sync([&] { value = dataDictionary_[key]; });
  return value;
}

std::optional<std::string> CTRUserDefaults::stringForKey(std::string_view key) const {
  platform::Value value = objectForKey(key);
  if (!value.isString()) return std::nullopt;
  return value.asString();
}

bool CTRUserDefaults::boolForKey(std::string_view key) const {
  platform::Value value = objectForKey(key);
  return value.isNumber() ? value.asBool() : false;
}

void CTRUserDefaults::setObject(const platform::Value& value, std::string_view key) {
  if (value.isNone()) {
    removeObjectForKey(key);
    return;
  }
  platform::Error error;
  platform::Value stored = platform::plist::immutableCopy(value, &error);
  if (stored.isNone()) {
    BCNConsoleLog("[Beacon:UserDefaults] refusing a value that is no property list for key %@: %@",
                  key, error.localizedDescription());
    return;
  }
  std::string keyText(key);
  serialDictionaryQueue_->sync([&] { dataDictionary_.set(keyText, stored); });
}

void CTRUserDefaults::setString(std::string_view value, std::string_view key) {
  setObject(platform::Value(value), key);
}

void CTRUserDefaults::setBool(bool value, std::string_view key) {
  setObject(platform::Value(value), key);
}

void CTRUserDefaults::removeObjectForKey(std::string_view key) {
  std::string keyText(key);
  serialDictionaryQueue_->sync([&] { dataDictionary_.remove(keyText); });
}

void CTRUserDefaults::removeAllObjects() {
  serialDictionaryQueue_->sync([&] { dataDictionary_ = platform::Value::mutableDictionary(); });
}

platform::Value CTRUserDefaults::dictionaryRepresentation() const {
  platform::Value snapshot;
  serialDictionaryQueue_->sync([&] { snapshot = dataDictionary_.copy(); });
  return snapshot;
}

void CTRUserDefaults::synchronize() {
  platform::Value snapshot = dictionaryRepresentation();
  synchronizationQueue_->sync([&] {
    std::error_code ec;
    if (!std::filesystem::exists(directoryPath_, ec)) {
      errno = 0;
      if (!platform::paths::createDirectories(directoryPath_, 0700)) {
        BCNConsoleLog("[Beacon:UserDefaults] failed to create directory with error:%@",
                      platform::Error::posix(errno ? errno : EIO, directoryPath_).description());
      }
    }
    if (!platform::plist::writeFile(filePath_, snapshot, 0600)) {
      BCNConsoleLog("[Beacon:UserDefaults] Unable to open file for writing at path %@", filePath_);
    }
  });
}

platform::Value CTRUserDefaults::loadDefaults() {
  platform::Value result;
  synchronizationQueue_->sync([&] { result = loadDefaultsOnQueue(); });
  return result;
}

platform::Value CTRUserDefaults::loadDefaultsOnQueue() {
  std::error_code ec;
  std::filesystem::file_status status = std::filesystem::status(filePath_, ec);
  if (ec || !std::filesystem::exists(status)) return {};
  if (std::filesystem::is_directory(status)) {
    BCNConsoleWrite(
        "[Beacon:UserDefaults] found directory where file expected. Removing conflicting "
        "directory");
    std::filesystem::remove_all(filePath_, ec);
    if (ec) {
      BCNConsoleLog("[Beacon:UserDefaults] error removing conflicting directory: {error = %@}",
                    platform::Error::posix(ec.value(), filePath_).description());
    }
    return {};
  }
  platform::Value dictionary = platform::plist::readFile(filePath_);
  if (!dictionary.isDictionary()) {
    BCNConsoleWrite("[Beacon:UserDefaults] failed to read existing UserDefaults file");
    return {};
  }
  return dictionary;
}

void CTRUserDefaults::migrateFromNSUserDefaults(const std::vector<std::string>& keys) {
  std::shared_ptr<platform::UserDefaults> standard = platform::UserDefaults::standardUserDefaults();
  bool copied = false;
  for (const std::string& key : keys) {
    platform::Value value = standard->objectForKey(key);
    if (value.isNone()) continue;
    setObject(value, key);
    copied = true;
  }
  if (!copied) return;
  synchronize();
  for (const std::string& key : keys) standard->removeObject(key);
  standard->synchronize();
}

platform::Value CTRUserDefaults::objectForKeyByMigratingFromNSUserDefaults(std::string_view key) {
  platform::Value value = objectForKey(key);
  if (!value.isNone()) return value;
  std::shared_ptr<platform::UserDefaults> standard = platform::UserDefaults::standardUserDefaults();
  value = standard->objectForKey(key);
  if (value.isNone()) return {};
  setObject(value, key);
  synchronize();
  standard->removeObject(key);
  standard->synchronize();
  return value;
}

}  // namespace sdk
