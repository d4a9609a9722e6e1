#include "client/core/app_startup.h"

#include <chrono>
#include <map>

#include "client/Singletons/varnel_log.h"
#include "client/core/updater.h"
#include "client/core/xpc_wrapper.h"
#include "codecs/keychain_store.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/format.h"
#include "platform/system/paths.h"
#include "platform/system/user_defaults.h"

namespace client {

namespace {

void call(const std::function<void()>& f) {
  if (f) f();
}

// Waiters of the running probe, per client.
std::map<const VRPUDIPClient*, std::vector<std::function<void()>>>& probes() {
  static std::map<const VRPUDIPClient*, std::vector<std::function<void()>>> running;
  return running;
}

}  // namespace

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

void BaseURLProbe::run(const VRPUDIPClient::Ptr& client, std::function<void()> completion) {
  if (!client) return;
  // A probe that has just ended says all a new one would: its base URL
  // stands, and no mirror is asked twice in a row.
  if (auto ended = client->lastProbeEnd(); ended && probes().count(client.get()) == 0 &&
                                           std::chrono::steady_clock::now() - *ended <
                                               std::chrono::duration<double>(kFreshProbeSeconds)) {
    platform::dispatch::Queue::main()->async(std::move(completion));
    return;
  }
  auto& waiting = probes()[client.get()];
  waiting.push_back(std::move(completion));
  if (waiting.size() > 1) return;  // joins the running probe
  const VRPUDIPClient* key = client.get();
  client->updateReachableServers([key] {
    std::vector<std::function<void()>> done;
    auto it = probes().find(key);
    if (it == probes().end()) return;
    done.swap(it->second);
    probes().erase(it);
    for (auto& f : done) call(f);
  });
}

bool BaseURLProbe::isRunning(const VRPUDIPClient::Ptr& client) {
  return client && probes().count(client.get()) > 0;
}

AppStartup::AppStartup(Hooks hooks, VRPUDIPClient::Ptr client)
    : hooks_(std::move(hooks)),
      client_(client ? std::move(client) : VRPUDIPClient::sharedClient()) {}

platform::Value AppStartup::startupDefaults() {
  return platform::Value::dictionary(
      {{"ShowNotifications", true},
       {kLogToConsoleKey, false},
       {kOpenPortsDefaultsKey,
        platform::Value::array({"443", "500", "550", "1289", "2207", "3155"})}});
}

void AppStartup::applicationDidFinishLaunching() {
  auto defaults = platform::UserDefaults::standardUserDefaults();
  call(hooks_.disableMenuItemsOnLogout);
  defaults->registerDefaults(platform::Value::dictionary({{kCrashOnExceptionsKey, true}}));
  call(hooks_.startCrashReporting);
  call(hooks_.offerMoveToApplicationsFolder);
  defaults->registerDefaults(startupDefaults());
  call(hooks_.centerWindow);
  call(hooks_.becomeUserNotificationDelegate);
  VRPUDIPClient::Ptr client = client_;
  BaseURLProbe::run(client, [client] {
    auto updater = VRUpdater::sharedUpdater();
    updater->setFeedURL(platform::URL(updateFeedURL(client->baseURL().absoluteString())));
    updater->startAutomaticChecks();
  });
}

void AppStartup::applicationWillTerminate() {
  platform::UserDefaults::standardUserDefaults()->synchronize();
  // The run loop may not turn again: the log's queued lines go now.
  VarnelLog::sharedInstance().flush();
}

void AppStartup::logoutAction() {
  call(hooks_.disableMenuItemsOnLogout);
  codecs::KeychainStore::deletePasswordForService(std::string(kAPIKeychainService),
                                                  std::string(kAPIKeychainAccount));
  if (hooks_.terminate) {
    hooks_.terminate();
  } else {
    applicationWillTerminate();
  }
}

std::string AppStartup::applicationFilesDirectory() {
  return platform::paths::applicationSupport() + "/" + kApplicationFilesFolderName;
}

bool AppStartup::canOpenPreferences(bool loggedIn, DialerStatus status) {
  return loggedIn && status == DialerStatus::Disconnected;
}

std::string AppStartup::updateFeedURL(const std::string& baseURL) {
  std::string base = baseURL;
  while (!base.empty() && base.back() == '/') base.pop_back();
  return platform::format("%@/mac_v2.xml", base);
}

}  // namespace client
