// platform::paths: every absolute location the program uses, resolved to its
// Linux place. User folders follow XDG; system folders follow the FHS. When
// the environment variable VARNEL_ROOT is set, every system-wide location is
// placed under it (so tests and the demo need no root and never touch the
// real system). User folders follow the XDG variables (XDG_STATE_HOME,
// XDG_DATA_HOME, XDG_CACHE_HOME, XDG_CONFIG_HOME; relative values are
// ignored) and otherwise live under home(): $HOME, else "$VARNEL_ROOT/home"
// when VARNEL_ROOT is set, else the password database.
//
// Nothing here creates folders except createDirectories.
//
// Thread safety: pure functions of the environment; the environment is read
// on every call, so tests may change VARNEL_ROOT between cases.
#pragma once

#include <string>
#include <string_view>

namespace platform::paths {

// "$VARNEL_ROOT" or "" when unset.
std::string systemRoot();
// systemRoot() + absolutePath (absolutePath starts with '/').
std::string system(std::string_view absolutePath);

// The user's home folder ($HOME, else "$VARNEL_ROOT/home", else the password database).
std::string home();
// The user's Logs folder: $XDG_STATE_HOME/<app> style: ~/.local/state/VarnelVPN/Logs
std::string userLogs();
// The user's Application Support folder: $XDG_DATA_HOME (~/.local/share)
std::string applicationSupport();
// The user's Caches folder: $XDG_CACHE_HOME (~/.cache)
std::string caches();
// The user's preferences folder for defaults: $XDG_CONFIG_HOME (~/.config)
std::string preferences();
// The user's Applications folder (~/Applications).
std::string applications();
// The user's keychain folder: applicationSupport()/varnel/keychain.
std::string userKeychain();

// System places (each under VARNEL_ROOT when set).
std::string privilegedHelperTools();  // /usr/local/libexec/varnel (…/PrivilegedHelperTools)
std::string launchDaemons();          // /etc/varnel/launchd (launch records)
std::string systemdUnits();           // /etc/systemd/system
std::string systemKeychain();         // /var/lib/varnel/keychain
std::string systemPreferences();      // /var/lib/varnel/preferences
std::string runtime();                // /run/varnel (service sockets)
std::string temporary();              // /tmp (the helper's /tmp files)

// Creates `path` and its parents with `mode`; true when it exists afterwards.
bool createDirectories(const std::string& path, unsigned mode = 0755);

}  // namespace platform::paths
