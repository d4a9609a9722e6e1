#include "support/shell.h"

#include <sys/wait.h>

#include <cstdio>

namespace varnel::testing {

ShellOutcome runShell(const std::string& command) {
  ShellOutcome r;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return r;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) r.output.append(buffer, n);
  int status = ::pclose(p);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

}  // namespace varnel::testing
