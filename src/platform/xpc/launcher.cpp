#include "platform/xpc/launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/system/paths.h"
#include "platform/xpc/connection.h"

extern char** environ;

namespace platform::xpc {

struct Launcher::Service {
  LaunchRecord record;
  std::vector<int> fds;
  std::vector<std::string> paths;
  std::vector<std::shared_ptr<dispatch::Source>> watchers;
  std::shared_ptr<dispatch::Source> exitSource;
  bool watching = false;
  pid_t pid = -1;
  std::chrono::steady_clock::time_point startedAt;
};

struct Launcher::Impl : std::enable_shared_from_this<Launcher::Impl> {
  dispatch::QueuePtr queue;
  std::mutex mutex;
  std::vector<std::shared_ptr<Service>> services;
  std::function<void(const std::string&, pid_t, int)> observer;
  bool stopped = false;

  void watch(const std::shared_ptr<Service>& s) {
    if (s->watching || stopped) return;
    s->watching = true;
    for (auto& w : s->watchers) w->resume();
  }

  void unwatch(const std::shared_ptr<Service>& s) {
    if (!s->watching) return;
    s->watching = false;
    for (auto& w : s->watchers) w->suspend();
  }

  // Builds everything before fork: the child only calls async-signal-safe functions.
  pid_t spawn(const std::shared_ptr<Service>& s) {
    const LaunchRecord& r = s->record;
    std::vector<std::string> args = r.programArguments;
    if (args.empty()) args.push_back(r.program);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string fdsVar = "LISTEN_FDS=" + std::to_string(s->fds.size());
    char pidVar[32] = "LISTEN_PID=";
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e) {
      if (std::strncmp(*e, "LISTEN_", 7) != 0) envp.push_back(*e);
    }
    envp.push_back(fdsVar.data());
    envp.push_back(pidVar);
    envp.push_back(nullptr);
    const std::vector<int> fds = s->fds;
    const int n = static_cast<int>(fds.size());
    const char* program = r.program.c_str();

    pid_t pid = ::fork();
    if (pid != 0) return pid;
    // Child.
    int high[16];
    for (int i = 0; i < n && i < 16; ++i) high[i] = ::fcntl(fds[i], F_DUPFD, 3 + n);
    for (int i = 0; i < n && i < 16; ++i) {
      ::dup2(high[i], 3 + i);  // dup2 clears close-on-exec
      ::close(high[i]);
      int fl = ::fcntl(3 + i, F_GETFL);
      ::fcntl(3 + i, F_SETFL, fl & ~O_NONBLOCK);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig) {
      if (sig != SIGKILL && sig != SIGSTOP) ::signal(sig, SIG_DFL);
    }
    // LISTEN_PID is this process's own id.
    char digits[16];
    int len = 0;
    for (long v = ::getpid(); v > 0 && len < 15; v /= 10)
      digits[len++] = static_cast<char>('0' + v % 10);
    int at = static_cast<int>(std::strlen("LISTEN_PID="));
    while (len > 0 && at < 31) pidVar[at++] = digits[--len];
    pidVar[at] = 0;
    ::execve(program, argv.data(), envp.data());
    ::_exit(127);
  }

  void launch(const std::shared_ptr<Service>& s) {
    if (s->pid > 0 || stopped) return;
    unwatch(s);
    pid_t pid = spawn(s);
    if (observer) observer(s->record.label, pid, 0);
    if (pid < 0) {
      std::fprintf(stderr, "launcher: cannot start %s: %s\n", s->record.program.c_str(),
                   std::strerror(errno));
      rewatchLater(s);
      return;
    }
    s->pid = pid;
    s->startedAt = std::chrono::steady_clock::now();
    s->exitSource = dispatch::Source::processExit(pid, queue);
    std::weak_ptr<Impl> weak = weak_from_this();
    auto src = s->exitSource;
    std::weak_ptr<Service> ws = s;
    src->setEventHandler([weak, ws, src] {
      auto self = weak.lock();
      auto service = ws.lock();
      int status = static_cast<int>(src->data());
      src->cancel();
      if (!self || !service) return;
      service->pid = -1;
      service->exitSource.reset();
      if (self->observer) self->observer(service->record.label, -1, status);
      self->rewatchLater(service);
    });
    src->resume();
  }

