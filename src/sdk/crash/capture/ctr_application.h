// Application facts and activities of crash capture, all read from the
// bundle given (by default the running program's, platform::Bundle::main()).
// Crash-time code never calls these: what a report needs is read before.
//
// Twins of the SDK's own (sdk/platform/bcn_application.h) with the
// differences crash capture needs: the extension-point look-up with its
// warnings in the SDK log, and activities that fall back to the termination
// switches when the process offers no activities.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "platform/system/bundle.h"
#include "platform/system/process_activity.h"

namespace sdk {

inline constexpr const char* kCTRNSExtensionKey = "NSExtension";
inline constexpr const char* kCTRNSExtensionPointIdentifierKey = "NSExtensionPointIdentifier";
inline constexpr const char* kCTRActivityOptionsKey = "options";
inline constexpr const char* kCTRActivityReasonKey = "reason";
inline constexpr std::uint64_t kCTRActivitySuddenTerminationDisabled = 0x4000;
inline constexpr std::uint64_t kCTRActivityAutomaticTerminationDisabled = 0x8000;

// The bundle identifier with every "/" replaced by "_".
std::string CTRApplicationGetBundleIdentifier(
    const platform::BundlePtr& bundle = platform::Bundle::main());
// "CFBundleVersion".
std::string CTRApplicationGetBuildVersion(
    const platform::BundlePtr& bundle = platform::Bundle::main());
// "CFBundleShortVersionString".
std::string CTRApplicationGetDisplayVersion(
    const platform::BundlePtr& bundle = platform::Bundle::main());
// "CFBundleDisplayName", else "CFBundleName", else the build version.
std::string CTRApplicationGetName(const platform::BundlePtr& bundle = platform::Bundle::main());
// "NSExtension" → "NSExtensionPointIdentifier"; nullopt when absent or
// mal-formed (with a warning in the SDK log for the latter).
std::optional<std::string> CTRApplicationExtensionPointIdentifier(
    const platform::BundlePtr& bundle = platform::Bundle::main());
bool CTRApplicationIsExtension(const platform::BundlePtr& bundle = platform::Bundle::main());

// The object that stands for the host application's shared application
// object, when the application has registered one under its class name
// "NSApplication" (see CTRApplicationRegisterSharedApplication).
std::shared_ptr<void> CTRApplicationSharedApplication();
// Registers (or, with nullptr, removes) the shared application object.
void CTRApplicationRegisterSharedApplication(std::shared_ptr<void> application);

// An application extension's context, able to open URLs for it.
class CTRExtensionContext {
 public:
  virtual ~CTRExtensionContext() = default;
  virtual void openURL(const platform::URL& url, std::function<void(bool success)> completion) = 0;
};
// The workspace's opener: opens `url` with the desktop's default handler
// ("xdg-open"); answers whether that could be started. Tests may replace it:
// process-wide, because crash capture is free functions over global state,
// kept global so that its signal handlers reach it (async-signal safety).
using CTRWorkspaceOpener = std::function<bool(const platform::URL& url)>;
void CTRApplicationSetWorkspaceOpenerForTesting(CTRWorkspaceOpener opener);
// With an extension context its openURL, else the workspace's; the
// completion (when given) gets the result.
void CTRApplicationOpenURL(const platform::URL& url,
                           const std::shared_ptr<CTRExtensionContext>& extensionContext,
                           std::function<void(bool success)> completion);

// What CTRApplicationBeginActivity returns: the process's activity token,
// or, where the process offers no activities, the dictionary
// {"options": options, "reason": reason}.
struct CTRActivityToken {
  platform::ProcessActivities::Token activity;
  platform::Value legacy;
};
// Begins an activity (see CTRActivityToken). Without activities: option bit
// 0x4000 disables sudden termination, bit 0x8000 automatic termination.
CTRActivityToken CTRApplicationBeginActivity(std::uint64_t options, const std::string& reason);
// Ends it; for a dictionary token, enables again what its options disabled.
void CTRApplicationEndActivity(const CTRActivityToken& token);
// Begins, runs `block` synchronously, ends.
void CTRApplicationPerformActivity(std::uint64_t options, const std::string& reason,
                                   const std::function<void()>& block);
// Tests: pretend the process offers no activities (false) or use what it
// offers (true, the default). Process-wide, like the rest of crash capture's
// state (async-signal safety).
void CTRApplicationSetActivitiesSupportedForTesting(bool supported);

}  // namespace sdk
