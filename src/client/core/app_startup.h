// AppStartup: the application's start-up and end without its windows: the
// registered user defaults, the start-up order, the base-URL probe that sets
// the update feed, quitting and logging out. The application delegate of the
// windows calls it and supplies what only it can do through Hooks.
//
// Guarantees:
//  1. applicationDidFinishLaunching runs, in this order: the menu items are
//     disabled; "NSApplicationCrashOnExceptions" is registered; the crash
//     reporting starts (seam: Hooks::startCrashReporting); the move into the
//     Applications folder is offered; "ShowNotifications", "LogToConsole" and
//     "OpenPorts" are registered; the window is centred; the user
//     notifications are taken over; the base-URL probe starts. When the probe
//     ends (main queue) the update feed is "<base URL>/mac_v2.xml" and the
//     daily update check is started.
//  2. Registered defaults never override stored values.
//  3. The start-up and the login never run two base-URL probes that cancel
//     each other: both go through BaseURLProbe, which lets a second caller
//     join the probe that runs, or take the result of one that has just
//     ended (so a log-in right after the start-up asks no mirror twice).
//  4. Logout removes the stored API key (keychain service "VarnelVPN
//     Client", account "API") and terminates; nothing is sent to the helper.
//
// Thread safety: main thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "client/core/connection_state.h"
#include "client/core/pudip_client.h"

namespace client {

inline constexpr const char* kCrashOnExceptionsKey = "NSApplicationCrashOnExceptions";
inline constexpr const char* kLogToConsoleKey = "LogToConsole";
inline constexpr const char* kAPIKeychainService = "VarnelVPN Client";
inline constexpr const char* kAPIKeychainAccount = "API";
inline constexpr const char* kApplicationFilesFolderName = "VarnelVPN.VarnelVPN_Client";
// The Preferences guard's alert.
inline constexpr const char* kPreferencesGuardMessage = "Preferences cannot be opened";
inline constexpr const char* kPreferencesGuardInformativeText =
    "Preferences can only be opened if the application is logged-in and disconnected from the VPN.";

// True when `text` holds `part` as a literal, case-sensitive substring.
bool contains(std::string_view text, std::string_view part);

// One base-URL probe at a time per API client; later callers join it, and
// a caller within kFreshProbeSeconds after a probe ended takes its result.
class BaseURLProbe {
 public:
  static constexpr double kFreshProbeSeconds = 10.0;
  // Runs `completion` on the main queue when the probe ends.
  static void run(const VRPUDIPClient::Ptr& client, std::function<void()> completion);
  static bool isRunning(const VRPUDIPClient::Ptr& client);
};

class AppStartup {
 public:
  struct Hooks {
    std::function<void()> disableMenuItemsOnLogout;
    // Seam for the crash-reporting kit: the SDK's kit registry is started here
    // with the crash-reporting kit alone once the SDK is built in.
    std::function<void()> startCrashReporting;
    // The move into the Applications folder (it may end the process).
    std::function<void()> offerMoveToApplicationsFolder;
    std::function<void()> centerWindow;
    std::function<void()> becomeUserNotificationDelegate;
    // Ends the application (applicationWillTerminate runs on the way).
    std::function<void()> terminate;
  };

  // `client` nullptr: VRPUDIPClient::sharedClient().
  explicit AppStartup(Hooks hooks, VRPUDIPClient::Ptr client = nullptr);

  void applicationDidFinishLaunching();
  // Writes the user defaults to disk; nothing is sent to the helper.
  void applicationWillTerminate();
  void logoutAction();

  // The defaults of start-up step 5 (a dictionary).
  static platform::Value startupDefaults();
  // The folder "VarnelVPN.VarnelVPN_Client" in the user's Application Support.
  static std::string applicationFilesDirectory();
  // Preferences open only when logged in (a dialer exists) and Disconnected.
  static bool canOpenPreferences(bool loggedIn, DialerStatus status);
  // "<base URL>/mac_v2.xml" (a trailing "/" of the base URL is not doubled).
  static std::string updateFeedURL(const std::string& baseURL);

 private:
  Hooks hooks_;
  VRPUDIPClient::Ptr client_;
};

}  // namespace client
