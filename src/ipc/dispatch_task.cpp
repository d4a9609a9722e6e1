#include "ipc/dispatch_task.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <vector>

#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/foundation/url.h"

extern char** environ;

namespace ipc {

using platform::Bytes;
using platform::Value;
using platform::dispatch::Queue;
using platform::dispatch::QueuePtr;
using platform::dispatch::Source;

namespace {

constexpr std::size_t kChunkSize = 4096;
constexpr int kScriptFd = 3;

struct Fd {
  int fd;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

[[noreturn]] void invalidExecutable() {
  throw platform::Exception(kDispatchTaskInvalidExecutableException,
                            "There is no executable at the path set.");
}

}  // namespace

struct DispatchTask::Run : std::enable_shared_from_this<DispatchTask::Run> {
  pid_t pid = 0;
  std::shared_ptr<Fd> pidfd;
  std::shared_ptr<Fd> stdinFd;
  int outFd = -1, errFd = -1;
  bool outOpen = true, errOpen = true;  // on `queue` only
  QueuePtr queue;
  std::shared_ptr<Source> outSource, errSource, exitSource;
  DataBlock output, error;
  Block onLaunch, onExit;
  std::atomic<bool> exitCalled{false};
  std::atomic<int> status{-1};
  std::mutex writeMutex;   // guards stdinFd
  std::mutex signalMutex;  // guards pidfd and the end of `status` == -1
  // Held from launch until the process has ended.
  std::shared_ptr<DispatchTask> task;

  // Reads one chunk and posts it: 1 data, 0 end of file, 2 nothing now,
  // -1 failure. On `queue` only.
  int readChunk(bool isOutput);
  void closeStream(bool isOutput) {
    bool& open = isOutput ? outOpen : errOpen;
    if (!open) return;
    open = false;
    auto& src = isOutput ? outSource : errSource;
    if (src) src->cancel();
  }

  void signal(int signo) {
    std::lock_guard<std::mutex> lock(signalMutex);
    if (status.load() != -1) return;  // ended and reaped
#ifdef SYS_pidfd_send_signal
    if (pidfd && pidfd->fd >= 0) {
      ::syscall(SYS_pidfd_send_signal, pidfd->fd, signo, nullptr, 0);
      return;
    }
#endif
    ::kill(pid, signo);
  }

  // Posts the exit callback once; it runs on the termination queue after
  // everything already posted to the main queue.
  void finish() {
    if (exitCalled.exchange(true)) return;
    Block exit = onExit;
    Queue::main()->async([exit] {
      DispatchTask::terminationQueue()->async([exit] {
        if (exit) exit();
      });
    });
  }
};

namespace {

// Runs whose process has not ended yet (touched on their read queues).
std::set<std::shared_ptr<DispatchTask::Run>>& liveRunsUnlocked() {
  static std::set<std::shared_ptr<DispatchTask::Run>> runs;
  return runs;
}
std::mutex gLiveMutex;

struct LiveRuns {
  void insert(const std::shared_ptr<DispatchTask::Run>& r) {
    std::lock_guard<std::mutex> lock(gLiveMutex);
    liveRunsUnlocked().insert(r);
  }
  void erase(const std::shared_ptr<DispatchTask::Run>& r) {
    std::lock_guard<std::mutex> lock(gLiveMutex);
    liveRunsUnlocked().erase(r);
  }
};
LiveRuns liveRuns() { return {}; }

}  // namespace

int DispatchTask::Run::readChunk(bool isOutput) {
  int fd = isOutput ? outFd : errFd;
  std::uint8_t buf[kChunkSize];
  for (;;) {
    errno = 0;
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      Bytes chunk(buf, buf + n);
      auto self = shared_from_this();
      if (isOutput) {
        auto owner = task;
        Queue::main()->async([self, owner, chunk] {
          if (owner && !owner->hasExecuted_) {
            if (self->onLaunch) self->onLaunch();
            owner->hasExecuted_ = true;
          }
          if (self->output) self->output(chunk);
        });
      } else {
        Queue::main()->async([self, chunk] {
          if (self->error) self->error(chunk);
        });
      }
      return 1;
    }
    if (n == 0) return 0;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 2;
    return -1;
  }
}

std::shared_ptr<DispatchTask> DispatchTask::create(platform::dispatch::TimeSourcePtr clock) {
  std::shared_ptr<DispatchTask> task(new DispatchTask());
  task->clock_ = std::move(clock);
  return task;
}

DispatchTask::~DispatchTask() {
  if (executableFd_ >= 0) ::close(executableFd_);
}

void DispatchTask::setExecutableFile(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (executableFd_ >= 0) ::close(executableFd_);
  executableFd_ = fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
}

QueuePtr DispatchTask::terminationQueue() {
  static QueuePtr q = Queue::createSerial("DispatchTask.termination");
  return q;
}

std::string DispatchTask::launchPath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return launchPath_;
}

