// ExecutablePolicy: which programs the helper may start for a request and
// which peers may talk to it.
//
// A request names the OpenVPN executable and the SSTP client by path; the
// helper starts such a path only when it is, word for word, one of the
// executables this installation ships or names: the system's packages
// ("/usr/sbin/openvpn", "/usr/sbin/sstpc") and every "Executable=" line of
// the configuration file "/etc/varnel/helper.conf" (under the system root).
// "Client=" lines there name the installed client programs that may connect
// besides root.
//
// `openExecutable` resolves such a path once, from "/", one component at a
// time, and never follows a symbolic link: every folder on the way must be
// owned by root (or the helper's user) and writable by nobody else (a
// root-owned sticky folder such as /tmp counts as safe, since only a
// component's owner can replace it there), and the file must be a regular
// executable of the same owners, writable by nobody else. The caller starts
// the descriptor it got (DispatchTask::setExecutableFile), never the path
// again, so what was checked is what runs.
// "SSTPOptions=" lines name the SSTP client's options files of the
// installation: pppd runs as root and honours privileged options (plugins,
// scripts) from such a file, so a request may name only a recorded one, and
// never one of the helper's own private files (helper_files.h), whose
// contents a request can influence. Where it lies is not trusted alone: the
// file must hold nothing but the options the product ships (comments aside;
// kShippedSSTPOptions in the source), so a folder replaced after the
// installation cannot hand pppd a plugin or a script.
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
  std::vector<std::string> sstpOptions;
  std::vector<uid_t> users;

  // The built-in list plus the configuration file.
  static ExecutablePolicy load();
  // True when `path` is listed (see the header comment).
  bool listsExecutable(const std::string& path) const;
  // A close-on-exec read-only descriptor of the listed executable at
  // `path`, checked as the header comment says; -1 with `*problem` when it
  // is not listed or a check fails. The caller closes it.
  int openExecutable(const std::string& path, std::string* problem = nullptr) const;
  // True when openExecutable would give a descriptor now.
  bool allowsExecutable(const std::string& path) const;
  // A close-on-exec read-only descriptor of the SSTP options file `path`:
  // one recorded in "SSTPOptions=", not one of the helper's private files,
  // passing the same walk as executables and with a single name, and
  // holding only the options the product ships (read through the
  // descriptor, which is handed back at offset 0); -1 with `*problem`
  // otherwise. The caller closes it.
  int openSSTPOptions(const std::string& path, std::string* problem = nullptr) const;
  // True when a peer with `credentials` may talk to a helper running as
  // `helperUser` (see the header comment).
  bool allowsPeer(const platform::xpc::PeerCredentials& credentials, uid_t helperUser) const;
};

}  // namespace helper
