// What the local service programs of tools/ share: running until SIGINT or
// SIGTERM, writing the files they hand out (saying on standard error when
// one cannot be written), and announcing their base URL.
#pragma once

#include <signal.h>

#include <string>
#include <string_view>

namespace test_support {

// Blocks SIGINT and SIGTERM in the calling thread and so in every thread it
// starts afterwards; call it before the first thread starts. The set is for
// waitForStopSignal.
sigset_t blockStopSignals();

// Waits until SIGINT or SIGTERM (blocked by blockStopSignals) arrives.
void waitForStopSignal(const sigset_t& stop);

// Writes `bytes` to `path` atomically with the permission bits `mode`; when
// that fails, says "cannot write PATH: REASON" on standard error and
// returns false.
bool writeFileOrSay(const std::string& path, std::string_view bytes, unsigned mode);

// Prints `url` on standard output (flushed) and, unless `urlFile` is empty,
// writes it there too; false (after saying why) when that file cannot be
// written.
bool announceURL(const std::string& url, const std::string& urlFile);

}  // namespace test_support
