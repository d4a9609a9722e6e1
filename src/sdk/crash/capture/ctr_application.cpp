#include "sdk/crash/capture/ctr_application.h"

#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <mutex>

#include "platform/dispatch/dispatch.h"
#include "platform/system/bundle.h"
#include "sdk/crash/capture/ctr_sdk_log.h"
#include "sdk/platform/bcn_application.h"

extern char** environ;

namespace sdk {

namespace {

std::mutex& registryMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<void>& sharedApplicationSlot() {
  static std::shared_ptr<void> application;
  return application;
}

CTRWorkspaceOpener& workspaceOpenerSlot() {
  static CTRWorkspaceOpener opener;
  return opener;
}

std::atomic<bool>& activitiesSupported() {
  static std::atomic<bool> supported{true};
  return supported;
}

// Starts the desktop's default handler for `url`; its exit is collected on
// a global queue.
bool openWithDesktopHandler(const platform::URL& url) {
  const std::string text = url.absoluteString();
  char program[] = "xdg-open";
  std::string argument = text;
  char* argv[] = {program, argument.data(), nullptr};
  pid_t pid = 0;
  if (::posix_spawnp(&pid, program, nullptr, nullptr, argv, environ) != 0) return false;
  auto source = platform::dispatch::Source::processExit(
      pid, platform::dispatch::Queue::global(platform::dispatch::Priority::Default));
  std::weak_ptr<platform::dispatch::Source> weak = source;
  source->setEventHandler([weak] {
    if (auto s = weak.lock()) s->cancel();
  });
  source->resume();
  return true;
}

}  // namespace

std::string CTRApplicationGetBundleIdentifier(const platform::BundlePtr& bundle) {
  return BCNApplicationGetBundleIdentifier(bundle);
}

std::string CTRApplicationGetBuildVersion(const platform::BundlePtr& bundle) {
  return BCNApplicationGetBuildVersion(bundle);
}

std::string CTRApplicationGetDisplayVersion(const platform::BundlePtr& bundle) {
  return BCNApplicationGetDisplayVersion(bundle);
}

std::string CTRApplicationGetName(const platform::BundlePtr& bundle) {
  return BCNApplicationGetName(bundle);
}

std::optional<std::string> CTRApplicationExtensionPointIdentifier(
    const platform::BundlePtr& bundle) {
  const platform::Value extension =
      bundle ? bundle->objectForInfoDictionaryKey(kCTRNSExtensionKey) : platform::Value();
  if (extension.isNone()) return std::nullopt;
  if (!extension.isDictionary()) {
    CTR_SDK_LOG_WARN("Error: NSExtension Info.plist entry is mal-formed\n");
    return std::nullopt;
  }
  const platform::Value identifier = extension[kCTRNSExtensionPointIdentifierKey];
  if (!identifier.isString()) {
    CTR_SDK_LOG_WARN("Error: NSExtensionPointIdentifier Info.plist entry is mal-formed\n");
    return std::nullopt;
  }
  return identifier.asString();
}

bool CTRApplicationIsExtension(const platform::BundlePtr& bundle) {
  return CTRApplicationExtensionPointIdentifier(bundle).has_value();
}

std::shared_ptr<void> CTRApplicationSharedApplication() {
  std::lock_guard<std::mutex> lock(registryMutex());
  return sharedApplicationSlot();
}

void CTRApplicationRegisterSharedApplication(std::shared_ptr<void> application) {
  std::lock_guard<std::mutex> lock(registryMutex());
  sharedApplicationSlot() = std::move(application);
}

void CTRApplicationSetWorkspaceOpenerForTesting(CTRWorkspaceOpener opener) {
  std::lock_guard<std::mutex> lock(registryMutex());
  workspaceOpenerSlot() = std::move(opener);
}

void CTRApplicationOpenURL(const platform::URL& url,
                           const std::shared_ptr<CTRExtensionContext>& extensionContext,
                           std::function<void(bool success)> completion) {
  if (extensionContext) {
    extensionContext->openURL(
        url, completion ? std::move(completion) : [](bool) {});
    return;
  }
  CTRWorkspaceOpener opener;
  {
    std::lock_guard<std::mutex> lock(registryMutex());
    opener = workspaceOpenerSlot();
  }
  const bool opened = opener ? opener(url) : openWithDesktopHandler(url);
  if (completion) completion(opened);
}

void CTRApplicationSetActivitiesSupportedForTesting(bool supported) {
  activitiesSupported().store(supported);
}

CTRActivityToken CTRApplicationBeginActivity(std::uint64_t options, const std::string& reason) {
  CTRActivityToken token;
  if (activitiesSupported().load() && platform::ProcessActivities::supportsActivities()) {
    token.activity = platform::ProcessActivities::beginActivity(options, reason);
    return token;
  }
  if (options & kCTRActivitySuddenTerminationDisabled) {
    platform::ProcessActivities::disableSuddenTermination();
  }
  if (options & kCTRActivityAutomaticTerminationDisabled) {
    platform::ProcessActivities::disableAutomaticTermination(reason);
  }
  token.legacy = platform::Value::dictionary(
      {{platform::Value(kCTRActivityOptionsKey), platform::Value(options)},
       {platform::Value(kCTRActivityReasonKey), platform::Value(reason)}});
  return token;
}

void CTRApplicationEndActivity(const CTRActivityToken& token) {
  if (token.activity) {
    platform::ProcessActivities::endActivity(token.activity);
    return;
  }
  if (!token.legacy.isDictionary()) return;
  const std::uint64_t options = token.legacy[kCTRActivityOptionsKey].asUInt64();
  if (options & kCTRActivitySuddenTerminationDisabled) {
    platform::ProcessActivities::enableSuddenTermination();
  }
  if (options & kCTRActivityAutomaticTerminationDisabled) {
    platform::ProcessActivities::enableAutomaticTermination(
        token.legacy[kCTRActivityReasonKey].asString());
  }
}

void CTRApplicationPerformActivity(std::uint64_t options, const std::string& reason,
                                   const std::function<void()>& block) {
  struct EndOnExit {
    CTRActivityToken token;
    ~EndOnExit() { CTRApplicationEndActivity(token); }
  } activity{CTRApplicationBeginActivity(options, reason)};
  if (block) block();
}

}  // namespace sdk