  void rewatchLater(const std::shared_ptr<Service>& s) {
    auto elapsed = std::chrono::steady_clock::now() - s->startedAt;
    std::weak_ptr<Impl> weak = weak_from_this();
    std::weak_ptr<Service> ws = s;
    auto again = [weak, ws] {
      auto self = weak.lock();
      auto service = ws.lock();
      if (self && service && service->pid < 0) self->watch(service);
    };
    if (elapsed < std::chrono::seconds(1)) {
      queue->after(
          std::chrono::duration_cast<dispatch::Duration>(std::chrono::seconds(1) - elapsed), again);
    } else {
      again();
    }
  }
};

Launcher::Launcher(dispatch::QueuePtr queue) : impl_(std::make_shared<Impl>()) {
  impl_->queue = queue ? queue : dispatch::Queue::createSerial("varnel.launcher");
}

Launcher::~Launcher() { stop(); }

void Launcher::setObserver(std::function<void(const std::string&, pid_t, int)> observer) {
  auto impl = impl_;
  impl->queue->sync([&] { impl->observer = std::move(observer); });
}

bool Launcher::addRecord(const LaunchRecord& record, Error* error) {
  auto s = std::make_shared<Service>();
  s->record = record;
  paths::createDirectories(paths::runtime(), 0755);
  for (const auto& name : record.machServices) {
    std::string path = socketPathForService(name);
    int fd = path.empty() ? -1 : bindServiceSocket(path, error);
    if (fd < 0) {
      if (path.empty() && error) *error = Error::posix(ENAMETOOLONG, name);
      for (std::size_t i = 0; i < s->fds.size(); ++i) {
        ::unlink(s->paths[i].c_str());
        ::close(s->fds[i]);
      }
      return false;
    }
    s->fds.push_back(fd);
    s->paths.push_back(path);
  }
  if (s->fds.empty() || s->fds.size() > 16) {
    if (error) *error = Error::posix(EINVAL, record.label);
    for (std::size_t i = 0; i < s->fds.size(); ++i) {
      ::unlink(s->paths[i].c_str());
      ::close(s->fds[i]);
    }
    return false;
  }
  std::weak_ptr<Impl> weak = impl_;
  std::weak_ptr<Service> ws = s;
  for (int fd : s->fds) {
    auto w = dispatch::Source::read(fd, impl_->queue);
    w->setEventHandler([weak, ws] {
      auto self = weak.lock();
      auto service = ws.lock();
      if (self && service) self->launch(service);
    });
    w->setCancelHandler([fd] { ::close(fd); });
    s->watchers.push_back(w);
  }
  auto impl = impl_;
  impl->queue->sync([&] {
    impl->services.push_back(s);
    impl->watch(s);
  });
  return true;
}

int Launcher::addRecords(const std::string& directory) {
  int added = 0;
  for (const auto& r : readLaunchRecords(directory)) {
    Error e;
    if (addRecord(r, &e)) {
      ++added;
    } else {
      std::fprintf(stderr, "launcher: %s: %s\n", r.label.c_str(), e.localizedDescription().c_str());
    }
  }
  return added;
}

void Launcher::stop() {
  auto impl = impl_;
  impl->queue->sync([impl] {
    if (impl->stopped) return;
    impl->stopped = true;
    for (auto& s : impl->services) {
      for (auto& w : s->watchers) {
        w->cancel();
        if (!s->watching) w->resume();
      }
      s->watching = false;
      for (const auto& path : s->paths) ::unlink(path.c_str());
      if (s->exitSource) s->exitSource->cancel();
    }
    impl->services.clear();
  });
}

}  // namespace platform::xpc
