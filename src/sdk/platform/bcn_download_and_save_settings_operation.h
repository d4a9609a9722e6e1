// sdk::BCNDownloadAndSaveSettingsOperation: downloads the SDK's settings for
// the host application and stores them as the settings file.
//
// main() starts one download through the network client (retry limit 1).
// When it ends:
//  - with an error: error() holds it, the delegate is told, the operation
//    finishes with it;
//  - otherwise the settings directory is removed with all its content and
//    made again, and the downloaded file is moved to the settings file path.
//    A failed move writes "[Beacon] Unable to complete settings download %@"
//    and becomes error(). The delegate is told (empty error on success) and
//    the operation finishes with error().
// The delegate is told on the network client's completion queue.
//
// The operation holds its delegate and its network client weakly. When the
// client is already gone at main(), it ends at once with the network
// client's "no task" error (BCNNetworkError -3) rather than never
// finishing.
//
// Thread safety: as BCNAsyncOperation; the fields are set at creation,
// error() once before the delegate is told.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/url.h"
#include "platform/system/bundle.h"
#include "platform/urlloading/url_request.h"
#include "sdk/platform/bcn_network_operation.h"

namespace sdk {

class BCNNetworkClient;
class BCNDownloadAndSaveSettingsOperation;

class BCNDownloadAndSaveSettingsOperationDelegate {
 public:
  virtual ~BCNDownloadAndSaveSettingsOperationDelegate() = default;
  virtual void operationDidDownloadAndSaveSettingsWithError(
      BCNDownloadAndSaveSettingsOperation& operation, const platform::Error& error) = 0;
};

class BCNDownloadAndSaveSettingsOperation : public BCNNetworkOperation {
 public:
  // The full initializer. nullptr when `APIKey` is nullopt. An empty
  // installation identifier or advertising token stands for none; the
  // token is dropped when the application does not report device
  // identifiers (BCNApplicationCollectsDeviceIdentifiers of `bundle`).
  static std::shared_ptr<BCNDownloadAndSaveSettingsOperation> initWithAPIKey(
      std::optional<std::string> APIKey,
      std::weak_ptr<BCNDownloadAndSaveSettingsOperationDelegate> delegate,
      platform::URL settingsURL, std::string settingsDirectoryPath, std::string settingsFilePath,
      std::string installIdentifier, std::string advertisingToken,
      std::weak_ptr<BCNNetworkClient> networkClient,
      const platform::BundlePtr& bundle = platform::Bundle::main());

  BCNDownloadAndSaveSettingsOperation(
      std::string APIKey, std::weak_ptr<BCNDownloadAndSaveSettingsOperationDelegate> delegate,
      platform::URL settingsURL, std::string settingsDirectoryPath, std::string settingsFilePath,
      std::string installIdentifier, std::string advertisingToken,
      std::weak_ptr<BCNNetworkClient> networkClient,
      const platform::BundlePtr& bundle = platform::Bundle::main());

  std::string className() const override { return "BCNDownloadAndSaveSettingsOperation"; }

  const platform::URL& settingsURL() const { return settingsURL_; }
  const std::string& settingsDirectoryPath() const { return settingsDirectoryPath_; }
  const std::string& settingsFilePath() const { return settingsFilePath_; }
  const std::string& installIdentifier() const { return installIdentifier_; }
  const std::string& advertisingToken() const { return advertisingToken_; }
  // The outcome; empty until the download ended, and on success.
  platform::Error error() const;

  void main() override;
  // The common request (10-second time-out), then GET, "Accept",
  // "X-Crashtrail-Installation-ID", "X-Crashtrail-Device-Model",
  // "X-Crashtrail-OS-Build-Version", "X-Crashtrail-OS-Display-Version",
  // "X-Crashtrail-API-Client-Version" and "X-Crashtrail-Advertising-Token"
  // (fields without a value are left out).
  platform::urlloading::URLRequest mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(
      const platform::URL& url) const override;

 private:
  // Replaces the settings directory and moves `location` into it.
  platform::Error saveDownloadedFile(const std::optional<platform::URL>& location);
  void finishWith(const platform::Error& error);

  const std::weak_ptr<BCNDownloadAndSaveSettingsOperationDelegate> delegate_;
  const platform::URL settingsURL_;
  const std::string settingsDirectoryPath_;
  const std::string settingsFilePath_;
  const std::string installIdentifier_;
  const std::string advertisingToken_;
  const std::weak_ptr<BCNNetworkClient> networkClient_;
  mutable std::mutex errorMutex_;
  platform::Error error_;
};

}  // namespace sdk
