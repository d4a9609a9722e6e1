#include "platform/sysconfig/reachability.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/dispatch/dispatch.h"

namespace platform::sysconfig {

bool isAddressLiteral(const std::string& host) {
  unsigned char buf[16];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

namespace {

std::uint32_t evaluate(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(host.c_str(), "9", &hints, &list) != 0 || !list) return 0;
  std::uint32_t flags = 0;
  for (addrinfo* a = list; a; a = a->ai_next) {
    int fd = ::socket(a->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    const bool routed = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0;
    ::close(fd);
    if (!routed) continue;
    flags = kReachabilityFlagsReachable;
    bool local = false;
    if (a->ai_family == AF_INET) {
      auto* in = reinterpret_cast<sockaddr_in*>(a->ai_addr);
      local = (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    } else if (a->ai_family == AF_INET6) {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(a->ai_addr);
      local = IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
    }
    if (local) flags |= kReachabilityFlagsIsLocalAddress | kReachabilityFlagsIsDirect;
    break;
  }
  ::freeaddrinfo(list);
  return flags;
}

class SystemTarget : public ReachabilityTarget, public std::enable_shared_from_this<SystemTarget> {
 public:
  explicit SystemTarget(std::string host)
      : host_(std::move(host)),
        queue_(dispatch::Queue::createSerial("com.varnel.reachability." + host_)) {}
  ~SystemTarget() override { stopWatching(); }

  std::optional<std::uint32_t> currentFlags() override { return evaluate(host_); }

  void setCallback(Callback callback) override {
    std::lock_guard lock(mutex_);
    callback_ = std::move(callback);
  }

  void schedule() override {
    std::lock_guard lock(mutex_);
    if (scheduled_) return;
    scheduled_ = true;
    ++generation_;
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd >= 0) {
      sockaddr_nl addr{};
      addr.nl_family = AF_NETLINK;
      addr.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_IFADDR |
                       RTMGRP_IPV6_ROUTE;
      if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        fd = -1;
      }
    }
    std::weak_ptr<SystemTarget> weak = shared_from_this();
    const std::uint64_t generation = generation_;
    if (fd >= 0) {
      source_ = dispatch::Source::read(fd, queue_);
      source_->setEventHandler([weak, fd, generation] {
        char buf[8192];
        while (::recv(fd, buf, sizeof buf, 0) > 0) {
        }
        if (auto self = weak.lock()) self->reevaluate(generation);
      });
      source_->setCancelHandler([fd] { ::close(fd); });
      source_->resume();
    }
    queue_->async([weak, generation] {
      if (auto self = weak.lock()) self->reevaluate(generation);
    });
  }

  void unschedule() override { stopWatching(); }

 private:
  void stopWatching() {
    std::lock_guard lock(mutex_);
    if (!scheduled_) return;
    scheduled_ = false;
    ++generation_;
    if (source_) source_->cancel();
    source_.reset();
  }

  void reevaluate(std::uint64_t generation) {
    const std::uint32_t flags = evaluate(host_);
    Callback callback;
    {
      std::lock_guard lock(mutex_);
      if (generation != generation_ || !scheduled_) return;
      if (last_ && *last_ == flags) return;
      last_ = flags;
      callback = callback_;
    }
    if (!callback) return;
    std::weak_ptr<SystemTarget> weak = shared_from_this();
    dispatch::Queue::main()->async([weak, callback, flags, generation] {
      auto self = weak.lock();
      if (!self) return;
      {
        std::lock_guard lock(self->mutex_);
        if (generation != self->generation_) return;
      }
      callback(flags);
    });
  }

  std::string host_;
  dispatch::QueuePtr queue_;
  std::mutex mutex_;
  Callback callback_;
  bool scheduled_ = false;
  std::uint64_t generation_ = 0;
  std::optional<std::uint32_t> last_;
  std::shared_ptr<dispatch::Source> source_;
};

class SystemProvider : public ReachabilityProvider {
 public:
  std::shared_ptr<ReachabilityTarget> createTargetForHost(const std::string& host) override {
    if (host.empty()) return nullptr;
    return std::make_shared<SystemTarget>(host);
  }
};

std::mutex& providerMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<ReachabilityProvider>& installed() {
  static std::shared_ptr<ReachabilityProvider> p;
  return p;
}

}  // namespace

std::shared_ptr<ReachabilityProvider> ReachabilityProvider::system() {
  static auto provider = std::make_shared<SystemProvider>();
  return provider;
}

std::shared_ptr<ReachabilityProvider> ReachabilityProvider::shared() {
  std::lock_guard lock(providerMutex());
  return installed() ? installed() : system();
}

void ReachabilityProvider::setShared(std::shared_ptr<ReachabilityProvider> provider) {
  std::lock_guard lock(providerMutex());
  installed() = std::move(provider);
}

}  // namespace platform::sysconfig
