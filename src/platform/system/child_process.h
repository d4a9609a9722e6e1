// Running a short helper program (cp, rm, systemctl, a shell) and waiting
// for it, the way the installation steps and the client's moves need it.
// The program is named by its path (no PATH search) and gets this process's
// environment; nothing else is inherited on purpose.
//
// Thread safety: the functions may be called from any thread. They wait
// for their own child only, so no one else in the process may reap it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace platform::process {

// Starts args[0] with the arguments `args`; its process id, or -1 when it
// could not be started.
pid_t spawn(const std::vector<std::string>& args);

// Waits until the child `pid` has ended, waiting again when a signal
// interrupts; its wait status, or -1 when it cannot be waited for.
int waitFor(pid_t pid);

// spawn, then waitFor: the wait status, or -1 when the program did not
// start or could not be waited for.
int runAndWait(const std::vector<std::string>& args);

// The exit status of a run (runAndWait's result), or -1 when the program
// did not run or did not exit by itself (a signal ended it).
int exitStatus(int waitStatus);

}  // namespace platform::process