void DispatchTask::setLaunchPath(std::string path) {
  std::lock_guard<std::mutex> lock(mutex_);
  launchPath_ = std::move(path);
}

Value DispatchTask::arguments() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return arguments_;
}

void DispatchTask::setArguments(Value arguments) {
  std::lock_guard<std::mutex> lock(mutex_);
  arguments_ = std::move(arguments);
}

void DispatchTask::AddArgument(Value argument) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Value> elements = arguments_.elements();
  elements.push_back(std::move(argument));
  arguments_ = Value::array(std::move(elements));
}

std::shared_ptr<Source> DispatchTask::stdoutSource() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stdoutSource_;
}
std::shared_ptr<Source> DispatchTask::stderrSource() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stderrSource_;
}
void DispatchTask::setStdoutSource(std::shared_ptr<Source> source) {
  std::lock_guard<std::mutex> lock(mutex_);
  stdoutSource_ = std::move(source);
}
void DispatchTask::setStderrSource(std::shared_ptr<Source> source) {
  std::lock_guard<std::mutex> lock(mutex_);
  stderrSource_ = std::move(source);
}

pid_t DispatchTask::processIdentifier() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return run_ ? run_->pid : 0;
}

int DispatchTask::terminationStatus() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return run_ ? run_->status.load() : -1;
}

