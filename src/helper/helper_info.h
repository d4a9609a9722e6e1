// The helper's two embedded property lists: its launch record ("Label" and
// "MachServices" "VarnelHelper") and its information property list (bundle
// identifier "VarnelHelper", version "200" unless the build names another
// with VARNEL_HELPER_BUNDLE_VERSION, short version "1.2.0"). The
// installer reads them by running the helper with "--info-plist" or
// "--launchd-plist", which prints the list and ends.
//
// Thread safety: constants.
#pragma once

#include "ipc/helper_protocol.h"
#include "platform/foundation/value.h"

namespace helper {

inline constexpr const char* kHelperBundleIdentifier = ipc::kHelperServiceName;
inline constexpr const char* kHelperShortVersion = "1.2.0";
inline constexpr const char* kClientBundleIdentifier = "com.varnelvpn.client";
inline constexpr const char* kSigningTeamIdentifier = "VARNELTEAM";

platform::Value helperInfoDictionary();
platform::Value helperLaunchdDictionary();
// Prints the list that argv asks for ("--info-plist", "--launchd-plist");
// false when argv asks for neither.
bool printEmbeddedPropertyList(int argc, char** argv);

}  // namespace helper
