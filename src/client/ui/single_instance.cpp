#include "client/ui/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace client::ui {

namespace {

constexpr const char* kLockName = "VarnelVPN-Client.lock";
constexpr const char* kSocketName = "VarnelVPN-Client.sock";
constexpr char kShowRequest[] = "show\n";

// `path` is a folder of this user's that nobody else may write to.
bool isOwnPrivateFolder(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
         (st.st_mode & 0022) == 0;
}

bool fillAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof(address->sun_path)) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size());
  return true;
}

}  // namespace

std::string SingleInstance::defaultFolder() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    if (isOwnPrivateFolder(runtime)) return runtime;
  }
  const std::string fallback = "/tmp/varnelvpn-" + std::to_string(::getuid());
  ::mkdir(fallback.c_str(), 0700);
  return isOwnPrivateFolder(fallback) ? fallback : std::string();
}

SingleInstance::SingleInstance(std::string folder, QObject* parent)
    : QObject(parent), folder_(folder.empty() ? defaultFolder() : std::move(folder)) {
  if (!folder_.empty()) {
    lockPath_ = folder_ + "/" + kLockName;
    socketPath_ = folder_ + "/" + kSocketName;
  }
}

SingleInstance::~SingleInstance() {
  delete notifier_;
  if (listenFd_ >= 0) {
    ::close(listenFd_);
    ::unlink(socketPath_.c_str());
  }
  if (lockFd_ >= 0) ::close(lockFd_);
}

bool SingleInstance::claim(double waitSeconds) {
  if (lockPath_.empty()) return true;
  lockFd_ = ::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lockFd_ < 0) return true;
  if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0) {
    listenOnSocket();
    return true;
  }
  ::close(lockFd_);
  lockFd_ = -1;
  // The running client may still be starting: it listens soon after it
  // took the lock.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(waitSeconds);
  while (!askRunningInstance() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return false;
}

bool SingleInstance::listenOnSocket() {
  sockaddr_un address;
  if (!fillAddress(socketPath_, &address)) return false;
  // A socket file left by a client that ended without removing it: the
  // lock says nobody serves it any more.
  ::unlink(socketPath_.c_str());
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd_ < 0) return false;
  const mode_t mask = ::umask(0077);
  const bool bound = ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  ::umask(mask);
  if (!bound || ::listen(listenFd_, 4) != 0) {
    ::close(listenFd_);
    listenFd_ = -1;
    return false;
  }
  notifier_ = new QSocketNotifier(listenFd_, QSocketNotifier::Read);
  connect(notifier_, &QSocketNotifier::activated, this, [this] { acceptPending(); });
  return true;
}

void SingleInstance::acceptPending() {
  bool asked = false;
  for (;;) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) break;
    ucred peer{};
    socklen_t length = sizeof(peer);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.uid == ::getuid()) {
      asked = true;
      // The answer tells the new start that it was heard.
      [[maybe_unused]] const ssize_t sent = ::send(fd, "ok\n", 3, MSG_NOSIGNAL);
    }
    ::close(fd);
  }
  if (asked) emit activationRequested();
}

bool SingleInstance::askRunningInstance() {
  sockaddr_un address;
  if (!fillAddress(socketPath_, &address)) return true;  // nobody to ask
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;
  bool heard = false;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
    ucred peer{};
    socklen_t length = sizeof(peer);
    // Only a client of this user is asked.
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.uid == ::getuid() &&
        ::send(fd, kShowRequest, sizeof(kShowRequest) - 1, MSG_NOSIGNAL) > 0) {
      pollfd p{fd, POLLIN, 0};
      char answer[8];
      heard = ::poll(&p, 1, 2000) == 1 && ::recv(fd, answer, sizeof(answer), 0) > 0;
    }
  }
  ::close(fd);
  return heard;
}

}  // namespace client::ui
