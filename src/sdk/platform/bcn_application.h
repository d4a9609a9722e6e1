// Application facts of the SDK, all read from a bundle and its information
// dictionary: the one given, by default the running program's
// (platform::Bundle::main()). A null bundle counts as one with an empty
// dictionary.
//
// Texts that the information dictionary lacks (or holds as something other
// than a string) are "".
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/system/bundle.h"
#include "platform/system/host_info.h"

namespace sdk {

inline constexpr const char* kBCNCrashtrailSignedForDistributionKey =
    "CrashtrailSignedForDistribution";
inline constexpr const char* kBCNCrashtrailCollectDeviceIdentifiersKey =
    "CrashtrailCollectDeviceIdentifiers";
inline constexpr const char* kBCNReportIdentifiersKey = "ReportIdentifiers";
inline constexpr const char* kCFBundleDisplayNameKey = "CFBundleDisplayName";

// Install sources.
inline constexpr std::int64_t kBCNInstallSourceDeveloper = 1;
inline constexpr std::int64_t kBCNInstallSourceSignedForDistribution = 3;
inline constexpr std::int64_t kBCNInstallSourceAppStore = 4;

// The bundle's identifier with every "/" replaced by "_"; names the
// per-application folder of the kits' data. "" when there is none.
std::string BCNApplicationGetBundleIdentifier(
    const platform::BundlePtr& bundle = platform::Bundle::main());
// "CFBundleVersion".
std::string BCNApplicationGetBuildVersion(
    const platform::BundlePtr& bundle = platform::Bundle::main());
// "CFBundleShortVersionString".
std::string BCNApplicationGetDisplayVersion(
    const platform::BundlePtr& bundle = platform::Bundle::main());
// "CFBundleDisplayName", else "CFBundleName", else the build version (each
// taken when it is a non-empty string).
std::string BCNApplicationGetName(const platform::BundlePtr& bundle = platform::Bundle::main());

// Where a store receipt of the bundle would be:
// "<resource folder>/_MASReceipt/receipt".
std::string BCNApplicationGetAppStoreReceiptPath(
    const platform::BundlePtr& bundle = platform::Bundle::main());
// false when BCNHostGetOSVersionNumber(host) is below 1070 (without looking
// at the file system); else whether a file exists at the receipt path.
bool BCNApplicationHasAppStoreReceipt(const platform::HostInfo& host = {},
                                      const platform::BundlePtr& bundle = platform::Bundle::main());
// The boolean value of "CrashtrailSignedForDistribution"; false when absent.
bool BCNApplicationIsSignedForDistribution(
    const platform::BundlePtr& bundle = platform::Bundle::main());
// 4 with a store receipt, else 3 when signed for distribution, else 1.
std::int64_t BCNApplicationGetInstallSource(
    const platform::HostInfo& host = {},
    const platform::BundlePtr& bundle = platform::Bundle::main());
// The boolean value of "Beacon"/"ReportIdentifiers"; when absent, of
// "CrashtrailCollectDeviceIdentifiers"; true when both are absent.
bool BCNApplicationCollectsDeviceIdentifiers(
    const platform::BundlePtr& bundle = platform::Bundle::main());

}  // namespace sdk
