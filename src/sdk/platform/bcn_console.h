// The SDK's console writer: every SDK piece writes its bracketed console
// lines ("[Beacon] ...", "[Tally] ...", "[Crashtrail] ...") through here.
//
// Guarantees:
//  1. One call writes one line to stderr with a single write, so lines of
//     different threads never interleave; a line that does not end in "\n"
//     gets one.
//  2. Debug-only lines (BCNConsoleWriteDebug, BCNConsoleDebugLog) are
//     written only while the kit registry's debug switch is set
//     (Beacon::debug(), which reads and writes the switch kept here). The
//     switch is checked before anything is formatted.
//  3. While a capture hook is installed, lines go to the hook (without
//     their final "\n") instead of stderr. The hook is called outside any
//     lock of this module, on the writing thread; it may write lines itself.
//  4. Writing never throws into the caller; a failed stderr write is
//     dropped.
//
// Not for crash-time code: this allocates and locks.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/format.h"

namespace sdk {

// Writes `line` (see guarantees 1, 3 and 4).
void BCNConsoleWrite(std::string_view line);
// Writes `line` only while the debug switch is set.
void BCNConsoleWriteDebug(std::string_view line);

// platform::format of `fmt` and `args`, then BCNConsoleWrite.
template <class... Args>
void BCNConsoleLog(std::string_view fmt, const Args&... args) {
  BCNConsoleWrite(platform::format(fmt, args...));
}
// As BCNConsoleLog, but only while the debug switch is set (nothing is
// formatted otherwise).
bool BCNConsoleIsDebug();
template <class... Args>
void BCNConsoleDebugLog(std::string_view fmt, const Args&... args) {
  if (BCNConsoleIsDebug()) BCNConsoleWrite(platform::format(fmt, args...));
}

// The process-wide debug switch (Beacon::setDebug sets it).
void BCNConsoleSetDebug(bool debug);

// Installs `hook` (nullptr removes it) and returns the previous one.
using BCNConsoleHook = std::function<void(const std::string& line)>;
BCNConsoleHook BCNConsoleSetHook(BCNConsoleHook hook);

// Tests: captures every console line written while it lives (from any
// thread), restoring the previous hook when it goes. Not nestable with
// other hooks installed in between.
class BCNConsoleCapture {
 public:
  BCNConsoleCapture();
  ~BCNConsoleCapture();
  BCNConsoleCapture(const BCNConsoleCapture&) = delete;
  BCNConsoleCapture& operator=(const BCNConsoleCapture&) = delete;

  std::vector<std::string> lines() const;
  // True when some captured line contains `text`.
  bool contains(std::string_view text) const;
  // How many captured lines contain `text`.
  std::size_t count(std::string_view text) const;
  void clear();

 private:
  struct State {
    mutable std::mutex mutex;
    std::vector<std::string> lines;
  };
  std::shared_ptr<State> state_;
  BCNConsoleHook previous_;
};

}  // namespace sdk
