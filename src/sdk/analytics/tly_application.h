// TLYApplication: facts about the host application from its information
// property list (a bundle's information dictionary, by default the running
// program's).
//
// Guarantees:
//  1. The accessors only read the dictionary given at construction; a key
//     that is missing, or holds something other than what is expected,
//     answers absent (std::nullopt / a None value).
//  2. A malformed "NSExtension" entry (not a dictionary) and a malformed
//     "NSExtensionPointIdentifier" entry (missing or not text inside an
//     "NSExtension" dictionary) are reported on the SDK console each time
//     they are read.
//
// Thread safety: immutable after construction; any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/value.h"
#include "platform/system/bundle.h"

namespace sdk {

inline constexpr const char* kTLYNSExtensionKey = "NSExtension";
inline constexpr const char* kTLYNSExtensionPointIdentifierKey = "NSExtensionPointIdentifier";

class TLYApplication {
 public:
  // A new object over `bundle`'s information dictionary (empty for null).
  static std::shared_ptr<TLYApplication> hostApplication(
      const platform::BundlePtr& bundle = platform::Bundle::main());
  explicit TLYApplication(platform::Value infoPlistDictionary);

  const platform::Value& infoPlistDict() const { return infoPlistDict_; }

  // "CFBundleIdentifier", "CFBundleVersion", "CFBundleShortVersionString".
  std::optional<std::string> bundleIdentifier() const;
  std::optional<std::string> bundleVersion() const;
  std::optional<std::string> shortVersionString() const;

  // The "NSExtension" dictionary; None when absent or malformed.
  platform::Value extensionDefinitionDictionary() const;
  // Its "NSExtensionPointIdentifier" text.
  std::optional<std::string> extensionPointIdentifier() const;
  bool isExtension() const { return extensionPointIdentifier().has_value(); }

  // Absent for an extension; otherwise the host's shared application object,
  // when the host registered one with setSharedApplicationObject (this
  // platform has no process-wide application class to ask).
  std::shared_ptr<void> appSharedInstance() const;
  static void setSharedApplicationObject(std::shared_ptr<void> application);

 private:
  std::optional<std::string> stringFor(const char* key) const;
  platform::Value infoPlistDict_;
};

}  // namespace sdk
