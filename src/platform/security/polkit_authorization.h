// platform::security polkit authorization: runs one of our own privileged
// programs as root after the desktop's authorization service (polkit) has
// allowed it, through pkexec. Each program we run this way is named in our
// polkit policy ("com.varnelvpn.policy") by an action whose
// "org.freedesktop.policykit.exec.path" annotation is the program's path and
// whose "org.freedesktop.policykit.exec.argv1" annotation is the command
// word; pkexec then checks that action, so the desktop's polkit agent asks
// for an administrator password exactly when the action's policy or the
// site's rules want one.
//
// Guarantees:
//  1. The outcome tells a refusal (not authorized), a dismissed dialog and a
//     missing authentication agent apart from a failure of the program, and
//     always carries a sentence a user can be shown.
//  2. The program's standard error is kept (bounded) for that sentence; its
//     standard input is /dev/null. Nothing of the caller's environment
//     reaches the program (pkexec clears it); pass what it needs as
//     arguments.
//  3. The call blocks until the program has ended (and the user has
//     answered the authentication dialog).
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <string>
#include <vector>

namespace platform::security {

// Our polkit actions.
inline constexpr const char* kHelperInstallAction = "com.varnelvpn.helper.install";
inline constexpr const char* kClientMoveAction = "com.varnelvpn.client.move";
// The privileged installer program, shipped beside the client.
inline constexpr const char* kInstallerProgramName = "varnel-install-helper";
// The client's installation folder in an applications folder: the only name
// the installer moves a client to.
inline constexpr const char* kInstallationFolderName = "VarnelVPN Client";
inline constexpr const char* kPkexecPath = "/usr/bin/pkexec";

struct AuthorizedRun {
  enum class Outcome {
    kSucceeded,      // authorized; the program exited with status 0
    kProgramFailed,  // authorized; the program failed (exitStatus, message)
    kNotAuthorized,  // polkit refused the action
    kDismissed,      // the user dismissed the authentication dialog
    kNoAgent,        // no authentication agent could ask for the password
    kUnavailable,    // pkexec is missing or could not be started
  };
  Outcome outcome = Outcome::kUnavailable;
  int exitStatus = -1;
  // The sentence for the user (empty on success).
  std::string message;
  // What the program and pkexec wrote on standard error (for the log).
  std::string diagnostics;
};

// Runs `program` (an absolute path) with `arguments` as root through pkexec
// (the system's at kPkexecPath; only tests name another).
// `what` names the task in the messages ("install the VarnelVPN helper").
AuthorizedRun runAuthorized(const std::string& program, const std::vector<std::string>& arguments,
                            const std::string& what, const std::string& pkexec = kPkexecPath);

}  // namespace platform::security
