// CodesigningUtilities: installs the privileged helper, or replaces an
// installed helper whose bundle version differs from the copy inside the
// client's installation (platform/servicemanagement).
//
// Guarantees:
//  1. An installed helper whose version equals the shipped copy's is left
//     alone and no authorization is asked for.
//  2. A working installed helper is never removed when the shipped copy's
//     version cannot be read: the installation keeps it and answers true.
//  3. A refused authorization answers false and changes nothing installed.
//  4. Run by root, the installation happens in this process. Run by any
//     other user, it is done by the installer program shipped beside the
//     client (varnel-install-helper) through polkit's pkexec: one
//     authorization covers a fresh install as well as an update (the
//     installer replaces the installed files in place, so a failed update
//     keeps the installed helper), and the installer records the user who
//     authorized it.
//  5. After a false answer, failureMessage() holds a sentence for the user.
//
// Thread safety: one object, used from the main thread; every call blocks
// until the installation has ended.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "ipc/helper_protocol.h"
#include "platform/foundation/error.h"
#include "platform/sysconfig/authorization.h"
#include "platform/system/bundle.h"

namespace client {

inline constexpr const char* kHelperLabel = ipc::kHelperServiceName;

class CodesigningUtilities {
 public:
  // Creates the authorization reference (no rights). `clientBundle` is the
  // client's installation (the main bundle when nullptr).
  // `authorization` makes the reference asked for the install right
  // (default: the root policy).
  explicit CodesigningUtilities(std::shared_ptr<const platform::Bundle> clientBundle = nullptr,
                                platform::sysconfig::Authorization::Options authorization = {});

  // Installs or updates the helper when needed (a different version, or an
  // installation not recorded for this user); true when a helper is in place
  // afterwards.
  bool installHelperWithLabel(const std::string& label);
  // The "CFBundleVersion" of the program at `path`; nullopt when the path is
  // empty or names no program with readable information.
  static std::optional<std::string> bundleVersionForCodeSignedItemAtURL(
      const std::optional<std::string>& path);
  // Obtains the blessing right and installs the helper; false with `*error`.
  bool blessHelperWithLabel(const std::string& label, platform::Error* error);
  // Uninstalls the installed helper (stopped, its program, units,
  // configuration and state removed: servicemanagement's removeJob); true
  // when the removal could be run (whatever it reports), false when the
  // administrator right was refused. Users other than root update through
  // the installer program, which uninstalls a helper of another version
  // itself before it installs the shipped one.
  bool removeHelpers();

  // Paths of the helper `label` installed in the system and shipped inside
  // the client's installation.
  std::string installedHelperPath(const std::string& label) const;
  std::string bundledHelperPath(const std::string& label) const;
  // The installer program run through pkexec by users other than root.
  std::string installerPath() const;

  // Why the last installation failed, for the user; empty after a success.
  const std::string& failureMessage() const { return failureMessage_; }

 private:
  bool installThroughPolkit(const std::string& label, platform::Error* error);

  std::shared_ptr<const platform::Bundle> bundle_;
  std::string failureMessage_;
  std::shared_ptr<platform::sysconfig::Authorization> authorization_;
};

}  // namespace client
