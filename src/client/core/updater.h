// VRUpdater: the application's update checker. It holds the feed URL (set by
// the start-up once the base-URL probe has chosen the account service),
// checks the feed automatically once a day when automatic checks are on, and
// checks on request. A check fetches the feed and reads the newest version it
// offers; nothing is downloaded or installed.
//
// Guarantees:
//  1. Every completion runs once, on the main queue: with an error, or with
//     the newest version offered and whether it is newer than the running
//     program. A feed offer with a short version string ("1.2.0") is shown
//     and compared in that form, against the program's short version; one
//     with only a build number is compared with the program's build version.
//     The program is the one the updater was made for (the running one for
//     the shared updater).
//  2. A check without a feed URL fails at once (on the main queue); a second
//     check while one runs joins it.
//  3. The automatic-check setting lives in the user defaults
//     ("AutomaticallyCheckForUpdates", default on).
//  4. The feed's reply is bounded: a body over kUpdateFeedMaximumLength
//     bytes, or a load longer than kUpdateFeedMaximumDuration seconds,
//     fails the check with the URL loading error (-1103, -1001); a feed is
//     never read from part of a reply.
//
// Thread safety: main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/queue_checker.h"
#include "platform/foundation/error.h"
#include "platform/foundation/url.h"
#include "platform/runloop/run_loop.h"
#include "platform/system/bundle.h"

namespace client {

inline constexpr const char* kUpdateFeedFormat = "%@/mac_v2.xml";
inline constexpr const char* kAutomaticUpdateChecksKey = "AutomaticallyCheckForUpdates";
inline constexpr const char* kUpdaterErrorDomain = "VRUpdaterErrorDomain";
// A feed lists the offered versions with their notes: tens of kilobytes
// after years of releases, so 1 MiB leaves room to spare. It is fetched in
// the background; a minute lets it come over a slow link.
inline constexpr std::int64_t kUpdateFeedMaximumLength = std::int64_t{1} << 20;
inline constexpr double kUpdateFeedMaximumDuration = 60.0;

struct UpdateCheckResult {
  platform::Error error;  // set when the check failed
  // The newest version the feed offers, in the form the About window shows
  // ("1.2.0", the feed's short version string) where the feed gives it.
  std::string latestVersion;
  bool updateAvailable = false;  // newer than the running program
};

class VRUpdater : public std::enable_shared_from_this<VRUpdater> {
 public:
  using Completion = std::function<void(const UpdateCheckResult&)>;

  // The running program's updater, made on first use.
  static std::shared_ptr<VRUpdater> sharedUpdater();
  static void resetSharedUpdaterForTesting();
  // A new updater of the program `bundle` describes (nullptr: the running
  // program's).
  static std::shared_ptr<VRUpdater> create(platform::BundlePtr bundle = nullptr);

  std::optional<platform::URL> feedURL() const { return feedURL_; }
  void setFeedURL(platform::URL url);
  bool automaticallyChecksForUpdates() const;
  void setAutomaticallyChecksForUpdates(bool on);
  // Starts the daily automatic check (when on); the first runs a day from now.
  void startAutomaticChecks(double intervalSeconds = 86400.0);
  // Fetches the feed now.
  void checkForUpdates(Completion completion);

  // One offer of a feed: its "version" (a build number) and its
  // "shortVersionString" (the version people read); either may be "".
  struct FeedVersion {
    std::string version;
    std::string shortVersion;
  };
  // The newest offer of a feed text (by build number where both offers have
  // one, else by short version); both "" when the feed offers none.
  static FeedVersion latestInFeed(const std::string& feed);
  // The "version" attribute of the newest offer ("" when none).
  static std::string latestVersionInFeed(const std::string& feed);
  // Compares dotted numeric versions ("1.10" > "1.9"); <0, 0 or >0.
  static int compareVersions(const std::string& a, const std::string& b);

 private:
  // Main thread only, checked in checked builds.
  platform::dispatch::QueueChecker mainQueue_{platform::dispatch::Queue::main()};
  explicit VRUpdater(platform::BundlePtr bundle) : bundle_(std::move(bundle)) {}
  void finish(const UpdateCheckResult& result);

  const platform::BundlePtr bundle_;  // never null
  std::optional<platform::URL> feedURL_;
  std::vector<Completion> waiting_;
  std::shared_ptr<void> connection_;  // the running fetch
  std::shared_ptr<platform::runloop::Timer> timer_;
};

}  // namespace client
