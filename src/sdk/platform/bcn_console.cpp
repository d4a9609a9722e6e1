#include "sdk/platform/bcn_console.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace sdk {

namespace {

std::atomic<bool> gDebug{false};

std::mutex& hookMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<BCNConsoleHook>& hookSlot() {
  static std::shared_ptr<BCNConsoleHook> hook;
  return hook;
}

void writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // dropped (guarantee 4)
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace

void BCNConsoleWrite(std::string_view line) {
  try {
    std::shared_ptr<BCNConsoleHook> hook;
    {
      std::lock_guard lock(hookMutex());
      hook = hookSlot();
    }
    if (hook && *hook) {
      std::string_view text = line;
      if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
      (*hook)(std::string(text));
      return;
    }
    std::string out(line);
    if (out.empty() || out.back() != '\n') out.push_back('\n');
    writeAll(STDERR_FILENO, out.data(), out.size());
  } catch (...) {
    // Writing the console never throws into the caller.
  }
}

void BCNConsoleWriteDebug(std::string_view line) {
  if (BCNConsoleIsDebug()) BCNConsoleWrite(line);
}

bool BCNConsoleIsDebug() { return gDebug.load(std::memory_order_relaxed); }

void BCNConsoleSetDebug(bool debug) { gDebug.store(debug, std::memory_order_relaxed); }

BCNConsoleHook BCNConsoleSetHook(BCNConsoleHook hook) {
  std::shared_ptr<BCNConsoleHook> next =
      hook ? std::make_shared<BCNConsoleHook>(std::move(hook)) : nullptr;
  std::shared_ptr<BCNConsoleHook> previous;
  {
    std::lock_guard lock(hookMutex());
    previous = std::exchange(hookSlot(), std::move(next));
  }
  return previous ? *previous : BCNConsoleHook();
}

BCNConsoleCapture::BCNConsoleCapture() : state_(std::make_shared<State>()) {
  std::weak_ptr<State> weak = state_;
  previous_ = BCNConsoleSetHook([weak](const std::string& line) {
    if (auto state = weak.lock()) {
      std::lock_guard lock(state->mutex);
      state->lines.push_back(line);
    }
  });
}

BCNConsoleCapture::~BCNConsoleCapture() { BCNConsoleSetHook(std::move(previous_)); }

std::vector<std::string> BCNConsoleCapture::lines() const {
  std::lock_guard lock(state_->mutex);
  return state_->lines;
}

bool BCNConsoleCapture::contains(std::string_view text) const { return count(text) > 0; }

std::size_t BCNConsoleCapture::count(std::string_view text) const {
  std::lock_guard lock(state_->mutex);
  std::size_t n = 0;
  for (const std::string& line : state_->lines) {
    if (line.find(text) != std::string::npos) ++n;
  }
  return n;
}

void BCNConsoleCapture::clear() {
  std::lock_guard lock(state_->mutex);
  state_->lines.clear();
}

}  // namespace sdk
