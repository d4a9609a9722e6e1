// Host facts of the SDK: the operating system's version and build and the
// machine's model, as the settings, onboarding and report requests send
// them. Built on platform::HostInfo (platform/system/host_info.h), which
// answers the named system values from their Linux sources. Each takes the
// host to read (the running system by default).
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/system/host_info.h"
#include "platform/system/process_info.h"

namespace sdk {

// major, minor, patch.
using BCNOperatingSystemVersion = platform::OperatingSystemVersion;

// The operating system's version triple (HostInfo::operatingSystemVersion).
BCNOperatingSystemVersion BCNHostGetOSVersion(const platform::HostInfo& host = {});

// By the minor version alone: 6 -> 1060, 7 -> 1070, 8 -> 1080, 9 -> 1090,
// 10 -> 101000, 11 -> 101100, 12 -> 101200; any other minor version -> 0.
std::uint32_t BCNHostGetOSVersionNumber(const platform::HostInfo& host = {});
std::uint32_t BCNHostGetOSVersionNumberFor(const BCNOperatingSystemVersion& version);

// "%ld.%ld.%ld" of the three version numbers; always formed.
std::string BCNHostGetOSDisplayVersion(const platform::HostInfo& host = {});

// The named system value read into a 128-byte buffer: nullopt when the read
// fails, also when the value (with its terminator) does not fit.
std::optional<std::string> BCNHostGetSysctlString(std::string_view name,
                                                  const platform::HostInfo& host = {});
// BCNHostGetSysctlString("kern.osversion").
std::optional<std::string> BCNHostGetOSBuildVersion(const platform::HostInfo& host = {});
// BCNHostGetSysctlString("hw.model").
std::optional<std::string> BCNHostGetModel(const platform::HostInfo& host = {});

}  // namespace sdk
