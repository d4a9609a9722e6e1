// Shared pieces of the channel tests: a temporary VARNEL_ROOT, the peer
// program as a child process, and pumping the main run loop.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/runloop/run_loop.h"

extern char** environ;

namespace channel_test {

// A fresh VARNEL_ROOT for the lifetime of the object.
class TempRoot {
 public:
  TempRoot() {
    char tmpl[] = "/tmp/vipc-XXXXXX";
    path_ = ::mkdtemp(tmpl);
    ::setenv("VARNEL_ROOT", path_.c_str(), 1);
  }
  ~TempRoot() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
    ::unsetenv("VARNEL_ROOT");
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline bool pump(const std::function<bool()>& done, int ms = 10000) {
  return platform::runloop::RunLoop::main().runUntil(done, std::chrono::milliseconds(ms));
}

// The peer program, started with `args`; its standard output is readable
// line by line.
class PeerProcess {
 public:
  explicit PeerProcess(std::vector<std::string> args) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    std::vector<char*> argv;
    args.insert(args.begin(), CHANNEL_PEER_PATH);
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::posix_spawn(&pid_, CHANNEL_PEER_PATH, &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    out_ = out[0];
  }
  ~PeerProcess() {
    kill();
    if (out_ >= 0) ::close(out_);
  }
  pid_t pid() const { return pid_; }
  // The next line of output, "" on end of file or after `ms`.
  std::string readLine(int ms = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      auto nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now())
                                      .count());
      if (left <= 0) return "";
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, left) <= 0) continue;
      char buf[512];
      ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) return "";
      buffer_.append(buf, static_cast<std::size_t>(n));
    }
  }
  void kill(int signo = SIGKILL) {
    if (pid_ > 0) {
      ::kill(pid_, signo);
      int status;
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
    }
  }
  // Waits for the process to end by itself; its wait status, or -1.
  int wait() {
    int status = -1;
    if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
};

}  // namespace channel_test
