#include "helper/helper_info.h"

#include <cstdio>
#include <cstring>

#include "platform/foundation/format.h"
#include "platform/system/property_list.h"

// The version the client's installation compares ("CFBundleVersion"): a
// build may name another (src/helper/CMakeLists.txt), so that a package
// with a changed helper replaces the installed one at the next login.
#ifndef VARNEL_HELPER_BUNDLE_VERSION
#define VARNEL_HELPER_BUNDLE_VERSION "200"
#endif

namespace helper {

using platform::Value;

namespace {
constexpr const char* kHelperBundleVersion = VARNEL_HELPER_BUNDLE_VERSION;
}  // namespace

Value helperInfoDictionary() {
  const std::string requirement = platform::format(
      "identifier \"%s\" and anchor apple generic and (certificate "
      "leaf[field.1.2.840.113635.100.6.1.13] exists or certificate "
      "leaf[field.1.2.840.113635.100.6.1.12] exists) and certificate leaf[subject.OU] = %s",
      kClientBundleIdentifier, kSigningTeamIdentifier);
  return Value::dictionary({{"CFBundleIdentifier", kHelperBundleIdentifier},
                            {"CFBundleName", kHelperBundleIdentifier},
                            {"CFBundleInfoDictionaryVersion", "6.0"},
                            {"CFBundleShortVersionString", kHelperShortVersion},
                            {"CFBundleVersion", kHelperBundleVersion},
                            {"CFBundleSupportedPlatforms", Value::array({"MacOSX"})},
                            {"SMAuthorizedClients", Value::array({Value(requirement)})}});
}

Value helperLaunchdDictionary() {
  return Value::dictionary(
      {{"Label", kHelperBundleIdentifier},
       {"MachServices", Value::dictionary({{kHelperBundleIdentifier, true}})}});
}

bool printEmbeddedPropertyList(int argc, char** argv) {
  Value list;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--info-plist") == 0) list = helperInfoDictionary();
    if (std::strcmp(argv[i], "--launchd-plist") == 0) list = helperLaunchdDictionary();
  }
  if (list.isNone()) return false;
  std::optional<std::string> text = platform::plist::serialize(list);
  if (text) std::fwrite(text->data(), 1, text->size(), stdout);
  return true;
}

}  // namespace helper
