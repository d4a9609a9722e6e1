#include "support/local_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "platform/system/file_util.h"

namespace varnel::testing {

bool LocalProxy::available() { return ::access(kProgram, X_OK) == 0; }

LocalProxy::LocalProxy(const std::string& user, const std::string& password) {
  // A free loopback port for the proxy.
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(probe);
    throw std::runtime_error("no free loopback port for the proxy");
  }
  socklen_t length = sizeof a;
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &length);
  ::close(probe);
  port_ = ntohs(a.sin_port);
  const std::string config = dir_.file("tinyproxy.conf");
  std::string text = "Port " + std::to_string(port_) +
                     "\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 30\nLogFile \"" +
                     dir_.file("tinyproxy.log") + "\"\nLogLevel Connect\nMaxClients 8\n";
  if (!user.empty()) text += "BasicAuth " + user + " " + password + "\n";
  if (!platform::files::writeFileAtomically(config, text, 0600)) {
    throw std::runtime_error("cannot write the proxy's configuration");
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    ::execl(kProgram, kProgram, "-d", "-c", config.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (pid_ < 0) throw std::runtime_error("cannot start the proxy");
  for (int i = 0; i < 500; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const bool listening = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    if (listening) return;
    ::usleep(10 * 1000);
  }
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
  throw std::runtime_error("the proxy does not listen");
}

LocalProxy::~LocalProxy() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::string LocalProxy::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::string LocalProxy::log() const {
  return platform::files::readFile(dir_.file("tinyproxy.log")).value_or("");
}

}  // namespace varnel::testing
