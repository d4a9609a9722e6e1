// platform::pty: pseudo-terminals for programs that want a terminal (the PPP
// daemon), and a child process that runs on one.
//
// PtyProcess guarantees:
//  1. The child runs in its own session with the terminal's slave side as
//     standard input, output and error, default signal dispositions and an
//     empty signal mask; no other descriptor of the caller is inherited
//     (every descriptor made here is close-on-exec).
//  2. Output lines (without "\r" and "\n") reach the line handler on the
//     main queue in order; the exit handler runs once, on the main queue,
//     after every line the child wrote has been handed over.
//  3. Signals go only to the process of this launch (through a process
//     descriptor), never to another process that reuses its pid.
//
// Thread safety: launch and signal from any thread; handlers on the main queue.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/error.h"

namespace platform::pty {

struct PtyPair {
  int master = -1;
  int slave = -1;
};

// Opens a pseudo-terminal pair, both sides close-on-exec; nullopt and an
// error in the POSIX domain on failure.
std::optional<PtyPair> openPair(Error* error = nullptr);

class PtyProcess : public std::enable_shared_from_this<PtyProcess> {
 public:
  using LineHandler = std::function<void(const std::string& line)>;
  using ExitHandler = std::function<void(int waitStatus)>;

  // Starts `path` with `arguments` (argv[1...]); nullptr and `*error` when
  // the terminal cannot be had or the program cannot be started.
  static std::shared_ptr<PtyProcess> launch(const std::string& path,
                                            const std::vector<std::string>& arguments,
                                            LineHandler onLine, ExitHandler onExit,
                                            Error* error = nullptr);
  ~PtyProcess();

  pid_t processIdentifier() const { return pid_; }
  bool isRunning() const;
  // Sends `signo` to the child while it runs; false when it has ended.
  bool signal(int signo);

 private:
  PtyProcess() = default;
  void readAvailable();
  void exited(int status);

  mutable std::mutex mutex_;
  pid_t pid_ = 0;
  int pidfd_ = -1;  // signals through it never reach a reused pid
  bool running_ = false;
  int master_ = -1;
  std::string partial_;
  LineHandler onLine_;
  ExitHandler onExit_;
  std::shared_ptr<dispatch::Source> reader_, exit_;
};

}  // namespace platform::pty
