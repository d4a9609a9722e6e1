#include "sdk/platform/bcn_onboarding_operation.h"

#include "platform/foundation/format.h"
#include "sdk/platform/bcn_application.h"
#include "sdk/platform/bcn_application_identifier_model.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/bcn_icon.h"
#include "sdk/platform/bcn_network_client.h"
#include "sdk/platform/bcn_network_response_handler.h"
#include "sdk/platform/bcn_url_builder.h"

namespace sdk {
namespace {

// A text that is empty stands for a missing value: the encoder leaves its
// field out.
platform::Value textOrNone(const std::string& text) {
  return text.empty() ? platform::Value() : platform::Value(text);
}

}  // namespace

std::shared_ptr<BCNOnboardingOperation> BCNOnboardingOperation::initWithDelegate(
    std::weak_ptr<BCNOnboardingOperationDelegate> delegate, bool shouldCreate,
    std::optional<std::string> APIKey, const platform::Value& kitVersionsByKitBundleIdentifier,
    std::shared_ptr<BCNApplicationIdentiferModel> appIdentifierModel, std::string endpointString,
    std::weak_ptr<BCNNetworkClient> networkClient, platform::BundlePtr bundle) {
  if (!APIKey) return nullptr;
  return std::make_shared<BCNOnboardingOperation>(
      std::move(delegate), shouldCreate, std::move(*APIKey), kitVersionsByKitBundleIdentifier,
      std::move(appIdentifierModel), std::move(endpointString), std::move(networkClient),
      std::move(bundle));
}

BCNOnboardingOperation::BCNOnboardingOperation(
    std::weak_ptr<BCNOnboardingOperationDelegate> delegate, bool shouldCreate, std::string APIKey,
    const platform::Value& kitVersionsByKitBundleIdentifier,
    std::shared_ptr<BCNApplicationIdentiferModel> appIdentifierModel, std::string endpointString,
    std::weak_ptr<BCNNetworkClient> networkClient, platform::BundlePtr bundle)
    : BCNNetworkOperation(std::move(APIKey)),
      delegate_(std::move(delegate)),
      kitVersions_(kitVersionsByKitBundleIdentifier.isDictionary()
                       ? kitVersionsByKitBundleIdentifier.copy()
                       : platform::Value::dictionary()),
      appIdentifierModel_(std::move(appIdentifierModel)),
      appEndpoint_(std::move(endpointString)),
      networkClient_(std::move(networkClient)),
      bundle_(std::move(bundle)),
      shouldCreate_(shouldCreate) {}

bool BCNOnboardingOperation::shouldCreate() const {
  std::lock_guard lock(mutex_);
  return shouldCreate_;
}

void BCNOnboardingOperation::setShouldCreate(bool shouldCreate) {
  std::lock_guard lock(mutex_);
  shouldCreate_ = shouldCreate;
}

platform::Error BCNOnboardingOperation::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

void BCNOnboardingOperation::main() { beginAppConfigure(); }

std::shared_ptr<BCNMultipartMimeStreamEncoder> BCNOnboardingOperation::makeEncoder(
    std::shared_ptr<platform::urlloading::OutputStream> stream, std::string boundary) const {
  return BCNMultipartMimeStreamEncoder::encoderWithStream(std::move(stream), std::move(boundary));
}

void BCNOnboardingOperation::beginAppConfigure() {
  auto stream = std::make_shared<platform::urlloading::MemoryOutputStream>();
  auto encoder = makeEncoder(stream, BCNMultipartMimeStreamEncoder::generateBoundary());
  if (!encoder) {
    BCNConsoleWrite("[Beacon] configure failed during onboarding");
    finishWithError(errorForCode(
        0, platform::Value::dictionary(
               {{platform::kLocalizedDescriptionKey, "Multipart mime encoder was nil"}})));
    return;
  }
  encoder->encode([this](BCNMultipartMimeStreamEncoder& e) { encodeForm(e); });

  const bool create = shouldCreate();
  platform::urlloading::URLRequest request = onboardingRequestForAppCreate(create);
  request.setValueForHTTPHeaderField("Content-Type", encoder->contentTypeHTTPHeaderValue());
  request.setValueForHTTPHeaderField("Content-Length", encoder->contentLengthHTTPHeaderValue());
  request.setHTTPBody(stream->dataWrittenToMemory().value_or(platform::Bytes{}));

  const std::shared_ptr<BCNNetworkClient> client = networkClient_.lock();
  if (!client) {
    // No client, no request: end now instead of never finishing.
    complete(BCNNetworkResponseHandler::errorForCode(kBCNNetworkErrorNoTask));
    return;
  }
  const auto self = std::static_pointer_cast<BCNOnboardingOperation>(shared_from_this());
  client->startDataTaskWithRequest(
      request, create ? kBCNOnboardingCreateRetryLimit : kBCNOnboardingUpdateRetryLimit,
      [self](const std::optional<platform::Bytes>&,
             const std::optional<platform::urlloading::URLResponse>&,
             const platform::Error& error) { self->complete(error); });
}

void BCNOnboardingOperation::complete(const platform::Error& error) {
  bool create;
  {
    std::lock_guard lock(mutex_);
    error_ = error;
    create = shouldCreate_;
  }
  if (auto delegate = delegate_.lock()) {
    if (create) {
      delegate->onboardingOperationDidCompleteAppCreationWithError(*this, error);
    } else {
      delegate->onboardingOperationDidCompleteAppUpdateWithError(*this, error);
    }
  }
  finishWithError(error);
}

void BCNOnboardingOperation::encodeForm(BCNMultipartMimeStreamEncoder& encoder) const {
  const auto& model = appIdentifierModel_;
  encoder.addValue(textOrNone(appBundleIdentifier()), "app[identifier]");
  encoder.addValue(model ? textOrNone(model->instanceIdentifier()) : platform::Value(),
                   "app[instance_identifier]");
  encoder.addValue(textOrNone(appName()), "app[name]");
  encoder.addValue(textOrNone(appBuildVersion()), "app[build_version]");
  encoder.addValue(textOrNone(appDisplayVersion()), "app[display_version]");
  encoder.addValue(platform::Value(appInstallSource()), "app[source]");
  encoder.addValue(model ? textOrNone(model->minimumSDKString()) : platform::Value(),
                   "app[minimum_sdk_version]");
  encoder.addValue(model ? textOrNone(model->builtSDKString()) : platform::Value(),
                   "app[built_sdk_version]");
  kitVersions_.forEach([&](const platform::Value& key, const platform::Value& value) {
    encoder.addValue(value, platform::format("%@[%@]", "app[build][libraries]", key));
    return true;
  });
  if (model) {
    for (const auto& [architecture, uuid] : model->architectureUUIDMap()) {
      encoder.addValue(textOrNone(architecture), "app[slices][][arch]");
      encoder.addValue(textOrNone(uuid), "app[slices][][uuid]");
    }
    const std::shared_ptr<BCNIcon> icon = model->icon();
    if (icon && !icon->data().empty() && !icon->dataHash().empty()) {
      encoder.addValue(icon->dataHash(), "app[icon][hash]");
      encoder.addValue(icon->prerendered() ? "true" : "false", "app[icon][prerendered]");
      encoder.addValue(formatIconDimension(icon->size().width), "app[icon][width]");
      encoder.addValue(formatIconDimension(icon->size().height), "app[icon][height]");
      encoder.addFileData(icon->data(), "icon.png", "image/png", "app[icon][data]");
    }
  }
}

std::string BCNOnboardingOperation::formatIconDimension(double points) {
  unsigned long whole = 0;
  if (points >= 1.8e19) {
    whole = static_cast<unsigned long>(-1);
  } else if (points > 0) {  // false for NaN too
    whole = static_cast<unsigned long>(points);
  }
  return platform::format("%lu", whole);
}

std::string BCNOnboardingOperation::appBundleIdentifier() const {
  return BCNApplicationGetBundleIdentifier(bundle_);
}

std::string BCNOnboardingOperation::appName() const { return BCNApplicationGetName(bundle_); }

std::string BCNOnboardingOperation::appBuildVersion() const {
  return BCNApplicationGetBuildVersion(bundle_);
}

std::string BCNOnboardingOperation::appDisplayVersion() const {
  return BCNApplicationGetDisplayVersion(bundle_);
}

std::int64_t BCNOnboardingOperation::appInstallSource() const {
  return BCNApplicationGetInstallSource({}, bundle_);
}

std::optional<platform::URL> BCNOnboardingOperation::appCreateURL() const {
  BCNURLBuilder builder = BCNURLBuilder::URLWithBase(appEndpoint_);
  builder.appendComponent("/spi/v1/platforms/");
  builder.escapeAndAppendComponent(appPlatform());
  builder.appendComponent("/apps");
  return builder.URL();
}

std::optional<platform::URL> BCNOnboardingOperation::appUpdateURL() const {
  BCNURLBuilder builder = BCNURLBuilder::URLWithBase(appEndpoint_);
  builder.appendComponent("/spi/v1/platforms/");
  builder.escapeAndAppendComponent(appPlatform());
  builder.appendComponent("/apps/");
  builder.escapeAndAppendComponent(appBundleIdentifier());
  return builder.URL();
}

platform::urlloading::URLRequest BCNOnboardingOperation::onboardingRequestForAppCreate(
    bool create) const {
  const std::optional<platform::URL> url = create ? appCreateURL() : appUpdateURL();
  platform::urlloading::URLRequest request = mutableRequestWithDefaultHTTPHeadersForURL(
      url.value_or(platform::URL()), kBCNOnboardingRequestTimeout);
  request.setHTTPMethod(create ? "POST" : "PUT");
  return request;
}

platform::Error BCNOnboardingOperation::errorForCode(std::int64_t code, platform::Value userInfo) {
  return platform::Error(kBCNSDKOnboardingErrorDomain, code, std::move(userInfo));
}

}  // namespace sdk
