// platform::HostInfo: the machine facts that the system's design reads
// through named system controls (sysctl) and the operating system's version
// triple, answered from their Linux sources.
//
// Named values (sysctlString):
//   "kern.osversion"  the kernel release (uname -r), the build of the system
//   "kern.osrelease"  the kernel release (uname -r)
//   "kern.ostype"     the kernel's name (uname -s)
//   "kern.version"    the kernel's version text (uname -v)
//   "kern.hostname"   the host name (uname -n)
//   "hw.machine"      the hardware name (uname -m)
//   "hw.model"        the machine's model: /sys/class/dmi/id/product_name,
//                     else /proc/device-tree/model (boards), trimmed
//   "hw.ncpu"         the configured processor count, in decimal
//   "hw.memsize"      the physical memory in bytes, in decimal
// Any other name, an empty model or an unreadable source gives nullopt.
//
// operatingSystemVersion: the os-release VERSION_ID ("12" is 12.0.0,
// "22.04" is 22.4.0), read from /etc/os-release, else /usr/lib/os-release;
// when neither gives a number, the kernel release's leading numbers
// ("6.1.0-18-amd64" is 6.1.0).
//
// A HostInfo reads its files below the root folder it was made with ("/" by
// default: the running system), so tests can give their own os-release and
// DMI files; uname is always the running kernel's.
//
// Thread safety: an object is immutable; every function may be called from
// any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/system/process_info.h"

namespace platform {

class HostInfo {
 public:
  // The running system.
  HostInfo() = default;
  // Files below `root` (a folder laid out like "/"; "" or "/" is "/").
  explicit HostInfo(std::string root);

  std::optional<std::string> sysctlString(std::string_view name) const;
  OperatingSystemVersion operatingSystemVersion() const;

  // The leading "major[.minor[.patch]]" numbers of `text`; all zero when it
  // does not start with a digit.
  static OperatingSystemVersion parseVersionTriple(std::string_view text);

 private:
  std::optional<std::string> readSmallFile(const std::string& absolutePath) const;

  std::string root_;  // without a trailing '/'
};

}  // namespace platform
