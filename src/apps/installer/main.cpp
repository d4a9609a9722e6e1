// varnel-install-helper: the part of the client's installation steps that
// needs root. The client runs it through pkexec, so polkit decides who may
// (actions "com.varnelvpn.helper.install" and "com.varnelvpn.client.move" of
// packaging/polkit/com.varnelvpn.policy). What it does and refuses is
// described in installer.h; this only reads its own context from the
// kernel and prints the outcome to standard error as one line.
//
// --root names the system root that a private installation (VARNEL_ROOT)
// uses; pkexec clears the environment, so it comes as an argument.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "apps/installer/installer.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (installer::needsRoot(args) && ::geteuid() != 0) {
    std::fprintf(stderr, "%s: must run as root (through pkexec)\n", installer::kProgramName);
    return installer::kNotRoot;
  }
  const installer::Outcome outcome = installer::run(args, installer::currentContext());
  if (!outcome.message.empty())
    std::fprintf(stderr, "%s: %s\n", installer::kProgramName, outcome.message.c_str());
  return outcome.status;
}
