#include "platform/xpc/peer_credentials.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace platform::xpc {

std::string executableOfProcess(pid_t pid) {
  if (pid <= 0) return "";
  char link[64];
  std::snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(pid));
  char buf[4096];
  ssize_t n = ::readlink(link, buf, sizeof buf - 1);
  if (n <= 0) return "";
  return std::string(buf, static_cast<std::size_t>(n));
}

PeerCredentials PeerCredentials::fromSocket(int fd) {
  PeerCredentials c;
  struct ucred cred {};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) {
    return c;
  }
  c.valid = true;
  c.uid = cred.uid;
  c.gid = cred.gid;
  c.pid = cred.pid;
  c.executable = executableOfProcess(cred.pid);
  return c;
}

std::uint32_t PeerCredentials::auditSessionID() const {
  if (!valid || pid <= 0) return 0xFFFFFFFFu;
  std::ifstream in("/proc/" + std::to_string(pid) + "/sessionid");
  unsigned long long id = 0xFFFFFFFFull;
  if (!(in >> id)) return 0xFFFFFFFFu;
  return static_cast<std::uint32_t>(id);
}

}  // namespace platform::xpc
