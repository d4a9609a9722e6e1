// varnel-launcher: starts the services of the installed launch records on
// their first connection, as socket activation does in a real install.
//
//   varnel-launcher [--records DIR]
//
// Reads every "<label>.service" record in DIR (default: the launch records
// folder under VARNEL_ROOT), binds each service's socket in the runtime
// folder, prints "ready" once all are bound, and runs until SIGTERM or SIGINT.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/dispatch/dispatch.h"
#include "platform/runloop/run_loop.h"
#include "platform/xpc/launcher.h"

int main(int argc, char** argv) {
  std::string records;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--records") == 0 && i + 1 < argc) {
      records = argv[++i];
    } else {
      std::fprintf(stderr, "usage: varnel-launcher [--records DIR]\n");
      return 2;
    }
  }
  platform::xpc::Launcher launcher;
  launcher.setObserver([](const std::string& label, pid_t pid, int status) {
    if (pid > 0) {
      std::fprintf(stderr, "varnel-launcher: started %s (pid %d)\n", label.c_str(), pid);
    } else if (pid < 0) {
      std::fprintf(stderr, "varnel-launcher: %s ended (status %d)\n", label.c_str(), status);
    }
  });
  int added = launcher.addRecords(records);
  if (added == 0) {
    std::fprintf(stderr, "varnel-launcher: no launch records to serve\n");
    return 1;
  }
  auto quit = [] { platform::runloop::RunLoop::main().stop(); };
  auto term = platform::dispatch::Source::signal(SIGTERM, platform::dispatch::Queue::main());
  auto intr = platform::dispatch::Source::signal(SIGINT, platform::dispatch::Queue::main());
  term->setEventHandler(quit);
  intr->setEventHandler(quit);
  term->resume();
  intr->resume();
  std::printf("ready\n");
  std::fflush(stdout);
  platform::runloop::RunLoop::main().run();
  launcher.stop();
  return 0;
}
