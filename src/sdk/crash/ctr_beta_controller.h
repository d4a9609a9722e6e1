// CTRBetaController: for an application signed for distribution through the
// SDK's beta service, asks the SDK's server after every settings download
// whether a newer test build exists, and keeps the answer as the active
// update. The kit makes one when isBetaSupported() and calls start(); start
// fails, and no check ever runs, without a beta token from the delegate.
//
// Guarantees:
//  1. A check (maybeGetUpdate) runs only while beta is supported, checks are
//     not suspended and no request is under way; the "under way" flag
//     (isRetrying) is tested and set on the controller's serial queue, so
//     checks asked for in quick succession make one request.
//  2. The request is a GET of betaUpdateURL() with a 10 s time-out and the
//     beta service's header fields; the network client retries it up to 10
//     times. It is started from the controller's queue.
//  3. A successful answer (no error, non-empty body) suspends further checks
//     for the settings' suspend duration, clears the "under way" flag and
//     is parsed; the completion gets the update or nullptr and the error.
//     A failed request only logs and calls no completion; it clears the
//     "under way" flag too, so a later settings download checks again.
//  4. An update with a URL becomes the active update on the main queue and
//     is handed to the delegate's betaControllerDidActivateUpdate; no alert
//     is shown.
//  5. Suspension, its timer (a one-shot timer on the main run loop) and the
//     active update are changed on the main queue only.
// Every message is written only while the SDK's debug switch is set.
//
// Thread safety: every member may be called from any thread; the fields sit
// behind a lock that is never held while calling out. Must be owned by a
// std::shared_ptr (initWithDelegate).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/error.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "platform/runloop/run_loop.h"
#include "platform/system/notification_center.h"
#include "platform/urlloading/url_request.h"
#include "sdk/crash/capture/ctr_context_init.h"
#include "sdk/crash/ctr_beta_update.h"
#include "sdk/crash/ctr_settings.h"
#include "sdk/platform/bcn_network_client.h"

namespace sdk {

inline constexpr const char* kCTRBetaQueueLabel = "com.beacon.crashtrail.mac.beta";
inline constexpr std::uint64_t kCTRBetaRetryLimit = 10;
inline constexpr double kCTRBetaRequestTimeout = 10.0;

inline constexpr const char* kCTRBetaTokenHeaderField = "X-Crashtrail-Beta-Token";

class CTRBetaController;

// CTRBetaControllerDelegate (the kit adopts it). Every method is optional.
// Called on whichever queue the controller is working on at the time.
class CTRBetaControllerDelegate {
 public:
  virtual ~CTRBetaControllerDelegate() = default;
  // The crash SDK's settings (betaEndpoint, betaSuspendDuration).
  virtual CTRSettings::Ptr settingsForBetaController(CTRBetaController& controller) {
    (void)controller;
    return nullptr;
  }
  virtual std::optional<std::string> APIKeyForBetaController(CTRBetaController& controller) {
    (void)controller;
    return std::nullopt;
  }
  // The kit's beta token, asked for once, on first use (none by default).
  virtual std::optional<std::string> betaTokenForBetaController(CTRBetaController& controller) {
    (void)controller;
    return std::nullopt;
  }
  // The update that just became the active one (main queue). Where the
  // design would offer it to the user; nothing is shown here.
  virtual void betaControllerDidActivateUpdate(CTRBetaController& controller,
                                               const CTRBetaUpdate::Ptr& update) {
    (void)controller;
    (void)update;
  }
};

class CTRBetaController : public std::enable_shared_from_this<CTRBetaController> {
  struct Passkey {};

 public:
  using Ptr = std::shared_ptr<CTRBetaController>;
  // Gets the update (nullptr when the answer could not be read) and the
  // error of reading it; runs on the controller's queue.
  using Completion = std::function<void(const CTRBetaUpdate::Ptr& update, const platform::Error&)>;

  // Not an application extension, and installed from a build signed for
  // distribution (install source 3).
  // (Both of `bundle`'s program.)
  static bool isBetaSupported(const platform::BundlePtr& bundle = platform::Bundle::main());
  // The SDK's pinned certificates (with `bundle`'s local service authority).
  static BCNNetworkClient::Certificates pinnnedCertificates(
      const platform::BundlePtr& bundle = platform::Bundle::main());

