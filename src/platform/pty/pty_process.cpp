#include "platform/pty/pty_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace platform::pty {

std::optional<PtyPair> openPair(Error* error) {
  PtyPair pair;
  pair.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (pair.master < 0 || ::grantpt(pair.master) != 0 || ::unlockpt(pair.master) != 0 ||
      ::ptsname_r(pair.master, name, sizeof name) != 0 ||
      (pair.slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
    const int err = errno;
    if (pair.master >= 0) ::close(pair.master);
    if (error) *error = Error::posix(err, "pseudo-terminal");
    return std::nullopt;
  }
  return pair;
}

std::shared_ptr<PtyProcess> PtyProcess::launch(const std::string& path,
                                               const std::vector<std::string>& arguments,
                                               LineHandler onLine, ExitHandler onExit,
                                               Error* error) {
  std::optional<PtyPair> pair = openPair(error);
  if (!pair) return nullptr;
  std::vector<std::string> args = arguments;
  args.insert(args.begin(), path);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd < 3; ++fd) posix_spawn_file_actions_adddup2(&actions, pair->slave, fd);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(pair->slave);
  if (rc != 0) {
    ::close(pair->master);
    if (error) *error = Error::posix(rc, path);
    return nullptr;
  }
  ::fcntl(pair->master, F_SETFL, ::fcntl(pair->master, F_GETFL) | O_NONBLOCK);

  std::shared_ptr<PtyProcess> process(new PtyProcess());
  process->pid_ = pid;
  process->pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  process->running_ = true;
  process->master_ = pair->master;
  process->onLine_ = std::move(onLine);
  process->onExit_ = std::move(onExit);
  auto queue = dispatch::Queue::main();
  std::weak_ptr<PtyProcess> weak = process;
  process->reader_ = dispatch::Source::read(pair->master, queue);
  process->reader_->setEventHandler([weak] {
    if (auto self = weak.lock()) self->readAvailable();
  });
  const int master = pair->master;
  process->reader_->setCancelHandler([master] { ::close(master); });
  process->exit_ = dispatch::Source::processExit(pid, queue);
  auto exitSource = process->exit_;
  process->exit_->setEventHandler([weak, exitSource] {
    const int status = static_cast<int>(exitSource->data());
    if (auto self = weak.lock()) self->exited(status);
    exitSource->cancel();
  });
  process->reader_->resume();
  process->exit_->resume();
  return process;
}

PtyProcess::~PtyProcess() {
  if (reader_) reader_->cancel();
  if (exit_) exit_->cancel();
  if (pidfd_ >= 0) ::close(pidfd_);
}

bool PtyProcess::isRunning() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

bool PtyProcess::signal(int signo) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!running_ || pidfd_ < 0) return false;
  return ::syscall(SYS_pidfd_send_signal, pidfd_, signo, nullptr, 0) == 0;
}

void PtyProcess::readAvailable() {
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n > 0) {
      partial_.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (n < 0 && errno != EAGAIN)) {
      // The slave side is closed (EIO): nothing more will come.
      if (reader_ && !reader_->isCancelled()) reader_->cancel();
    }
    break;
  }
  for (std::size_t nl; (nl = partial_.find('\n')) != std::string::npos;) {
    std::string line = partial_.substr(0, nl);
    partial_.erase(0, nl + 1);
    while (!line.empty() && line.back() == '\r') line.pop_back();
    if (onLine_) onLine_(line);
  }
}

void PtyProcess::exited(int status) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return;
    running_ = false;
  }
  if (reader_ && !reader_->isCancelled()) readAvailable();
  if (!partial_.empty()) {
    std::string rest;
    rest.swap(partial_);
    while (!rest.empty() && rest.back() == '\r') rest.pop_back();
    if (onLine_ && !rest.empty()) onLine_(rest);
  }
  if (reader_ && !reader_->isCancelled()) reader_->cancel();
  ExitHandler onExit = std::move(onExit_);
  if (onExit) onExit(status);
}

}  // namespace platform::pty
