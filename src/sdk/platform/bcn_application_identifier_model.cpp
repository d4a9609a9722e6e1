#include "sdk/platform/bcn_application_identifier_model.h"

#include <string_view>

#include "sdk/platform/bcn_application.h"
#include "sdk/platform/bcn_encoding.h"
#include "sdk/platform/bcn_icon.h"

namespace sdk {

std::shared_ptr<BCNApplicationIdentiferModel> BCNApplicationIdentiferModel::initWithInstallID(
    std::string installID, const platform::BundlePtr& bundle) {
  return initWithInstallID(std::move(installID), std::string(), bundle);
}

std::shared_ptr<BCNApplicationIdentiferModel> BCNApplicationIdentiferModel::initWithInstallID(
    std::string installID, const std::string& executablePath, const platform::BundlePtr& bundle) {
  auto model = std::make_shared<BCNApplicationIdentiferModel>();
  if (!model->computeExecutableInfo(executablePath)) return nullptr;
  model->computeInstanceIdentifier();
  model->icon_ = BCNAppIconUtility(bundle).applicationIcon();
  model->installID_ = std::move(installID);
  model->bundle_ = bundle;
  model->bundleIdentifier_ = BCNApplicationGetBundleIdentifier(bundle);
  return model;
}

std::string BCNApplicationIdentiferModel::minimumSDKString() const {
  return CTRMachOFormatVersion(&minimumSDK_).value_or(std::string());
}

std::string BCNApplicationIdentiferModel::builtSDKString() const {
  return CTRMachOFormatVersion(&builtSDK_).value_or(std::string());
}

std::string BCNApplicationIdentiferModel::instanceIdentifierForUUIDMap(
    const std::map<std::string, std::string>& architectureUUIDMap) {
  // std::map keeps its keys in the ordinary string order.
  std::string joined;
  for (const auto& [architecture, uuid] : architectureUUIDMap) joined += uuid;
  return BCNSHA1HexStringFromData(std::string_view(joined));
}

bool BCNApplicationIdentiferModel::computeExecutableInfo(const std::string& executablePath) {
  CTRMachOFile file;
  const bool opened = executablePath.empty()
                          ? CTRMachOFileInitWithCurrent(&file)
                          : CTRMachOFileInitWithPath(&file, executablePath.c_str());
  if (!opened) return false;
  CTRMachOFileEnumerateSlices(&file, [this](CTRMachOSlice slice) {
    // The walk fills the slice's CPU fields, so the name is taken after it.
    std::string uuid;
    bool hasUUID = false;
    CTRMachOSliceEnumerateLoadCommands(
        &slice, [&](std::uint32_t type, std::uint32_t size, const void* command) {
          switch (type) {
            case kCTRMachOLoadCommandUUID:
              if (size >= 24) {
                uuid = BCNUUIDHexString(CTRMachOGetUUID(command));
                hasUUID = true;
              }
              break;
            case kCTRMachOLoadCommandVersionMinMacOSX:
            case kCTRMachOLoadCommandVersionMinIPhoneOS:
              if (size >= 16) {
                minimumSDK_ = CTRMachOGetMinimumOSVersion(command);
                builtSDK_ = CTRMachOGetLinkedSDKVersion(command);
              }
              break;
            default:
              break;
          }
        });
    if (hasUUID) architectureUUIDMap_[CTRMachOSliceGetArchitectureName(&slice)] = uuid;
  });
  CTRMachOFileDestroy(&file);
  return true;
}

void BCNApplicationIdentiferModel::computeInstanceIdentifier() {
  instanceIdentifier_ = instanceIdentifierForUUIDMap(architectureUUIDMap_);
}

}  // namespace sdk
