// platform::ProcessActivities: the process's declared activities and its
// sudden- and automatic-termination switches.
//
// Linux has no service that suspends or quietly ends idle programs, so this
// is in-process bookkeeping that gives code written for such a service what
// it expects, and lets the rest of the program ask whether it is safe to end
// the process right now (nothing important is running):
//  1. beginActivity returns a token that stays active until endActivity is
//     called with it (or its last copy is released); ending twice is
//     harmless. The options are the platform's activity option bits (below);
//     they are recorded with the activity and do not touch the counters.
//  2. The termination switches are counters, as on the platform: each
//     disable adds one, each enable takes one away. They are signed and not
//     clamped, so an unbalanced enable shows up as a negative count instead
//     of silently re-arming someone else's disable.
//  3. suddenTerminationAllowed() / automaticTerminationAllowed() are true
//     when the counter is 0 or below and no active activity carries the
//     matching option bit.
// Not promised: anything outside the process is told (no inhibitor locks,
// no scheduler hints).
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// Activity option bits (the platform's values).
inline constexpr std::uint64_t kActivityIdleDisplaySleepDisabled = 1ULL << 40;
inline constexpr std::uint64_t kActivityIdleSystemSleepDisabled = 1ULL << 20;
inline constexpr std::uint64_t kActivitySuddenTerminationDisabled = 1ULL << 14;     // 0x4000
inline constexpr std::uint64_t kActivityAutomaticTerminationDisabled = 1ULL << 15;  // 0x8000
inline constexpr std::uint64_t kActivityUserInitiated =
    0x00FFFFFFULL | kActivityIdleSystemSleepDisabled;
inline constexpr std::uint64_t kActivityUserInitiatedAllowingIdleSystemSleep =
    kActivityUserInitiated & ~kActivityIdleSystemSleepDisabled;
inline constexpr std::uint64_t kActivityBackground = 0x000000FFULL;
inline constexpr std::uint64_t kActivityLatencyCritical = 0xFF00000000ULL;

class ProcessActivities {
 public:
  // One begun activity. Opaque to callers except for what it was begun with.
  class Activity {
   public:
    Activity(std::uint64_t options, std::string reason, std::uint64_t id)
        : options_(options), reason_(std::move(reason)), id_(id) {}
    ~Activity();
    Activity(const Activity&) = delete;
    Activity& operator=(const Activity&) = delete;
    std::uint64_t options() const { return options_; }
    const std::string& reason() const { return reason_; }
    std::uint64_t identifier() const { return id_; }

   private:
    std::uint64_t options_;
    std::string reason_;
    std::uint64_t id_;
  };
  using Token = std::shared_ptr<Activity>;

  // What is active now: options and reason of one activity.
  struct ActivityInfo {
    std::uint64_t identifier;
    std::uint64_t options;
    std::string reason;
  };

  // Whether this process offers activities (always true here).
  static bool supportsActivities() { return true; }
  // Begins an activity; never fails.
  static Token beginActivity(std::uint64_t options, std::string reason);
  // Ends it; nullptr or an already ended token does nothing.
  static void endActivity(const Token& token);
  // The active activities, oldest first.
  static std::vector<ActivityInfo> activeActivities();

  static void disableSuddenTermination();
  static void enableSuddenTermination();
  static void disableAutomaticTermination(const std::string& reason);
  static void enableAutomaticTermination(const std::string& reason);
  static long suddenTerminationDisabledCount();
  static long automaticTerminationDisabledCount();
  // The reasons of the automatic-termination disables still in force, oldest
  // first (an enable removes the oldest entry with the same reason).
  static std::vector<std::string> automaticTerminationReasons();

  static bool suddenTerminationAllowed();
  static bool automaticTerminationAllowed();

  // Tests: forget every activity and reset both counters.
  static void resetForTesting();
};

}  // namespace platform
