// platform::xpc::PeerCredentials: who is at the other end of a channel socket.
//
// The kernel's answer (SO_PEERCRED: effective uid and gid, pid) is taken once,
// when the socket is connected or accepted, together with the peer's
// executable path (/proc/<pid>/exe); the values never change afterwards. The
// audit session is read from /proc/<pid>/sessionid when asked.
//
// On the connecting side the kernel reports whoever created the listening
// socket: for a service started through socket activation that is the
// launcher (or systemd, root), not the service process itself.
//
// Thread safety: a value; the functions may be called from any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace platform::xpc {

struct PeerCredentials {
  bool valid = false;
  uid_t uid = 0;
  gid_t gid = 0;
  pid_t pid = 0;
  std::string executable;  // "" when it could not be read

  // Reads SO_PEERCRED and /proc/<pid>/exe of a connected Unix socket.
  static PeerCredentials fromSocket(int fd);
  // The peer's audit session id; 0xFFFFFFFF when unset or unreadable.
  std::uint32_t auditSessionID() const;
};

// The executable behind a process id ("" when unreadable).
std::string executableOfProcess(pid_t pid);

}  // namespace platform::xpc
