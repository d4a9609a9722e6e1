// Runs a command line through /bin/sh for tests that drive whole programs:
// the exit status (-1 when the shell could not be started or the command
// did not exit normally) and everything it wrote to standard output.
#pragma once

#include <string>

namespace varnel::testing {

struct ShellOutcome {
  int status = -1;
  std::string output;
};

ShellOutcome runShell(const std::string& command);

// Whether `text` holds `part` anywhere.
inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace varnel::testing
