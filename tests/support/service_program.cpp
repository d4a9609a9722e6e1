#include "support/service_program.h"

#include <cstdio>

#include "platform/foundation/error.h"
#include "platform/system/file_util.h"

namespace test_support {

sigset_t blockStopSignals() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  return stop;
}

void waitForStopSignal(const sigset_t& stop) {
  int signo = 0;
  sigwait(&stop, &signo);
}

bool writeFileOrSay(const std::string& path, std::string_view bytes, unsigned mode) {
  platform::Error error;
  if (platform::files::writeFileAtomically(path, bytes, mode, &error)) return true;
  std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), error.localizedDescription().c_str());
  return false;
}

bool announceURL(const std::string& url, const std::string& urlFile) {
  if (!urlFile.empty() && !writeFileOrSay(urlFile, url + "\n", 0644)) return false;
  std::printf("%s\n", url.c_str());
  std::fflush(stdout);
  return true;
}

}  // namespace test_support
