#include "client/core/server_model.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <initializer_list>
#include <string_view>
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

// The size of the test file, in kilobytes, the speed formula divides.
constexpr double kSpeedTestKilobytes = 16785.0;

// Output of one ping run, gathered line by line on the main queue.
struct PingRun {
  std::string pending;  // main queue only
  std::string output;   // main queue only: everything the tool wrote
  std::atomic<bool> done{false};
};

bool containsAny(std::string_view text, std::initializer_list<std::string_view> needles) {
  for (std::string_view n : needles) {
    if (text.find(n) != std::string_view::npos) return true;
  }
  return false;
}

}  // namespace

ServerModel::Ptr ServerModel::create() { return create(ToolPaths()); }

ServerModel::Ptr ServerModel::create(ToolPaths tools) {
  return Ptr(new ServerModel(std::move(tools)));
}

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

std::string ServerModel::pingFailure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pingFailure_;
}

std::string ServerModel::speedFailure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return speedFailure_;
}

std::string ServerModel::pingFailureReason(std::string_view output, int status) {
  if (containsAny(output, {"unknown host", "Name or service not known", "not known",
                           "Temporary failure in name resolution", "No address associated",
                           "cannot resolve"})) {
    return "unknown host";
  }
  if (containsAny(output, {"Operation not permitted", "Permission denied"})) {
    return "ping is not permitted";
  }
  if (containsAny(output, {"Network is unreachable", "No route to host"})) {
    return "network unreachable";
  }
  if (containsAny(output, {"100% packet loss", " 0 received", " 0 packets received"})) {
    return "no reply";
  }
  if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 1) return "no reply";
  if (status != -1 && WIFSIGNALED(status)) return "ping was stopped";
  return "ping failed";
}

std::string ServerModel::downloadFailureReason(int status, std::string_view errors) {
  if (status == -1 || WIFSIGNALED(status) || !WIFEXITED(status)) return "download was stopped";
  const int code = WEXITSTATUS(status);
  if (containsAny(errors, {"Connection refused"})) return "connection refused";
  if (containsAny(errors, {"No route to host", "Network is unreachable"})) {
    return "network unreachable";
  }
  switch (code) {
    case 6:
      return "unknown host";
    case 7:
      return "could not connect";
    case 22: {
      // "The requested URL returned error: 404"
      const auto at = errors.find("error: ");
      if (at != std::string_view::npos) {
        std::string_view rest = errors.substr(at + 7);
        std::size_t n = 0;
        while (n < rest.size() && n < 3 && rest[n] >= '0' && rest[n] <= '9') ++n;
        if (n == 3) return "server answered " + std::string(rest.substr(0, 3));
      }
      return "server answered with an error";
    }
    case 28:
      return "timed out";
    case 52:
      return "empty reply";
    case 56:
      return "connection reset";
    default:
      return "download failed (curl error " + std::to_string(code) + ")";
  }
}

std::string ServerModel::testHostName() const {
  const std::string domain = tools_.speedTestDomain;
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
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pingFailure_.clear();
    speedFailure_.clear();
  }
  testPerformed_ = true;
  isTesting_ = true;
  isPinging_ = true;
  startPing();
  startDownload();
}

void ServerModel::finishPing(std::optional<long> result, std::string failure) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (result) ping_ = result;
    pingFailure_ = result ? std::string() : std::move(failure);
  }
  isPinging_ = false;
  platform::NotificationCenter::defaultCenter().postOnMainThread(kPingCompletedNotification,
                                                                 shared_from_this());
}

void ServerModel::finishDownload(std::optional<long> result, std::string failure) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (result) speed_ = result;
    speedFailure_ = result ? std::string() : std::move(failure);
  }
  isTesting_ = false;
  platform::NotificationCenter::defaultCenter().postOnMainThread(kTestCompletedNotification,
                                                                 shared_from_this());
}

