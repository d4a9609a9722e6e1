// libFuzzer target: the reader of crash record files (one JSON section per
// line, a line cut short by a crash skipped). The input is the file, read
// from an anonymous in-memory file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sdk/crash/capture/ctr_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int fd = ::memfd_create("record", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (size > 0 && ::write(fd, data, size) != static_cast<ssize_t>(size)) {
    ::close(fd);
    return 0;
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  platform::Value sections = sdk::CTRFileReadSections(path.c_str(), false);
  if (!sections.isNone() && !sections.isArray()) std::abort();
  ::close(fd);
  return 0;
}
