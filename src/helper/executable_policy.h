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
// "Client=" lines there name the installed client programs.
//
// Peers: the helper serves root, the user(s) who authorized the installation
// ("User=<uid>" lines) and nobody else. A listed user must moreover run one
// of the installed client programs when any is named; a program alone never
// admits anybody (another user running the client, with an injected library
// or not, is refused). The helper's own user is served too when it does not
// run as root (development and test runs).
//
// Thread safety: values; any thread.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/xpc/peer_credentials.h"

namespace helper {

inline constexpr const char* kHelperConfigurationPath = "/etc/varnel/helper.conf";

struct ExecutablePolicy {
  std::vector<std::string> executables;
  std::vector<std::string> clients;
  std::vector<uid_t> users;

  // The built-in list plus the configuration file.
  static ExecutablePolicy load();
  // True when `path` may be started (see the header comment).
  bool allowsExecutable(const std::string& path) const;
  // True when a peer with `credentials` may talk to a helper running as
  // `helperUser` (see the header comment).
  bool allowsPeer(const platform::xpc::PeerCredentials& credentials, uid_t helperUser) const;
};

}  // namespace helper
