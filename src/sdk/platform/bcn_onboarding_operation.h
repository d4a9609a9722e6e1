// sdk::BCNOnboardingOperation: registers the host application with the SDK's
// platform service (create: "POST <endpoint>/spi/v1/platforms/mac/apps") or
// updates its record there (update: "PUT .../apps/<bundle identifier with
// "/" as "_">). The request is one multipart form describing the
// application: identity, versions, install source, kits, architecture
// slices and icon.
//
// Guarantees:
//  1. main() builds the form, sends it through the network client with the
//     retry limit 10 (create) or 1 (update), and when the client answers
//     stores error(), tells the delegate (create or update method), then
//     finishes with that error.
//  2. When no encoder can be made: the console line "[Beacon] configure
//     failed during onboarding", finish with "BCNSDKOnboardingErrorDomain"
//     error 0 ("Multipart mime encoder was nil"); the delegate is not told
//     and nothing is sent.
//  3. When the network client is already gone at main(), nothing is sent,
//     error() is the client's "no task" error (BCNNetworkError -3), the
//     delegate is told and the operation finishes with it (rather than
//     never finishing).
//  4. Fields without a value (no name, no model, no version) are left out
//     by the encoder with its console line; the five icon fields are sent
//     only when the icon has data and a data hash.
//
// The delegate is held weakly: the manager that is the delegate owns the
// operation, and a strong link back would keep both alive for ever.
// The completion, the delegate call and the finish run on the network
// client's completion queue.
//
// Thread safety: as BCNAsyncOperation; the fields are set at creation,
// error() once before the delegate is told.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "platform/system/bundle.h"
#include "platform/urlloading/stream.h"
#include "platform/urlloading/url_request.h"
#include "sdk/platform/bcn_multipart_mime_stream_encoder.h"
#include "sdk/platform/bcn_network_operation.h"

namespace sdk {

class BCNApplicationIdentiferModel;
class BCNNetworkClient;
class BCNOnboardingOperation;

inline constexpr const char* kBCNSDKOnboardingErrorDomain = "BCNSDKOnboardingErrorDomain";
// Seconds of the onboarding request's time-out.
inline constexpr double kBCNOnboardingRequestTimeout = 10.0;
// Retry limits of the network client for the two requests.
inline constexpr std::uint64_t kBCNOnboardingCreateRetryLimit = 10;
inline constexpr std::uint64_t kBCNOnboardingUpdateRetryLimit = 1;

class BCNOnboardingOperationDelegate {
 public:
  virtual ~BCNOnboardingOperationDelegate() = default;
  virtual void onboardingOperationDidCompleteAppCreationWithError(BCNOnboardingOperation& operation,
                                                                  const platform::Error& error) = 0;
  virtual void onboardingOperationDidCompleteAppUpdateWithError(BCNOnboardingOperation& operation,
                                                                const platform::Error& error) = 0;
};

class BCNOnboardingOperation : public BCNNetworkOperation {
 public:
  // initWithDelegate:shouldCreate:APIKey:kitVersionsByKitBundleIdentifier:
  // appIdentifierModel:endpointString:networkClient:. nullptr when
  // `APIKey` is nullopt. `kitVersions` is a dictionary of kit bundle
  // identifier to version (copied); anything else counts as empty. The
  // application's facts are `bundle`'s.
  static std::shared_ptr<BCNOnboardingOperation> initWithDelegate(
      std::weak_ptr<BCNOnboardingOperationDelegate> delegate, bool shouldCreate,
      std::optional<std::string> APIKey, const platform::Value& kitVersionsByKitBundleIdentifier,
      std::shared_ptr<BCNApplicationIdentiferModel> appIdentifierModel, std::string endpointString,
      std::weak_ptr<BCNNetworkClient> networkClient,
      platform::BundlePtr bundle = platform::Bundle::main());

  BCNOnboardingOperation(std::weak_ptr<BCNOnboardingOperationDelegate> delegate, bool shouldCreate,
                         std::string APIKey,
                         const platform::Value& kitVersionsByKitBundleIdentifier,
                         std::shared_ptr<BCNApplicationIdentiferModel> appIdentifierModel,
                         std::string endpointString, std::weak_ptr<BCNNetworkClient> networkClient,
                         platform::BundlePtr bundle = platform::Bundle::main());

  std::string className() const override { return "BCNOnboardingOperation"; }

  bool shouldCreate() const;
  void setShouldCreate(bool shouldCreate);
  std::shared_ptr<BCNOnboardingOperationDelegate> delegate() const { return delegate_.lock(); }
  const std::shared_ptr<BCNApplicationIdentiferModel>& appIdentifierModel() const {
    return appIdentifierModel_;
  }
  const std::string& appEndpoint() const { return appEndpoint_; }
  std::shared_ptr<BCNNetworkClient> networkClient() const { return networkClient_.lock(); }
  const platform::Value& kitVersionsByKitBundleIdentifier() const { return kitVersions_; }
  // The outcome; empty until the request ended, and on success.
  platform::Error error() const;

  // beginAppConfigure().
  void main() override;
  void beginAppConfigure();

  // Values of the form.
  std::string appBundleIdentifier() const;  // "/" replaced by "_"
  std::string appPlatform() const { return "mac"; }
  std::string appName() const;
  std::string appBuildVersion() const;
  std::string appDisplayVersion() const;
  std::int64_t appInstallSource() const;  // 1, 3 or 4

  // The endpoint, "/spi/v1/platforms/", the escaped platform, then "/apps"
  // (create) or "/apps/" and the escaped bundle identifier (update);
  // nullopt when the text is no valid URL.
  std::optional<platform::URL> appCreateURL() const;
  std::optional<platform::URL> appUpdateURL() const;
  // The common request (10-second time-out) with "POST" (create) or "PUT".
  platform::urlloading::URLRequest onboardingRequestForAppCreate(bool create) const;
  // An error of "BCNSDKOnboardingErrorDomain".
  static platform::Error errorForCode(std::int64_t code, platform::Value userInfo = {});

  // An icon dimension in points as the form sends it: "%lu" of its unsigned
  // integer part (57.9 gives "57"; negative or NaN gives "0").
  static std::string formatIconDimension(double points);

  // Adds the form's fields, in their order, to `encoder`.
  void encodeForm(BCNMultipartMimeStreamEncoder& encoder) const;

 protected:
  // The encoder on `stream` (a subclass may answer nullptr).
  virtual std::shared_ptr<BCNMultipartMimeStreamEncoder> makeEncoder(
      std::shared_ptr<platform::urlloading::OutputStream> stream, std::string boundary) const;

 private:
  void complete(const platform::Error& error);

  const std::weak_ptr<BCNOnboardingOperationDelegate> delegate_;
  const platform::Value kitVersions_;
  const std::shared_ptr<BCNApplicationIdentiferModel> appIdentifierModel_;
  const std::string appEndpoint_;
  const std::weak_ptr<BCNNetworkClient> networkClient_;
  const platform::BundlePtr bundle_;

  mutable std::mutex mutex_;
  bool shouldCreate_;      // guarded by mutex_
  platform::Error error_;  // guarded by mutex_
};

}  // namespace sdk