void ServerModel::startPing() {
  auto self = shared_from_this();
  auto task = ipc::DispatchTask::create();
  task->setLaunchPath(tools_.ping);
  task->setArguments(Value::array({Value("-c"), Value("4"), Value(testHostName())}));
  auto run = std::make_shared<PingRun>();
  // Output chunks arrive on the main queue; a summary line may be split
  // across chunks, so lines are gathered first.
  auto output = [self, run](const platform::Bytes& chunk) {
    run->output.append(chunk.begin(), chunk.end());
    if (run->done) return;
    run->pending.append(chunk.begin(), chunk.end());
    std::size_t newline;
    while ((newline = run->pending.find('\n')) != std::string::npos) {
      const std::string line = run->pending.substr(0, newline);
      run->pending.erase(0, newline + 1);
      if (auto average = parsePingSummary(line)) {
        run->done = true;
        self->finishPing(average, {});
        return;
      }
    }
  };
  // Errors ("unknown host") tell why there was no summary.
  auto errors = [run](const platform::Bytes& chunk) {
    run->output.append(chunk.begin(), chunk.end());
  };
  // The exit callback needs the task for the exit status (see the download).
  auto holder = std::make_shared<std::shared_ptr<ipc::DispatchTask>>(task);
  // The exit callback runs on the termination queue after every chunk was
  // handed to `output`; without a summary the row ends with no result.
  auto onExit = [self, run, holder] {
    const int status = *holder ? (*holder)->terminationStatus() : -1;
    holder->reset();
    if (run->done.exchange(true)) {
      --self->runningTools_;
      return;
    }
    platform::dispatch::Queue::main()->async([self, run, status] {
      auto average = parsePingSummary(run->pending);
      self->finishPing(average, average ? std::string() : pingFailureReason(run->output, status));
      --self->runningTools_;
    });
  };
  ++runningTools_;
  try {
    task->launchWithOutputBlock(output, errors, nullptr, onExit);
  } catch (const platform::Exception&) {
    holder->reset();
    finishPing(std::nullopt, "ping is not installed");
    --runningTools_;
  }
}

void ServerModel::startDownload() {
  auto self = shared_from_this();
  auto task = ipc::DispatchTask::create();
  task->setLaunchPath(tools_.curl);
  const std::string url = "http://" + testHostName() + "/speedtesting.zip";
  task->setArguments(
      Value::array({Value("--silent"), Value("--show-error"), Value("--fail"),
                    Value("--connect-timeout"), Value("10"), Value("--max-time"), Value("60"),
                    Value("--output"), Value("/dev/null"), Value(url)}));
  const platform::Date start = platform::Date::now();
  // The exit callback needs the task for the exit status; every copy of the
  // callback shares this holder, which the callback empties, so the task
  // and its callbacks do not keep each other alive.
  auto holder = std::make_shared<std::shared_ptr<ipc::DispatchTask>>(task);
  // curl's error text, gathered on the main queue.
  auto errors = std::make_shared<std::string>();
  auto onError = [errors](const platform::Bytes& chunk) {
    errors->append(chunk.begin(), chunk.end());
  };
  auto onExit = [self, start, holder, errors] {
    const double seconds = platform::Date::now().timeIntervalSince(start);
    const int status = *holder ? (*holder)->terminationStatus() : -1;
    holder->reset();
    // On the main queue, behind the last error chunk.
    platform::dispatch::Queue::main()->async([self, seconds, status, errors] {
      std::optional<long> result;
      std::string failure;
      if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        result = speedForDuration(seconds);
      } else {
        failure = downloadFailureReason(status, *errors);
      }
      self->finishDownload(result, std::move(failure));
      --self->runningTools_;
    });
  };
  ++runningTools_;
  try {
    task->launchWithOutputBlock(nullptr, onError, nullptr, onExit);
  } catch (const platform::Exception&) {
    holder->reset();
    finishDownload(std::nullopt, "curl is not installed");
    --runningTools_;
  }
}

std::optional<std::string> ServerModel::runSpeedScript() {
  const std::string script = platform::Bundle::main()->pathForResource("VarnelSpeed", "py");
  const std::string python = tools_.python;
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
