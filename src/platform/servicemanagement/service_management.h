// platform::servicemanagement: installing a privileged helper program into
// the system ("blessing" it) and removing it again.
//
// A helper is shipped inside the client's installation as the program
// "<client folder>/<label>" with its information file beside it
// ("<label>.plist", see platform/system/bundle.h) and, optionally, a launch
// record "<label>.service" naming further services. Blessing needs the right
// kSMRightBlessPrivilegedHelper on the caller's authorization and then
// installs, each file written atomically (temporary file and rename):
//  - the program as paths::privilegedHelperTools()/<label> (mode 0755) with
//    its information file beside it (mode 0644);
//  - the socket and service units in paths::systemdUnits() ("<unit>.socket",
//    "<unit>.service", where <unit> is the label in lower case with a '-'
//    before each inner capital: "varnel-helper"), the one source of these
//    units (socketUnitText, serviceUnitText);
//  - the runtime folder's access list in paths::system("/etc/tmpfiles.d")
//    ("<unit>.conf", tmpfilesText);
//  - the helper's configuration (/etc/varnel/helper.conf): the client program
//    that may talk to it ("Client="), the users who authorized an
//    installation ("User=<uid>", every one recorded so far plus the new
//    one: the users besides root whom the helper serves), the executables
//    of the client's installation that it may start ("Executable=") and the
//    SSTP client's options file of the installation ("SSTPOptions=", the
//    only one the helper accepts);
//  - only under a system root (VARNEL_ROOT), where no systemd runs and the
//    project's own launcher starts the helper: its launch record
//    (platform/xpc/service_names.h) with Program set to the installed
//    program.
//
// Who may connect: the socket lives in the runtime folder (/run/varnel),
// which is root's with mode 0700; a POSIX access list on that folder lets
// each recorded user (and nobody else) pass it, so every recorded user may
// connect and no other user can even reach the socket (connect() fails
// with EACCES). The list is applied by systemd-tmpfiles, at once when the
// installation changes it and at every boot before any socket is made; a
// new user changes no unit, so the socket (and a connection of another
// user that runs through it) stays as it is.
//
// When no VARNEL_ROOT is set, the caller is root and systemd runs, the
// service manager is then told (serviceManagerCommands): the access list
// applied, units that changed on disk reloaded and the socket re-created
// (restarted) so that they take effect at once, and the socket enabled.
//
// Nothing is replaced until the new program has been validated (readable
// information file whose identifier is the label and which has a version);
// a failed blessing leaves an installed helper as it was.
//
// Removing (removeJob) is the uninstall: the socket and the service
// stopped and disabled, then the program, its information file, the launch
// record, the units, the access list, the configuration and the helper's
// state (paths::systemKeychain(), paths::systemPreferences(), its runtime
// folders) removed, and the service manager reloaded.
//
// Thread safety: functions of the file system; callers serialize installs.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/sysconfig/authorization.h"
#include "platform/system/bundle.h"

namespace platform::servicemanagement {

inline constexpr const char* kSMDomainSystemLaunchd = "kSMDomainSystemLaunchd";
inline constexpr const char* kSMRightBlessPrivilegedHelper =
    "com.apple.ServiceManagement.blesshelper";
inline constexpr const char* kSMErrorDomain = "VarnelServiceManagementErrorDomain";
// The operating system's status codes (authorization results).
inline constexpr const char* kOSStatusErrorDomain = "NSOSStatusErrorDomain";

enum SMError : std::int64_t {
  kSMErrorInternalFailure = 2,
  kSMErrorInvalidSignature = 3,
  kSMErrorAuthorizationFailure = 4,
  kSMErrorToolNotValid = 5,
  kSMErrorJobNotFound = 6,
};

// Where the label's helper is installed.
std::string installedHelperPath(std::string_view label);
// Where the client's installation keeps its copy of the helper.
std::string bundledHelperPath(const Bundle& clientBundle, std::string_view label);
// The unit base name for a label ("VarnelHelper" -> "varnel-helper").
std::string unitNameForLabel(std::string_view label);

// The information dictionary of the program at `path`; None when the path is
// not a regular executable file or carries no readable information file.
Value copyCodeInformation(const std::string& path);

// The user on whose behalf an installation runs: PKEXEC_UID when set (a
// polkit-authorized run), else SUDO_UID when set, else the real uid of this
// process. A variable that is not a plain decimal uid is ignored.
uid_t authorizingUserFromEnvironment();

// The users recorded by "User=" lines of the installed helper configuration.
std::vector<uid_t> authorizedUsers();

// The helper configuration written for an installation of `client`
// authorized by `authorizingUser` (one user) or serving `users`.
std::string helperConfiguration(const Bundle& client, uid_t authorizingUser);
std::string helperConfiguration(const Bundle& client, const std::vector<uid_t>& users);

// The unit texts for the helper `label` installed as `program`, listening
// on `socketPath`.
std::string socketUnitText(std::string_view label, const std::string& socketPath);
std::string serviceUnitText(std::string_view label, const std::string& program);
// The systemd-tmpfiles lines that make `runtimeFolder` root's (0700) with
// an access list entry letting each of `users` pass it (search only).
std::string tmpfilesText(const std::string& runtimeFolder, const std::vector<uid_t>& users);
// Where the access list lives (paths::system("/etc/tmpfiles.d/<unit>.conf")).
std::string tmpfilesPath(std::string_view label);

// What blessJob asks of the service manager for the helper `label`, in
// order (each a command line): the access list applied; when `unitsChanged`
// the units reloaded ("daemon-reload") and the socket re-created
// ("restart"), else the socket started when it is not; the socket enabled.
std::vector<std::vector<std::string>> serviceManagerCommands(std::string_view label,
                                                             bool unitsChanged);
// True when systemd is the running service manager of this machine (and no
// VARNEL_ROOT is set).
bool systemdManagesServices();

// Installs the helper `label` of `clientBundle` (see the header comment) for
// `authorizingUser`, keeping the users recorded before. False with `*error`
// (kSMErrorDomain) when the authorization lacks the right, the shipped
// helper is missing or invalid, or a file cannot be written.
bool blessJob(std::string_view domain, std::string_view label, const Bundle& clientBundle,
              const sysconfig::Authorization* authorization, uid_t authorizingUser,
              Error* error = nullptr);
// The same, serving exactly `users` (none of them uid -1, at least one).
bool blessJob(std::string_view domain, std::string_view label, const Bundle& clientBundle,
              const sysconfig::Authorization* authorization, const std::vector<uid_t>& users,
              Error* error);
// The same for authorizingUserFromEnvironment().
bool blessJob(std::string_view domain, std::string_view label, const Bundle& clientBundle,
              const sysconfig::Authorization* authorization, Error* error = nullptr);

// Uninstalls what blessJob installed for `label` (see the header comment).
// Needs kAuthorizationRightAdmin on `authorization`. True when nothing of
// the helper is left afterwards; a file that cannot be removed is named in
// `*error`.
bool removeJob(std::string_view label, const sysconfig::Authorization* authorization,
               Error* error = nullptr);

}  // namespace platform::servicemanagement
