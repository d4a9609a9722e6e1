#include "sdk/analytics/tly_application.h"

#include <mutex>
#include <utility>

#include "platform/system/bundle.h"
#include "sdk/platform/bcn_console.h"

namespace sdk {
namespace {

std::mutex& applicationMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<void>& applicationObject() {
  static std::shared_ptr<void> object;
  return object;
}

}  // namespace

std::shared_ptr<TLYApplication> TLYApplication::hostApplication(const platform::BundlePtr& bundle) {
  return std::make_shared<TLYApplication>(bundle ? bundle->infoDictionary() : platform::Value());
}

TLYApplication::TLYApplication(platform::Value infoPlistDictionary)
    : infoPlistDict_(std::move(infoPlistDictionary)) {}

std::optional<std::string> TLYApplication::stringFor(const char* key) const {
  platform::Value v = infoPlistDict_[key];
  if (!v.isString()) return std::nullopt;
  return v.asString();
}

std::optional<std::string> TLYApplication::bundleIdentifier() const {
  return stringFor(platform::kCFBundleIdentifierKey);
}

std::optional<std::string> TLYApplication::bundleVersion() const {
  return stringFor(platform::kCFBundleVersionKey);
}

std::optional<std::string> TLYApplication::shortVersionString() const {
  return stringFor(platform::kCFBundleShortVersionStringKey);
}

platform::Value TLYApplication::extensionDefinitionDictionary() const {
  platform::Value entry = infoPlistDict_[kTLYNSExtensionKey];
  if (entry.isNone() || entry.isDictionary()) return entry;
  BCNConsoleLog("Error: NSExtension Info.plist entry is mal-formed %@\n", entry);
  return platform::Value();
}

std::optional<std::string> TLYApplication::extensionPointIdentifier() const {
  platform::Value definition = extensionDefinitionDictionary();
  if (definition.isNone()) return std::nullopt;
  platform::Value identifier = definition[kTLYNSExtensionPointIdentifierKey];
  if (identifier.isString()) return identifier.asString();
  BCNConsoleWrite("Error: NSExtensionPointIdentifier Info.plist entry is mal-formed\n");
  return std::nullopt;
}

std::shared_ptr<void> TLYApplication::appSharedInstance() const {
  if (isExtension()) return nullptr;
  std::lock_guard<std::mutex> lock(applicationMutex());
  return applicationObject();
}

void TLYApplication::setSharedApplicationObject(std::shared_ptr<void> application) {
  std::lock_guard<std::mutex> lock(applicationMutex());
  applicationObject() = std::move(application);
}

}  // namespace sdk
