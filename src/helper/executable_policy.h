// ExecutablePolicy: which programs the helper may start for a request and
// which peers may talk to it.
//
// A request names the OpenVPN executable and the SSTP client by path; the
// helper runs such a path only when it resolves (symbolic links followed)
// to one of the executables this installation ships or names, and that
// file is a regular executable owned by root or the helper's user and
// writable by nobody else. The list holds the system's packages
// ("/usr/sbin/openvpn", "/usr/sbin/sstpc") and every "Executable=" line of
// the configuration file "/etc/varnel/helper.conf" (under the system root);
// "Client=" lines there name the installed client programs that may
// connect besides root.
//
// Thread safety: values; any thread.
#pragma once

#include <string>
#include <vector>

namespace helper {

inline constexpr const char* kHelperConfigurationPath = "/etc/varnel/helper.conf";

struct ExecutablePolicy {
  std::vector<std::string> executables;
  std::vector<std::string> clients;

  // The built-in list plus the configuration file.
  static ExecutablePolicy load();
  // True when `path` may be started (see the header comment).
  bool allowsExecutable(const std::string& path) const;
};

}  // namespace helper
