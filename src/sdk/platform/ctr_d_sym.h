// sdk::CTRdSYM: a debug-symbols bundle (a directory holding
// "Contents/Info.plist" and "Contents/Resources/DWARF/<binary>") opened for
// reading: its information dictionary and the Mach-O binary inside.
//
// Guarantees: dSYMWithURL gives nullptr unless the directory exists, its
// "Contents/Resources/DWARF" is a directory with at least one entry, and
// the first entry (in name order) opens as a CTRMachOBinary.
//
// Thread safety: immutable after creation; any thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/url.h"
#include "platform/system/bundle.h"
#include "sdk/platform/ctr_mach_o_binary.h"

namespace sdk {

class CTRdSYM {
 public:
  static std::shared_ptr<CTRdSYM> dSYMWithURL(const platform::URL& url) { return initWithURL(url); }
  static std::shared_ptr<CTRdSYM> initWithURL(const platform::URL& url);

  // The bundle identifier without the prefix "com.apple.xcode.dsym.".
  std::string bundleIdentifier() const;
  platform::URL executableURL() const { return binary_->URL(); }
  std::string executablePath() const { return binary_->path(); }
  // "CFBundleVersion" and "CFBundleShortVersionString"; "" when absent.
  std::string bundleVersion() const;
  std::string shortBundleVersion() const;
  void enumerateUUIDs(const std::function<void(const std::optional<std::string>& uuid,
                                               const std::string& architectureName)>& block) const {
    binary_->enumerateUUIDs(block);
  }
  const std::shared_ptr<CTRMachOBinary>& binary() const { return binary_; }
  const std::shared_ptr<const platform::Bundle>& bundle() const { return bundle_; }

  CTRdSYM(std::shared_ptr<const platform::Bundle> bundle, std::shared_ptr<CTRMachOBinary> binary)
      : bundle_(std::move(bundle)), binary_(std::move(binary)) {}

 private:
  std::shared_ptr<const platform::Bundle> bundle_;
  std::shared_ptr<CTRMachOBinary> binary_;
};

}  // namespace sdk
