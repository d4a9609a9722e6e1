// Application facts of the SDK, all read from the main bundle
// (platform::Bundle::main(), which tests may replace) and its information
// dictionary.
//
// Texts that the information dictionary lacks (or holds as something other
// than a string) are "".
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

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

// The main bundle's identifier with every "/" replaced by "_"; names the
// per-application folder of the kits' data. "" when there is none.
std::string BCNApplicationGetBundleIdentifier();
// "CFBundleVersion".
std::string BCNApplicationGetBuildVersion();
// "CFBundleShortVersionString".
std::string BCNApplicationGetDisplayVersion();
// "CFBundleDisplayName", else "CFBundleName", else the build version (each
// taken when it is a non-empty string).
std::string BCNApplicationGetName();

// Where a store receipt of the main bundle would be:
// "<resource folder>/_MASReceipt/receipt".
std::string BCNApplicationGetAppStoreReceiptPath();
// false when BCNHostGetOSVersionNumber(host) is below 1070 (without looking
// at the file system); else whether a file exists at the receipt path.
bool BCNApplicationHasAppStoreReceipt(const platform::HostInfo& host = {});
// The boolean value of "CrashtrailSignedForDistribution"; false when absent.
bool BCNApplicationIsSignedForDistribution();
// 4 with a store receipt, else 3 when signed for distribution, else 1.
std::int64_t BCNApplicationGetInstallSource(const platform::HostInfo& host = {});
// The boolean value of "Beacon"/"ReportIdentifiers"; when absent, of
// "CrashtrailCollectDeviceIdentifiers"; true when both are absent.
bool BCNApplicationCollectsDeviceIdentifiers();

}  // namespace sdk
