// The root half of the client's installation steps (varnel-install-helper),
// as a library: the program's main() only gathers what the kernel says about
// it and its caller and prints the outcome, so every refusal can be tested
// without pkexec.
//
//   install-helper <label> --client <program> [--root <dir>]
//     installs or updates the helper <label> shipped in this program's own
//     folder (the client's installation) and records the user who
//     authorized it (PKEXEC_UID, else SUDO_UID, else the real user) beside
//     the users recorded before. An installed helper of another version
//     is uninstalled first (as by uninstall-helper), then the shipped one
//     installed.
//   uninstall-helper <label> [--root <dir>]
//     stops and disables the helper's socket and service, removes its
//     program, information file, units, configuration and state, and has
//     the service manager reload; on a real system it also deletes the
//     helper's NetworkManager profile "VarnelVPN" (which holds the last
//     connection's secrets). The package's prerm runs it.
//   move <folder> <destination> [--root <dir>]
//     copies the running client's own installation folder into the system's
//     applications folder as <root>/opt/VarnelVPN Client (the destination
//     must name that), replacing an older copy there.
//   check-root-only <folder>
//     exit status 0 when only root can change <folder> (and every folder
//     above it), 1 with the reason otherwise; needs no root.
//
// Guarantees:
//  1. What is installed comes only from this program's own folder, which
//     (with every folder above it) must be one that only root can change,
//     each file a regular root-owned file nobody else may write: the one
//     walk of platform/system/root_only_path.h. A system root (--root) and
//     the applications folder pass the same walk.
//  2. "move" copies only the folder of the program that ran the installer
//     (the caller: this process's parent, whose executable the kernel names
//     in /proc/<pid>/exe, owned by the authorizing user's process and still
//     our parent after it was read), which must be the client program. The
//     <folder> argument must name that same folder as a plain path; it is
//     opened once, one component at a time without following a symbolic
//     link anywhere, and must hold the running program itself (same device
//     and inode), so a folder swapped after any check is never the one
//     copied. Anything else is refused. The destination is always
//     <applications>/kInstallationFolderName (whatever the caller's folder
//     is called, so no other program's folder is ever taken) and never the
//     installation this program runs from (nor a folder holding it), so the
//     move can never replace the installer that polkit trusts.
//  3. The copy is made from descriptors only: each entry is examined and
//     opened without following links and checked to be the entry examined;
//     links are copied as links (their targets are never read or changed),
//     entries of users other than the caller and root, second names of
//     other users' files, and anything but files, folders and links are
//     refused. The copy is root's, each mode without set-id or sticky bits
//     and writable by root only; it is made under a temporary name beside
//     the destination and renamed into place (exchanged with an older
//     copy, which is then removed), so nothing is left half done.
//
// Exit statuses: 0 done, 1 not root-only (check-root-only), 2 usage, 3 not
// root, 4 unsafe installation, 5 unsafe system root, 6 installation failed,
// 7 move failed, 8 uninstall failed. (126 and 127 are pkexec's own.)
//
// Thread safety: one call at a time (it changes the process environment).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ipc/helper_protocol.h"
#include "platform/security/polkit_authorization.h"

namespace installer {

inline constexpr const char* kProgramName = platform::security::kInstallerProgramName;
inline constexpr const char* kHelperLabel = ipc::kHelperServiceName;
inline constexpr const char* kClientProgramName = "VarnelVPN Client";
// The client's installation folder in the applications folder (the name the
// polkit policy and the desktop entry name).
inline constexpr const char* kInstallationFolderName = platform::security::kInstallationFolderName;

enum Exit {
  kDone = 0,
  kNotRootOnly = 1,
  kUsage = 2,
  kNotRoot = 3,
  kUnsafeInstallation = 4,
  kUnsafeRoot = 5,
  kInstallFailed = 6,
  kMoveFailed = 7,
  kUninstallFailed = 8
};

struct Outcome {
  int status = kDone;
  std::string message;  // one line for standard error ("" when done)
};

// What the program knows of itself and its caller.
struct Context {
  // This program's own executable (the kernel's /proc/self/exe).
  std::string self;
  // The process that started this one (through pkexec: the client).
  pid_t caller = 0;
  // The caller is this process's parent, and must still be after its
  // executable was read (always so in the program; tests name another).
  bool callerIsParent = true;
  // The user polkit authorized (PKEXEC_UID); the caller must run as it.
  std::optional<uid_t> authorizingUser;
  // The client program's name in its installation folder.
  std::string clientProgram = kClientProgramName;
  // Also accept this process's own user as an owner of root-only paths
  // (tests run by an ordinary user); never set by the program.
  bool trustSelf = false;
  // Runs after "move" has opened and checked its source, before the copy
  // (tests change the folder there); never set by the program.
  std::function<void()> afterSourceCheck;
};

// The context of this process: /proc/self/exe, the parent, PKEXEC_UID.
Context currentContext();

// The executable of the live process `pid`, the real uid it runs as and the
// status of the program file itself (its device and inode, whatever its
// name is by now); nullopt when it cannot be read.
std::optional<std::string> executableOfProcess(pid_t pid, uid_t* uid = nullptr,
                                               struct stat* image = nullptr);

// Runs the command line (without the program name); the caller has checked
// that it runs as root where the command needs it.
Outcome run(const std::vector<std::string>& args, const Context& context);

// The sub-commands, as run() calls them.
Outcome checkRootOnly(const std::string& folder, const Context& context);
Outcome installHelper(const std::string& label, const std::string& clientName,
                      const Context& context);
Outcome uninstallHelper(const std::string& label);
Outcome moveClient(const std::string& sourceArgument, const std::string& destinationArgument,
                   const Context& context);

// True when the command needs root.
bool needsRoot(const std::vector<std::string>& args);

}  // namespace installer
