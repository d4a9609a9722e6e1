#include "platform/security/polkit_authorization.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace platform::security {

namespace {

// pkexec's own exit statuses.
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorizedOrError = 127;
constexpr std::size_t kMaxDiagnostics = 16 * 1024;

bool contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

// The last non-empty line, without a "program: " prefix.
std::string lastLine(const std::string& text) {
  std::size_t end = text.find_last_not_of("\n\r ");
  if (end == std::string::npos) return {};
  std::size_t begin = text.rfind('\n', end);
  begin = begin == std::string::npos ? 0 : begin + 1;
  std::string line = text.substr(begin, end - begin + 1);
  const std::size_t colon = line.find(": ");
  if (colon != std::string::npos && line.compare(0, colon, kInstallerProgramName) == 0)
    line = line.substr(colon + 2);
  return line;
}

}  // namespace

AuthorizedRun runAuthorized(const std::string& program, const std::vector<std::string>& arguments,
                            const std::string& what, const std::string& pkexec) {
  AuthorizedRun run;
  std::vector<std::string> args = {pkexec, program};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    run.message = "Could not " + what + ": " + std::strerror(errno) + ".";
    return run;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, pkexec.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (rc != 0) {
    ::close(out[0]);
    run.message = "The system's authorization service could not be used to " + what + " (" +
                  pkexec + ": " + std::strerror(rc) + "). Install polkit's pkexec.";
    return run;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (run.diagnostics.size() < kMaxDiagnostics)
      run.diagnostics.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status)) {
    run.outcome = AuthorizedRun::Outcome::kProgramFailed;
    run.message = "Could not " + what + ": the authorized program ended abnormally.";
    return run;
  }
  run.exitStatus = WEXITSTATUS(status);
  const std::string& text = run.diagnostics;
  if (run.exitStatus == 0) {
    run.outcome = AuthorizedRun::Outcome::kSucceeded;
  } else if (run.exitStatus == kPkexecDismissed) {
    run.outcome = AuthorizedRun::Outcome::kDismissed;
    run.message = "The authorization to " + what + " was cancelled.";
  } else if (run.exitStatus == kPkexecNotAuthorizedOrError &&
             (contains(text, "authentication agent") || contains(text, "/dev/tty"))) {
    run.outcome = AuthorizedRun::Outcome::kNoAgent;
    run.message =
        "No authentication agent is running to ask for the administrator password "
        "needed to " +
        what + ". Log in to a desktop session with a polkit agent and try again.";
  } else if (run.exitStatus == kPkexecNotAuthorizedOrError && contains(text, "Not authorized")) {
    run.outcome = AuthorizedRun::Outcome::kNotAuthorized;
    run.message = "You are not authorized to " + what + ". An administrator must allow it.";
  } else if (run.exitStatus == kPkexecNotAuthorizedOrError) {
    run.outcome = AuthorizedRun::Outcome::kUnavailable;
    run.message = "The system's authorization service could not be used to " + what + ": " +
                  lastLine(text) + ".";
  } else {
    run.outcome = AuthorizedRun::Outcome::kProgramFailed;
    const std::string reason = lastLine(text);
    run.message = "Could not " + what + (reason.empty() ? "." : ": " + reason);
  }
  return run;
}

}  // namespace platform::security
