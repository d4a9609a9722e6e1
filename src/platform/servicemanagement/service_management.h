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
//  - its launch record (platform/xpc/service_names.h) with Program set to the
//    installed program;
//  - the socket and service units of a real install in paths::systemdUnits()
//    ("<unit>.socket", "<unit>.service", where <unit> is the label in
//    lower case with a '-' before each inner capital: "varnel-helper");
//  - the helper's configuration (/etc/varnel/helper.conf): the client program
//    that may talk to it ("Client="), the user who authorized the
//    installation ("User=<uid>", the one user besides root whom the helper
//    serves), the executables of the client's installation that it may
//    start ("Executable=") and the SSTP client's options file of the
//    installation ("SSTPOptions=", the only one the helper accepts).
// The socket unit makes the channel socket that user's, mode 0600: nobody
// else can even connect (root always can).
// When no VARNEL_ROOT is set and the caller is root, the service manager is
// then asked to reload its units and to listen on the helper's socket.
//
// Nothing is replaced until the new program has been validated (readable
// information file whose identifier is the label and which has a version);
// a failed blessing leaves an installed helper as it was.
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
// authorized by `authorizingUser`.
std::string helperConfiguration(const Bundle& client, uid_t authorizingUser);

// Installs the helper `label` of `clientBundle` (see the header comment) for
// `authorizingUser`. False with `*error` (kSMErrorDomain) when the
// authorization lacks the right, the shipped helper is missing or invalid,
// or a file cannot be written.
bool blessJob(std::string_view domain, std::string_view label, const Bundle& clientBundle,
              const sysconfig::Authorization* authorization, uid_t authorizingUser,
              Error* error = nullptr);
// The same for authorizingUserFromEnvironment().
bool blessJob(std::string_view domain, std::string_view label, const Bundle& clientBundle,
              const sysconfig::Authorization* authorization, Error* error = nullptr);

// Removes what blessJob installed for `label` (program, information file,
// launch record, units). Needs kAuthorizationRightAdmin on `authorization`.
// True when nothing of the helper is left afterwards.
bool removeJob(std::string_view label, const sysconfig::Authorization* authorization,
               Error* error = nullptr);

}  // namespace platform::servicemanagement
