// platform::sysconfig::Authorization: the right to change the system's
// network settings. The policy is the kernel's word on who we are: a process
// running as root holds every right; any other process is refused.
//
// Tests give a reference another policy (or make creation fail) through
// Options at creation; nothing a test sets reaches another reference.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform::sysconfig {

using AuthorizationStatus = std::int32_t;
inline constexpr AuthorizationStatus kAuthorizationSuccess = 0;
inline constexpr AuthorizationStatus kAuthorizationInvalidSet = -60001;
inline constexpr AuthorizationStatus kAuthorizationDenied = -60005;
inline constexpr AuthorizationStatus kAuthorizationInternal = -60008;

inline constexpr std::uint32_t kAuthorizationFlagDefaults = 0;
inline constexpr std::uint32_t kAuthorizationFlagInteractionAllowed = 1 << 0;
inline constexpr std::uint32_t kAuthorizationFlagExtendRights = 1 << 1;
inline constexpr std::uint32_t kAuthorizationFlagPartialRights = 1 << 2;
inline constexpr std::uint32_t kAuthorizationFlagDestroyRights = 1 << 3;
inline constexpr std::uint32_t kAuthorizationFlagPreAuthorize = 1 << 4;

inline constexpr const char* kAuthorizationRightAdmin = "system.privilege.admin";

class Authorization {
 public:
  using Policy = std::function<AuthorizationStatus(const std::string& right)>;
  // What a reference is made with; the defaults are production's.
  struct Options {
    // The decision for a right (nullptr: the root policy).
    Policy policy;
    // Anything but kAuthorizationSuccess: the creation fails with it.
    AuthorizationStatus createStatus = kAuthorizationSuccess;
  };

  // A reference with no rights; nullptr and `*status` on failure.
  static std::shared_ptr<Authorization> create(AuthorizationStatus* status);
  static std::shared_ptr<Authorization> create(AuthorizationStatus* status, Options options);
  // Asks for `right`; kAuthorizationSuccess when granted.
  AuthorizationStatus copyRights(const std::string& right, std::uint32_t flags);
  bool hasRight(const std::string& right) const;
  // Drops every right (the reference is freed).
  void free(std::uint32_t flags);

 private:
  Authorization() = default;
  Policy policy_;
  std::vector<std::string> rights_;
};

}  // namespace platform::sysconfig
