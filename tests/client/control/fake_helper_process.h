// The fake helper program as a child process of a test: commands go to its
// standard input, its events are read line by line without blocking, so a
// test can wait for them while it runs the main run loop.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/runloop/run_loop.h"
#include "support/wait.h"

extern char** environ;

namespace control_test {

class FakeHelper {
 public:
  FakeHelper() {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    char* argv[] = {const_cast<char*>(FAKE_HELPER_PATH), nullptr};
    if (::posix_spawn(&pid_, FAKE_HELPER_PATH, &fa, nullptr, argv, environ) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
    ::fcntl(out_, F_SETFL, ::fcntl(out_, F_GETFL) | O_NONBLOCK);
  }
  ~FakeHelper() {
    stop();
    if (out_ >= 0) ::close(out_);
  }
  bool waitReady() {
    return varnel::testing::waitUntilOnMainRunLoop([&] { return seen("ready"); });
  }
  // Sends a command and waits (running the main loop) until the helper has
  // carried it out, so that a request made next sees its effect; false when
  // it did not within `ms`.
  bool send(const std::string& line, int ms = 10000) {
    if (in_ < 0) return false;
    const std::string ack = "did " + line;
    const int before = count(ack);
    std::string text = line + "\n";
    (void)!::write(in_, text.data(), text.size());
    return waitFor(ack, before + 1, ms);
  }
  void stop() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    pid_ = 0;
  }
  // Every event line read so far.
  const std::vector<std::string>& events() {
    drain();
    return events_;
  }
  int count(const std::string& line) {
    drain();
    int n = 0;
    for (const std::string& e : events_) n += e == line;
    return n;
  }
  bool seen(const std::string& line) { return count(line) > 0; }
  // Waits, running the main loop, until `line` has been seen `n` times.
  bool waitFor(const std::string& line, int n = 1, int ms = 10000) {
    return varnel::testing::waitUntilOnMainRunLoop([&] { return count(line) >= n; },
                                                   std::chrono::milliseconds(ms));
  }

 private:
  void drain() {
    char buffer[4096];
    for (;;) {
      ssize_t n = ::read(out_, buffer, sizeof buffer);
      if (n <= 0) break;
      partial_.append(buffer, static_cast<std::size_t>(n));
    }
    for (std::size_t nl; (nl = partial_.find('\n')) != std::string::npos;) {
      events_.push_back(partial_.substr(0, nl));
      partial_.erase(0, nl + 1);
    }
  }

  pid_t pid_ = 0;
  int in_ = -1, out_ = -1;
  std::string partial_;
  std::vector<std::string> events_;
};

}  // namespace control_test
