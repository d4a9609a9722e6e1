#include "sdk/platform/bcn_download_and_save_settings_operation.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "sdk/platform/bcn_application.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/bcn_host.h"
#include "sdk/platform/bcn_network_client.h"
#include "sdk/platform/bcn_network_response_handler.h"
#include "sdk/platform/beacon.h"

namespace sdk {
namespace fs = std::filesystem;

namespace {

platform::Error fileError(const std::error_code& code, const std::string& context) {
  return platform::Error::posix(code.value() ? code.value() : EIO, context);
}

}  // namespace

std::shared_ptr<BCNDownloadAndSaveSettingsOperation>
BCNDownloadAndSaveSettingsOperation::initWithAPIKey(
    std::optional<std::string> APIKey,
    std::weak_ptr<BCNDownloadAndSaveSettingsOperationDelegate> delegate, platform::URL settingsURL,
    std::string settingsDirectoryPath, std::string settingsFilePath, std::string installIdentifier,
    std::string advertisingToken, std::weak_ptr<BCNNetworkClient> networkClient,
    const platform::BundlePtr& bundle) {
  if (!APIKey) return nullptr;
  return std::make_shared<BCNDownloadAndSaveSettingsOperation>(
      std::move(*APIKey), std::move(delegate), std::move(settingsURL),
      std::move(settingsDirectoryPath), std::move(settingsFilePath), std::move(installIdentifier),
      std::move(advertisingToken), std::move(networkClient), bundle);
}

BCNDownloadAndSaveSettingsOperation::BCNDownloadAndSaveSettingsOperation(
    std::string APIKey, std::weak_ptr<BCNDownloadAndSaveSettingsOperationDelegate> delegate,
    platform::URL settingsURL, std::string settingsDirectoryPath, std::string settingsFilePath,
    std::string installIdentifier, std::string advertisingToken,
    std::weak_ptr<BCNNetworkClient> networkClient, const platform::BundlePtr& bundle)
    : BCNNetworkOperation(std::move(APIKey)),
      delegate_(std::move(delegate)),
      settingsURL_(std::move(settingsURL)),
      settingsDirectoryPath_(std::move(settingsDirectoryPath)),
      settingsFilePath_(std::move(settingsFilePath)),
      installIdentifier_(std::move(installIdentifier)),
      advertisingToken_([&] {
        if (BCNApplicationCollectsDeviceIdentifiers(bundle)) return std::move(advertisingToken);
        BCNConsoleWriteDebug("[Beacon] Suppressing device identifier reporting");
        return std::string();
      }()),
      networkClient_(std::move(networkClient)) {}

platform::Error BCNDownloadAndSaveSettingsOperation::error() const {
  std::lock_guard lock(errorMutex_);
  return error_;
}

platform::urlloading::URLRequest
BCNDownloadAndSaveSettingsOperation::mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(
    const platform::URL& url) const {
  platform::urlloading::URLRequest request =
      BCNNetworkOperation::mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(url);
  request.setHTTPMethod("GET");
  // An empty value leaves the field out (the design's nil).
  request.setValueForHTTPHeaderField("Accept", "application/json");
  request.setValueForHTTPHeaderField("X-Crashtrail-Installation-ID", installIdentifier_);
  request.setValueForHTTPHeaderField("X-Crashtrail-Device-Model",
                                     BCNHostGetModel().value_or(std::string()));
  request.setValueForHTTPHeaderField("X-Crashtrail-OS-Build-Version",
                                     BCNHostGetOSBuildVersion().value_or(std::string()));
  request.setValueForHTTPHeaderField("X-Crashtrail-OS-Display-Version",
                                     BCNHostGetOSDisplayVersion());
  request.setValueForHTTPHeaderField("X-Crashtrail-API-Client-Version",
                                     kBCNPlatformKitDisplayVersion);
  request.setValueForHTTPHeaderField("X-Crashtrail-Advertising-Token", advertisingToken_);
  return request;
}

void BCNDownloadAndSaveSettingsOperation::main() {
  const std::shared_ptr<BCNNetworkClient> client = networkClient_.lock();
  if (!client) {
    // No client, no request: end now instead of never finishing.
    finishWith(BCNNetworkResponseHandler::errorForCode(kBCNNetworkErrorNoTask));
    return;
  }
  const auto self =
      std::static_pointer_cast<BCNDownloadAndSaveSettingsOperation>(shared_from_this());
  client->startDownloadTaskWithRequest(
      mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(settingsURL_), 1,
      [self](const std::optional<platform::URL>& location,
             const std::optional<platform::urlloading::URLResponse>&,
             const platform::Error& error) {
        if (error) {
          self->finishWith(error);
          return;
        }
        const platform::Error saveError = self->saveDownloadedFile(location);
        if (saveError)
          BCNConsoleLog("[Beacon] Unable to complete settings download %@",
                        saveError.description());
        self->finishWith(saveError);
      });
}

platform::Error BCNDownloadAndSaveSettingsOperation::saveDownloadedFile(
    const std::optional<platform::URL>& location) {
  std::error_code ec;
  fs::remove_all(settingsDirectoryPath_, ec);
  if (ec) return fileError(ec, "remove " + settingsDirectoryPath_);
  fs::create_directories(settingsDirectoryPath_, ec);
  if (ec) return fileError(ec, "create " + settingsDirectoryPath_);
  // The SDK's files are their user's alone, wherever the folder lies.
  fs::permissions(settingsDirectoryPath_, fs::perms::owner_all, fs::perm_options::replace, ec);
  if (ec) return fileError(ec, "restrict " + settingsDirectoryPath_);
  if (!location || !location->isFileURL())
    return platform::Error::posix(ENOENT, "no downloaded settings file");
  const std::string from = location->decodedPath();
  fs::rename(from, settingsFilePath_, ec);
  if (ec == std::errc::cross_device_link) {
    // The download may sit on another file system: copy, then drop it.
    ec.clear();
    fs::copy_file(from, settingsFilePath_, fs::copy_options::overwrite_existing, ec);
    if (!ec) {
      std::error_code ignored;
      fs::remove(from, ignored);
    }
  }
  if (ec) return fileError(ec, "move " + from + " to " + settingsFilePath_);
  fs::permissions(settingsFilePath_, fs::perms::owner_read | fs::perms::owner_write,
                  fs::perm_options::replace, ec);
  if (ec) return fileError(ec, "restrict " + settingsFilePath_);
  return {};
}

void BCNDownloadAndSaveSettingsOperation::finishWith(const platform::Error& error) {
  {
    std::lock_guard lock(errorMutex_);
    error_ = error;
  }
  if (const auto delegate = delegate_.lock())
    delegate->operationDidDownloadAndSaveSettingsWithError(*this, error);
  finishWithError(error);
}

}  // namespace sdk