  // Keeps the delegate weakly, makes the queue and the network client (no
  // queue, the pinned certificates). When no client could be made it logs
  // "[Crahlytics:Beta] Failed to configure networking" and returns the
  // controller all the same. The application it checks for is `bundle`'s.
  static Ptr initWithDelegate(std::weak_ptr<CTRBetaControllerDelegate> delegate,
                              platform::BundlePtr bundle = platform::Bundle::main());
  CTRBetaController(Passkey, std::weak_ptr<CTRBetaControllerDelegate> delegate,
                    platform::BundlePtr bundle);
  // Removes the observer and invalidates the suspension timer.
  ~CTRBetaController();
  CTRBetaController(const CTRBetaController&) = delete;
  CTRBetaController& operator=(const CTRBetaController&) = delete;

  // false without a beta token; else observes BCNSettingsAvailableNotification
  // (once, however often it is called) and returns true.
  bool start();

  // Each runs checkForUpdate.
  void beaconSettingsDownloaded(const platform::Notification& notification);
  void applicationWillEnterForeground(const platform::Notification& notification);
  void applicationWillEnterForeground();

  // maybeGetUpdate with a completion that calls didGetUpdate.
  void checkForUpdate();
  // Guarantee 1; returns at once.
  void maybeGetUpdate(Completion completion);
  // The check's URL; nullopt when the beta endpoint makes no valid, absolute
  // URL (as without settings).
  std::optional<platform::URL> betaUpdateURL();
  // The request of guarantee 2 for `url`.
  platform::urlloading::URLRequest betaUpdateRequestForURL(const platform::URL& url);
  // Guarantee 2; returns at once.
  void loadUpdateWithCompletionBlock(Completion completion);
  // Guarantee 3 (called on the network client's queue).
  void handledCompletedBetaRequestWithData(const std::optional<platform::Bytes>& data,
                                           const platform::Error& error, Completion completion);
  // The parsed answer; nullptr and `*error` when it cannot be read.
  CTRBetaUpdate::Ptr updateWithData(const platform::Bytes& data, platform::Error* error);

  // Guarantee 5: with a suspend duration from the settings, suspends checks
  // until a one-shot timer of that many seconds calls allowChecks.
  void temporarilySuspendChecks();
  void allowChecks();
  bool shouldGetUpdates();
  // Guarantee 4.
  void didGetUpdate(const CTRBetaUpdate::Ptr& update);
  void showBetaAlertForUpdate(const CTRBetaUpdate::Ptr& update);

  // --- facts --------------------------------------------------------------------
  CTRSettings::Ptr settings();
  std::optional<std::string> APIKey();
  // nullopt without settings.
  std::optional<double> betaUpdateSuspendDurationSecs();
  // "" without settings.
  std::string betaEndpoint();
  std::string appBundleIdentifier();
  std::string appBuildVersion();
  std::string appDisplayVersion();
  std::string appInstanceIdentifier();
  std::int64_t appInstallationSource();

  // --- properties ---------------------------------------------------------------
  const BCNNetworkClient::Ptr& networkClient() const { return networkClient_; }
  CTRBetaUpdate::Ptr activeUpdate() const;
  std::shared_ptr<platform::runloop::Timer> checkSuspensionTimer() const;
  bool checksSuspended() const;
  bool isRetrying() const;
  const platform::dispatch::QueuePtr& queue() const { return queue_; }
  std::shared_ptr<CTRBetaControllerDelegate> delegate() const { return delegate_.lock(); }
  // Fetched from the delegate on first use.
  std::optional<std::string> betaToken();

 private:
  const std::weak_ptr<CTRBetaControllerDelegate> delegate_;
  const platform::BundlePtr bundle_;
  const platform::dispatch::QueuePtr queue_;
  BCNNetworkClient::Ptr networkClient_;

  mutable std::mutex mutex_;  // guards the fields below; never held while calling out
  CTRBetaUpdate::Ptr activeUpdate_;
  std::shared_ptr<platform::runloop::Timer> checkSuspensionTimer_;
  bool checksSuspended_ = false;
  bool retrying_ = false;
  bool betaTokenFetched_ = false;
  std::optional<std::string> betaToken_;
  platform::NotificationCenter::ObserverToken observer_;
};

}  // namespace sdk
