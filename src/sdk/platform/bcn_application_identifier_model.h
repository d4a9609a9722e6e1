// sdk::BCNApplicationIdentiferModel: the identity of the host application
// that the SDK's settings and onboarding requests carry: the installation
// identifier, the bundle identifier, the application icon, the UUID of every
// slice of the running executable and the instance identifier made from them
// (SHA-1 of the slice UUIDs sorted by architecture name), and the minimum and
// built SDK versions found in the executable.
//
// Everything is read once, when the model is made; the model does not change
// afterwards.
//
// Thread safety: immutable after creation; every member may be called from
// any thread.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "platform/system/bundle.h"
#include "sdk/platform/ctr_mach_o.h"

namespace sdk {

class BCNIcon;

class BCNApplicationIdentiferModel {
 public:
  // A major.minor.patch version record as the executable carries it.
  using Version = CTRMachOVersion;

  // Reads the running executable (through the image reader's view of it).
  // Answers nullptr when the executable cannot be opened or read.
  static std::shared_ptr<BCNApplicationIdentiferModel> initWithInstallID(
      std::string installID, const platform::BundlePtr& bundle = platform::Bundle::main());
  // Reads the executable at `executablePath` instead (tests, tools). Answers
  // nullptr when that file cannot be opened or read. The identifier and the
  // icon are `bundle`'s.
  static std::shared_ptr<BCNApplicationIdentiferModel> initWithInstallID(
      std::string installID, const std::string& executablePath,
      const platform::BundlePtr& bundle = platform::Bundle::main());

  const std::string& installID() const { return installID_; }
  // The program bundle the model was made for.
  const platform::BundlePtr& bundle() const { return bundle_; }
  // BCNApplicationGetBundleIdentifier: "/" replaced by "_".
  const std::string& bundleIdentifier() const { return bundleIdentifier_; }
  // The application's icon, or nullptr when it has none.
  std::shared_ptr<BCNIcon> icon() const { return icon_; }
  // Architecture name (e.g. "x86_64") -> that slice's UUID as 32 lower-case
  // hexadecimal digits. Slices without a UUID are not in the map.
  const std::map<std::string, std::string>& architectureUUIDMap() const {
    return architectureUUIDMap_;
  }
  // 40 lower-case hexadecimal digits.
  const std::string& instanceIdentifier() const { return instanceIdentifier_; }
  const Version& minimumSDK() const { return minimumSDK_; }
  const Version& builtSDK() const { return builtSDK_; }
  // "%d.%d.%d" of the records above.
  std::string minimumSDKString() const;
  std::string builtSDKString() const;

  // The instance identifier of a map as above: the UUIDs concatenated in the
  // order of their architecture names, SHA-1 of that text in hexadecimal.
  static std::string instanceIdentifierForUUIDMap(
      const std::map<std::string, std::string>& architectureUUIDMap);

  BCNApplicationIdentiferModel() = default;

 private:
  // Fills the map and the versions from the executable (the running one
  // when the path is empty); false when it cannot be read.
  bool computeExecutableInfo(const std::string& executablePath);
  void computeInstanceIdentifier();

  std::string installID_;
  platform::BundlePtr bundle_;
  std::string bundleIdentifier_;
  std::shared_ptr<BCNIcon> icon_;
  std::map<std::string, std::string> architectureUUIDMap_;
  std::string instanceIdentifier_;
  Version minimumSDK_;
  Version builtSDK_;
};

}  // namespace sdk
