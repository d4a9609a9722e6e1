// platform::xpc service names: where a named service listens, how it is
// recorded for on-demand start, and how it receives a listening socket that
// was opened for it.
//
// A service name ("VarnelHelper") maps to the socket "<name>.sock" in the
// system runtime folder (platform::paths::runtime(), so VARNEL_ROOT moves it).
// A launch record names the program that serves one or more services; it is
// a text file "<label>.service" in platform::paths::launchDaemons() with one
// "Key=Value" per line:
//   Label=VarnelHelper
//   Program=/usr/local/libexec/varnel/VarnelHelper
//   ProgramArguments=VarnelHelper        (repeated, in order; optional)
//   MachServices=VarnelHelper            (repeated)
// Lines starting with '#' and blank lines are ignored; unknown keys are kept
// out of the record. Socket activation passes the listening socket as
// descriptor 3 with LISTEN_FDS=1 and LISTEN_PID=<pid of the program>.
//
// Thread safety: functions of the environment and the file system.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/error.h"

namespace platform::xpc {

// Error domain of the service helpers below and of the transport.
inline constexpr const char* kServiceErrorDomain = "VarnelServiceErrorDomain";

// Socket path of a named service; "" when the name is empty, contains '/' or
// the path would not fit a Unix socket address.
std::string socketPathForService(std::string_view name);

struct LaunchRecord {
  std::string label;
  std::string program;
  std::vector<std::string> programArguments;
  std::vector<std::string> machServices;
};

std::string launchRecordPath(std::string_view label);
// Parses a record file; nullopt with `error` set when unreadable or invalid
// (no Label, no Program or no MachServices).
std::optional<LaunchRecord> readLaunchRecord(const std::string& path, Error* error = nullptr);
// Writes the record atomically (temporary file and rename, mode 0644); false
// with `error` on failure or when a value holds a line break.
bool writeLaunchRecord(const LaunchRecord& record, const std::string& path, Error* error = nullptr);
// Every valid record in `directory` (default: paths::launchDaemons()).
std::vector<LaunchRecord> readLaunchRecords(const std::string& directory = "");

// The listening socket handed over by socket activation for this process, or
// -1. Consumes LISTEN_FDS/LISTEN_PID (they are removed from the environment
// so children do not inherit them); a descriptor that is not a listening
// Unix stream socket is not taken.
int takeActivatedListener();

// The name this program serves by default: $VARNEL_SERVICE_NAME, else the
// file name of the running executable.
std::string mainServiceName();

}  // namespace platform::xpc
