// Network reachability of a host, after the platform's reachability
// service: a target made for a host name, its current flags, and a
// callback on the main queue whenever the flags change while the target is
// scheduled.
//
// The system provider resolves the host (getaddrinfo) and asks the kernel
// for a route to one of its addresses (connect() of a UDP socket, which
// sends nothing); it re-evaluates whenever a netlink route, address or link
// message arrives. Tests install a fake provider with setShared.
//
// Flags use the platform's bit values: reachable 0x2, connection required
// 0x4, connection on traffic 0x8, intervention required 0x10, connection
// on demand 0x20, local address 0x10000, direct 0x20000.
//
// Thread safety: shared/setShared and target creation from any thread;
// a target's callback runs on the main queue; schedule/unschedule and
// setCallback from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform::sysconfig {

enum ReachabilityFlags : std::uint32_t {
  kReachabilityFlagsReachable = 0x2,
  kReachabilityFlagsConnectionRequired = 0x4,
  kReachabilityFlagsConnectionOnTraffic = 0x8,
  kReachabilityFlagsInterventionRequired = 0x10,
  kReachabilityFlagsConnectionOnDemand = 0x20,
  kReachabilityFlagsIsLocalAddress = 0x10000,
  kReachabilityFlagsIsDirect = 0x20000,
};

class ReachabilityTarget {
 public:
  using Callback = std::function<void(std::uint32_t flags)>;
  virtual ~ReachabilityTarget() = default;
  // Evaluates now (may block for name resolution); nullopt when it cannot.
  virtual std::optional<std::uint32_t> currentFlags() = 0;
  virtual void setCallback(Callback callback) = 0;
  // Starts delivering changes to the callback (the first evaluation counts
  // as a change); unschedule stops it. After unschedule returns, no new
  // delivery starts.
  virtual void schedule() = 0;
  virtual void unschedule() = 0;
};

class ReachabilityProvider {
 public:
  virtual ~ReachabilityProvider() = default;
  // nullptr when no target can be made for `host` (an empty name).
  virtual std::shared_ptr<ReachabilityTarget> createTargetForHost(const std::string& host) = 0;

  // The provider in use (the system's unless a test replaced it).
  static std::shared_ptr<ReachabilityProvider> shared();
  // nullptr goes back to the system provider.
  static void setShared(std::shared_ptr<ReachabilityProvider> provider);
  static std::shared_ptr<ReachabilityProvider> system();
};

// True when `host` is a literal IPv4 or IPv6 address.
bool isAddressLiteral(const std::string& host);

}  // namespace platform::sysconfig
