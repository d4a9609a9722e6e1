// DispatchTask: one child process with pipes on its standard input, output
// and error, whose output is read in chunks as it arrives.
//
// Guarantees:
//  1. Output and error chunks (at most 4096 bytes each) reach their callbacks
//     on the main queue, each stream in the order it was read. The launch
//     callback runs once, on the main queue, just before the first output
//     chunk; a child that writes nothing to standard output never triggers it.
//  2. The exit callback runs exactly once per launch, on the process-
//     termination queue (not the main queue), after every chunk that was in
//     the pipes when the child ended has been handed to its callback. A failed
//     read of standard output (other than end of file) ends the output and
//     runs the exit callback then instead.
//  3. End of file on a stream stops reading it (no busy loop).
//  4. The child starts with default signal dispositions and an empty signal
//     mask, in the caller's current directory, with the caller's environment.
//  5. A write to standard input reports failure (false) when the child has
//     closed its end or has ended; it never raises SIGPIPE in the caller.
//  6. With an executable file set (`setExecutableFile`), exactly that opened
//     file is started (through /proc/self/fd), whatever its path leads to by
//     now; the launch path is only the child's argv[0]. A script ("#!") gets
//     its file on descriptor 3 so that its interpreter can read it; a binary
//     inherits no descriptor of ours.
//  7. A launch path that does not name an executable file raises
//     platform::Exception "DISPATCHTASK_INVALID_EXECUTABLE" ("There is no
//     executable at the path set."), before anything is started; callers may
//     catch it.
//  8. RequestTermination signals only the process of the current launch:
//     SIGINT now, SIGTERM ten seconds later on the main queue; a process that
//     has ended (and been reaped) is never signalled, even if its pid was
//     reused.
// A second launch replaces the pipes and sources of the first without
// stopping it; the first run keeps its own callbacks until it ends.
//
// Thread safety: configure and launch from one thread; the write and
// termination calls may be made from any thread. `hasExecuted` belongs to the
// main queue.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/value.h"

namespace ipc {

inline constexpr const char* kDispatchTaskInvalidExecutableException =
    "DISPATCHTASK_INVALID_EXECUTABLE";

class DispatchTask : public std::enable_shared_from_this<DispatchTask> {
 public:
  using DataBlock = std::function<void(const platform::Bytes& chunk)>;
  using Block = std::function<void()>;

  // The ten seconds between RequestTermination's interrupt and its
  // SIGTERM follow `clock` (none: the steady clock).
  static std::shared_ptr<DispatchTask> create(platform::dispatch::TimeSourcePtr clock = nullptr);
  ~DispatchTask();

  std::string launchPath() const;
  void setLaunchPath(std::string path);
  // An array; elements that are not strings are turned into their "%@" text
  // at launch.
  platform::Value arguments() const;
  void setArguments(platform::Value arguments);
  void AddArgument(platform::Value argument);
  // Starts the file open on `fd` (the task keeps its own duplicate; the
  // caller still owns `fd`). -1 clears it.
  void setExecutableFile(int fd);

  void launchWithOutputBlock(DataBlock output, DataBlock error, Block onLaunch, Block onExit);

  // Writes all of `data` to the child's standard input (blocking). False
  // when there is no child yet or the write fails.
  bool WriteDataToStandardInput(const platform::Bytes& data);
  bool WriteStringToStandardInput(std::string_view text);

  void RequestTermination();

  bool hasExecuted() const { return hasExecuted_; }
  void setHasExecuted(bool value) { hasExecuted_ = value; }
  std::shared_ptr<platform::dispatch::Source> stdoutSource() const;
  std::shared_ptr<platform::dispatch::Source> stderrSource() const;
  void setStdoutSource(std::shared_ptr<platform::dispatch::Source> source);
  void setStderrSource(std::shared_ptr<platform::dispatch::Source> source);

  // The pid of the current launch (0 before the first).
  pid_t processIdentifier() const;
  // The wait status of the current launch once it ended, -1 before.
  int terminationStatus() const;

  // The queue on which exit callbacks run.
  static platform::dispatch::QueuePtr terminationQueue();

  // One launch: its process, pipes, sources and callbacks.
  struct Run;

 private:
  DispatchTask() = default;

  mutable std::mutex mutex_;
  std::string launchPath_;
  platform::Value arguments_;
  int executableFd_ = -1;
  std::shared_ptr<Run> run_;
  std::shared_ptr<platform::dispatch::Source> stdoutSource_, stderrSource_;
  std::atomic<bool> hasExecuted_{false};
  platform::dispatch::TimeSourcePtr clock_;  // set at creation, never changed
};

}  // namespace ipc
