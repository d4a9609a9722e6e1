#include "platform/system/child_process.h"

#include <errno.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace platform::process {

pid_t spawn(const std::vector<std::string>& args) {
  if (args.empty()) return -1;
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

int waitFor(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

int runAndWait(const std::vector<std::string>& args) {
  const pid_t pid = spawn(args);
  return pid < 0 ? -1 : waitFor(pid);
}

int exitStatus(int waitStatus) {
  return waitStatus != -1 && WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
}

}  // namespace platform::process
