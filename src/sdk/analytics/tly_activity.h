// TLYActivity: a process activity that keeps the process from being ended
// (suddenly or automatically) while analytics work is pending.
//
// Guarantees:
//  1. Beginning an activity whose options hold 0x4000 disables sudden
//     termination once, and with 0x8000 disables automatic termination once
//     (with the reason); then a process activity with all the options and
//     the reason is begun (platform/system/process_activity.h).
//  2. The first end() (or freeing the activity) undoes exactly what the
//     beginning did, in the same order; later ends do nothing.
//  3. This platform has no background tasks: backgroundTaskIdentifier() is
//     always 0 and the expiration handler is never called.
//
// Thread safety: activities may begin and end on any thread; end() may race
// with itself and with destruction safely (the token is taken under a lock).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/system/bundle.h"
#include "platform/system/process_activity.h"

namespace sdk {

class TLYApplication;

// The option bits the kit handles directly.
inline constexpr std::uint64_t kTLYActivitySuddenTerminationDisabled = 0x4000;
inline constexpr std::uint64_t kTLYActivityAutomaticTerminationDisabled = 0x8000;
inline constexpr std::uint64_t kTLYActivityTerminationDisabledMask = 0xC000;

class TLYActivity {
 public:
  using Ptr = std::shared_ptr<TLYActivity>;
  using ExpirationHandler = std::function<void()>;

  // Begins the process activity, asks for a background task when the
  // options hold either bit of 0xC000 (none here: 0), and returns the
  // activity.
  static Ptr beginActivity(const std::string& reason, std::uint64_t options,
                           ExpirationHandler expirationHandler);
  static Ptr beginActivity(const std::string& reason, std::uint64_t options);
  // Begins an activity, runs `block` on the calling thread, ends it.
  static void performActivity(const std::string& reason, std::uint64_t options,
                              const std::function<void()>& block);
  // The host application's shared application object (TLYApplication).
  static std::shared_ptr<TLYApplication> sharedAppInstance(
      const platform::BundlePtr& bundle = platform::Bundle::main());

  // The steps of beginning, each its own function as designed. The token is
  // the process activity's, or a placeholder when the service offers none.
  static std::shared_ptr<void> beginActivityIfAvailable(const std::string& reason,
                                                        std::uint64_t options);
  static bool supportsBackgroundTasks() { return false; }
  static std::uint64_t beginBackgroundTaskWithName(const std::string& name,
                                                   ExpirationHandler expirationHandler);

  TLYActivity(std::shared_ptr<void> processInfoToken, std::uint64_t options, std::string reason,
              std::uint64_t backgroundTaskIdentifier);
  // Ends the activity (guarantee 2).
  ~TLYActivity();
  TLYActivity(const TLYActivity&) = delete;
  TLYActivity& operator=(const TLYActivity&) = delete;

  // Ends the background task (nothing here), then the process activity.
  void end();
  void endAndInvalidateInternalActivity();

  std::uint64_t options() const { return options_; }
  const std::string& reason() const { return reason_; }
  std::uint64_t backgroundTaskIdentifier() const { return backgroundTaskIdentifier_; }
  // Whether the activity still holds its token (has not ended).
  bool isActive() const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<void> processInfoToken_;
  const std::uint64_t options_;
  const std::string reason_;
  const std::uint64_t backgroundTaskIdentifier_;
};

}  // namespace sdk
