#include "client/core/server_model.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <vector>

#include "ipc/dispatch_task.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/date.h"
#include "platform/foundation/exception.h"
#include "platform/system/bundle.h"
#include "platform/system/notification_center.h"

extern char** environ;

namespace client {

using platform::Value;

namespace {

std::mutex gToolsMutex;
ServerModel::ToolPaths& toolSlot() {
  static ServerModel::ToolPaths paths;
  return paths;
}

// The size of the test file, in kilobytes, the speed formula divides.
constexpr double kSpeedTestKilobytes = 16785.0;

// Output of one ping run, gathered line by line on the main queue.
struct PingRun {
  std::string pending;  // main queue only
  std::atomic<bool> done{false};
};

}  // namespace

ServerModel::ToolPaths ServerModel::toolPaths() {
  std::lock_guard<std::mutex> lock(gToolsMutex);
  return toolSlot();
}

void ServerModel::setToolPaths(ToolPaths paths) {
  std::lock_guard<std::mutex> lock(gToolsMutex);
  toolSlot() = std::move(paths);
}

ServerModel::Ptr ServerModel::create() { return Ptr(new ServerModel()); }

#define VR_STRING_ACCESSORS(Name, field)      \
  std::string ServerModel::Name() const {     \
    std::lock_guard<std::mutex> lock(mutex_); \
    return field;                             \
  }
VR_STRING_ACCESSORS(serverName, serverName_)
VR_STRING_ACCESSORS(cityName, cityName_)
VR_STRING_ACCESSORS(countryName, countryName_)
VR_STRING_ACCESSORS(networkName, networkName_)
VR_STRING_ACCESSORS(type, type_)
#undef VR_STRING_ACCESSORS

void ServerModel::setServerName(std::string v) {
  std::lock_guard<std::mutex> lock(mutex_);
  serverName_ = std::move(v);
}
void ServerModel::setCityName(std::string v) {
  std::lock_guard<std::mutex> lock(mutex_);
  cityName_ = std::move(v);
}
void ServerModel::setCountryName(std::string v) {
  std::lock_guard<std::mutex> lock(mutex_);
  countryName_ = std::move(v);
}
void ServerModel::setNetworkName(std::string v) {
  std::lock_guard<std::mutex> lock(mutex_);
  networkName_ = std::move(v);
}
void ServerModel::setType(std::string v) {
  std::lock_guard<std::mutex> lock(mutex_);
  type_ = std::move(v);
}

std::optional<long> ServerModel::ping() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ping_;
}

std::optional<long> ServerModel::speed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return speed_;
}

std::string ServerModel::testHostName() const {
  const std::string domain = toolPaths().speedTestDomain;
  const std::string name = serverName();
  return domain.empty() ? name : name + "." + domain;
}

std::optional<long> ServerModel::parsePingSummary(std::string_view text) {
  const auto marker = text.find("min/avg/max");
  if (marker == std::string_view::npos) return std::nullopt;
  const auto eq = text.find(" = ", marker);
  if (eq == std::string_view::npos) return std::nullopt;
  std::string_view values = text.substr(eq + 3);
  const auto slash = values.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  values.remove_prefix(slash + 1);
  const auto end = values.find('/');
  const std::string average(values.substr(0, end));
  if (average.empty()) return std::nullopt;
  char* stop = nullptr;
  errno = 0;
  const double v = std::strtod(average.c_str(), &stop);
  if (stop == average.c_str() || errno != 0 || !std::isfinite(v) || v < 0) return std::nullopt;
  return static_cast<long>(v);
}

long ServerModel::speedForDuration(double seconds) {
  if (!(seconds >= 0.001)) seconds = 0.001;
  return static_cast<long>(kSpeedTestKilobytes / seconds);
}

void ServerModel::performSpeedTest() {
  testPerformed_ = true;
  isTesting_ = true;
  isPinging_ = true;
  startPing();
  startDownload();
}

void ServerModel::finishPing(std::optional<long> result) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (result) ping_ = result;
  }
  isPinging_ = false;
  platform::NotificationCenter::defaultCenter().postOnMainThread(kPingCompletedNotification,
                                                                 shared_from_this());
}

void ServerModel::finishDownload(std::optional<long> result) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (result) speed_ = result;
  }
  isTesting_ = false;
  platform::NotificationCenter::defaultCenter().postOnMainThread(kTestCompletedNotification,
                                                                 shared_from_this());
}

void ServerModel::startPing() {
  auto self = shared_from_this();
  auto task = ipc::DispatchTask::create();
  task->setLaunchPath(toolPaths().ping);
  task->setArguments(Value::array({Value("-c"), Value("4"), Value(testHostName())}));
  auto run = std::make_shared<PingRun>();
  // Output chunks arrive on the main queue; a summary line may be split
  // across chunks, so lines are gathered first.
  auto output = [self, run](const platform::Bytes& chunk) {
    if (run->done) return;
    run->pending.append(chunk.begin(), chunk.end());
    std::size_t newline;
    while ((newline = run->pending.find('\n')) != std::string::npos) {
      const std::string line = run->pending.substr(0, newline);
      run->pending.erase(0, newline + 1);
      if (auto average = parsePingSummary(line)) {
        run->done = true;
        self->finishPing(average);
        return;
      }
    }
  };
  // The exit callback runs on the termination queue after every chunk was
  // handed to `output`; without a summary the row ends with no result.
  auto onExit = [self, run] {
    if (run->done.exchange(true)) {
      --self->runningTools_;
      return;
    }
    platform::dispatch::Queue::main()->async([self, run] {
      self->finishPing(parsePingSummary(run->pending));
      --self->runningTools_;
    });
  };
  ++runningTools_;
  try {
    task->launchWithOutputBlock(output, nullptr, nullptr, onExit);
  } catch (const platform::Exception&) {
    finishPing(std::nullopt);
    --runningTools_;
  }
}

void ServerModel::startDownload() {
  auto self = shared_from_this();
  auto task = ipc::DispatchTask::create();
  task->setLaunchPath(toolPaths().curl);
  const std::string url = "http://" + testHostName() + "/speedtesting.zip";
  task->setArguments(Value::array(
      {Value("--silent"), Value("--fail"), Value("--output"), Value("/dev/null"), Value(url)}));
  const platform::Date start = platform::Date::now();
  // The exit callback needs the task for the exit status; every copy of the
  // callback shares this holder, which the callback empties, so the task
  // and its callbacks do not keep each other alive.
  auto holder = std::make_shared<std::shared_ptr<ipc::DispatchTask>>(task);
  auto onExit = [self, start, holder] {
    const double seconds = platform::Date::now().timeIntervalSince(start);
    const int status = *holder ? (*holder)->terminationStatus() : -1;
    holder->reset();
    std::optional<long> result;
    if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      result = speedForDuration(seconds);
    }
    self->finishDownload(result);
    --self->runningTools_;
  };
  ++runningTools_;
  try {
    task->launchWithOutputBlock(nullptr, nullptr, nullptr, onExit);
  } catch (const platform::Exception&) {
    holder->reset();
    finishDownload(std::nullopt);
    --runningTools_;
  }
}

std::optional<std::string> ServerModel::runSpeedScript() {
  const std::string script = platform::Bundle::main()->pathForResource("VarnelSpeed", "py");
  const std::string python = toolPaths().python;
  if (script.empty() || ::access(python.c_str(), X_OK) != 0) return std::nullopt;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  const std::string name = serverName();
  std::vector<std::string> args = {python, script, name, "8"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, python.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    return std::nullopt;
  }
  std::string out;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return out;
  return std::nullopt;
}

}  // namespace client