void DispatchTask::launchWithOutputBlock(DataBlock output, DataBlock error, Block onLaunch,
                                         Block onExit) {
  std::string path = platform::standardizePath(launchPath());
  int fileFd;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fileFd = executableFd_;
  }
  struct stat st {};
  // What the kernel starts: the opened file when one is set, else the path.
  std::string execPath = path;
  bool script = false;
  if (fileFd >= 0) {
    if (::fstat(fileFd, &st) != 0 || !S_ISREG(st.st_mode) ||
        (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0)
      invalidExecutable();
    char magic[2] = {0, 0};
    script = ::pread(fileFd, magic, 2, 0) == 2 && magic[0] == '#' && magic[1] == '!';
    // A script's interpreter opens the name it is given after the exec,
    // when close-on-exec descriptors are gone: it gets a copy on 3 that
    // stays open.
    execPath = "/proc/self/fd/" + std::to_string(script ? kScriptFd : fileFd);
  } else if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
             ::access(path.c_str(), X_OK) != 0) {
    invalidExecutable();
  }

  // Arguments: every element that is not a string becomes its "%@" text.
  Value args = arguments();
  std::vector<std::string> argStrings;
  bool normalised = false;
  for (const Value& a : args.elements()) {
    if (a.isString()) {
      argStrings.push_back(a.asString());
    } else {
      argStrings.push_back(platform::format("%@", a));
      normalised = true;
    }
  }
  if (normalised) {
    std::vector<Value> texts(argStrings.begin(), argStrings.end());
    setArguments(Value::array(std::move(texts)));
  }

  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0) invalidExecutable();
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]), ::close(in[1]);
    invalidExecutable();
  }
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(in[0]), ::close(in[1]), ::close(out[0]), ::close(out[1]);
    invalidExecutable();
  }

  std::vector<char*> argv;
  std::string arg0 = path;
  argv.push_back(arg0.data());
  for (auto& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  if (script) posix_spawn_file_actions_adddup2(&actions, fileFd, kScriptFd);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, execPath.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (rc != 0) {
    ::close(in[1]), ::close(out[0]), ::close(err[0]);
    invalidExecutable();
  }

  auto run = std::make_shared<Run>();
  run->pid = pid;
  run->pidfd = std::make_shared<Fd>(openPidfd(pid));
  run->stdinFd = std::make_shared<Fd>(in[1]);
  run->outFd = out[0];
  run->errFd = err[0];
  run->output = std::move(output);
  run->error = std::move(error);
  run->onLaunch = std::move(onLaunch);
  run->onExit = std::move(onExit);
  run->queue = Queue::createSerial("DispatchTask.read");
  ::fcntl(out[0], F_SETFL, O_NONBLOCK);
  ::fcntl(err[0], F_SETFL, O_NONBLOCK);

  run->task = shared_from_this();
  run->outSource = Source::read(out[0], run->queue);
  run->errSource = Source::read(err[0], run->queue);
  int outFd = out[0], errFd = err[0];
  run->outSource->setCancelHandler([outFd] { ::close(outFd); });
  run->errSource->setCancelHandler([errFd] { ::close(errFd); });
  std::weak_ptr<Run> weakRun = run;
  run->outSource->setEventHandler([weakRun] {
    auto r = weakRun.lock();
    if (!r || !r->outOpen) return;
    int got = r->readChunk(true);
    if (got == 0) r->closeStream(true);
    if (got < 0) {
      r->closeStream(true);
      r->finish();
    }
  });
  run->errSource->setEventHandler([weakRun] {
    auto r = weakRun.lock();
    if (!r || !r->errOpen) return;
    int got = r->readChunk(false);
    if (got == 0 || got < 0) r->closeStream(false);
  });
  run->exitSource = Source::processExit(pid, run->queue);
  std::weak_ptr<Source> weakExit = run->exitSource;
  run->exitSource->setEventHandler([weakRun, weakExit] {
    auto r = weakRun.lock();
    auto exitSource = weakExit.lock();
    if (!r || !exitSource) return;
    {
      // The process is gone: its pidfd and the pipe to its input go with it,
      // whoever still holds this run.
      std::lock_guard<std::mutex> lock(r->signalMutex);
      r->status = static_cast<int>(exitSource->data());
      r->pidfd.reset();
    }
    {
      std::lock_guard<std::mutex> lock(r->writeMutex);
      r->stdinFd.reset();
    }
    // Hand over whatever is still in the pipes before reporting the exit.
    for (bool isOutput : {true, false}) {
      while (isOutput ? r->outOpen : r->errOpen) {
        if (r->readChunk(isOutput) != 1) r->closeStream(isOutput);
      }
    }
    exitSource->cancel();
    r->finish();
    r->task.reset();
    liveRuns().erase(r);
  });
  liveRuns().insert(run);

  {
    std::lock_guard<std::mutex> lock(mutex_);
    run_ = run;
    stdoutSource_ = run->outSource;
    stderrSource_ = run->errSource;
  }
  run->outSource->resume();
  run->errSource->resume();
  run->exitSource->resume();
}

bool DispatchTask::WriteDataToStandardInput(const Bytes& data) {
  std::shared_ptr<Run> run;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    run = run_;
  }
  if (!run) return false;
  std::lock_guard<std::mutex> lock(run->writeMutex);
  if (!run->stdinFd) return false;  // the child has ended
  // Block SIGPIPE on this thread for the write, and swallow one that the
  // write raised, so a closed pipe is a failure instead of the end of us.
  sigset_t pipeSet, old, pending;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
  sigpending(&pending);
  bool wasPending = sigismember(&pending, SIGPIPE);
  bool ok = true;
  const std::uint8_t* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    ssize_t n = ::write(run->stdinFd->fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      if (errno == EPIPE && !wasPending) {
        timespec zero{0, 0};
        while (::sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
        }
      }
      break;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return ok;
}

bool DispatchTask::WriteStringToStandardInput(std::string_view text) {
  return WriteDataToStandardInput(Bytes(text.begin(), text.end()));
}

void DispatchTask::RequestTermination() {
  std::shared_ptr<Run> run;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    run = run_;
  }
  if (!run) return;
  run->signal(SIGINT);
  // Held weakly: a run whose process has ended is not kept for the timer.
  std::weak_ptr<Run> weak = run;
  Queue::main()->after(
      platform::dispatch::seconds(10.0),
      [weak] {
        if (auto r = weak.lock()) r->signal(SIGTERM);
      },
      clock_);
}

}  // namespace ipc
