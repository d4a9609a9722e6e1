#include "sdk/platform/bcn_host.h"

#include "platform/foundation/format.h"
#include "platform/system/host_info.h"

namespace sdk {

namespace {
// The buffer the named values are read into, terminator included.
constexpr std::size_t kSysctlBufferSize = 128;
}  // namespace

BCNOperatingSystemVersion BCNHostGetOSVersion(const platform::HostInfo& host) {
  return host.operatingSystemVersion();
}

std::uint32_t BCNHostGetOSVersionNumberFor(const BCNOperatingSystemVersion& version) {
  switch (version.minorVersion) {
    case 6:
      return 1060;
    case 7:
      return 1070;
    case 8:
      return 1080;
    case 9:
      return 1090;
    case 10:
      return 101000;
    case 11:
      return 101100;
    case 12:
      return 101200;
    default:
      return 0;
  }
}

std::uint32_t BCNHostGetOSVersionNumber(const platform::HostInfo& host) {
  return BCNHostGetOSVersionNumberFor(BCNHostGetOSVersion(host));
}

std::string BCNHostGetOSDisplayVersion(const platform::HostInfo& host) {
  BCNOperatingSystemVersion v = BCNHostGetOSVersion(host);
  return platform::format("%ld.%ld.%ld", v.majorVersion, v.minorVersion, v.patchVersion);
}

std::optional<std::string> BCNHostGetSysctlString(std::string_view name,
                                                  const platform::HostInfo& host) {
  std::optional<std::string> value = host.sysctlString(name);
  if (!value || value->size() + 1 > kSysctlBufferSize) return std::nullopt;
  return value;
}

std::optional<std::string> BCNHostGetOSBuildVersion(const platform::HostInfo& host) {
  return BCNHostGetSysctlString("kern.osversion", host);
}

std::optional<std::string> BCNHostGetModel(const platform::HostInfo& host) {
  return BCNHostGetSysctlString("hw.model", host);
}

}  // namespace sdk
