// Move to Applications folder: at launch the client offers to move its own
// application folder into an Applications folder when it runs from anywhere
// else (a download folder, a mounted disk image). If the user agrees it
// copies itself there (as administrator when needed), removes or trashes the
// folder at its old place, starts the copy once this process has ended,
// detaches the disk image it came from, and exits.
//
// Linux places: the user's Applications folder is paths::applications()
// (~/Applications); the system's is paths::system("/opt"). A "disk image" is
// a loop device (one with a backing file) that the folder's file system is
// mounted from. The Trash is the desktop's trash under the user's data
// folder ("Trash/files" and "Trash/info").
//
// Guarantees:
//  1. Nothing happens when "moveToApplicationsFolderAlertSuppress" is set,
//     or the folder already lies in an Applications folder.
//  2. The copy is made under a temporary name beside the destination and
//     renamed into place: the destination never holds a half copy.
//  3. Every failure of the copy shows "Could not move to Applications folder"
//     and the application goes on from where it is; a cancelled
//     authorization returns silently. A user other than root is authorized
//     through polkit: the installer (varnel-install-helper) makes the copy
//     as root, owned by root; a refusal or a missing authentication agent
//     shows the failure alert. The installer copies only the folder of the
//     program that runs it (this client, as the kernel names it), so the
//     routine moves the folder this process was started from.
//  4. Paths handed to the shell are single-quoted, each "'" written as
//     "'\''".
//
// Thread safety: main thread; the routine blocks while it copies.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace client {

inline constexpr const char* kMoveToApplicationsSuppressKey =
    "moveToApplicationsFolderAlertSuppress";
inline constexpr const char* kCouldNotMoveMessage = "Could not move to Applications folder";

// Whether `name` (a folder's last component) names an application folder
// the routine may replace with administrator rights: one ending in ".app",
// or the installation's own name (platform::security::
// kInstallationFolderName), the folder the installer moves the client to.
bool isApplicationFolderName(const std::string& name);

// The alert of the routine, drawn by the windows.
class MoveToApplicationsUI {
 public:
  struct Answer {
    bool move = false;      // "Move to Applications Folder" was chosen
    bool suppress = false;  // the suppression box was ticked
  };
  virtual ~MoveToApplicationsUI() = default;
  // The question with its buttons "Move to Applications Folder" and "Do Not
  // Move" and the suppression box.
  virtual Answer askToMove(const std::string& message, const std::string& informativeText) = 0;
  // One alert with `message`.
  virtual void showError(const std::string& message) = 0;
};

struct MoveToApplicationsOptions {
  // The application folder (default: the main bundle's folder).
  std::string bundlePath;
  // The program inside it that starts the application (default: the main
  // bundle's executable name).
  std::string executableName;
  // Ends the process (default: exit). Tests record it instead.
  std::function<void(int status)> exitProcess;
  // Starts a detached shell command (default: "/bin/sh -c <command>").
  std::function<bool(const std::string& command)> runInBackground;
  // The installer that copies as root for users other than root (default:
  // varnel-install-helper inside the application folder).
  std::string installerPath;
};

// The whole routine; returns unless the application was moved.
void offerMoveToApplicationsFolder(MoveToApplicationsUI* ui,
                                   MoveToApplicationsOptions options = {});
// Moves the item to the user's Trash; true on success.
bool moveItemToTrash(const std::string& path);
// "'…'" with each "'" written as "'\''".
std::string shellQuotedString(const std::string& text);
// The loop device the folder's file system is mounted from, or "".
std::string diskImageDeviceForPath(const std::string& path);

}  // namespace client
