// Analytics against the real local SDK service (varnel-sdk-service, over
// HTTPS on loopback), from a program linked with the SDK: this test binary,
// started again as a child process that registers the analytics kit with an
// information property list naming the service (as the installed client's
// does), takes its settings from it and sends its events there.
//
// A relay of the test's own sits between the program and the service (the
// service advertises the relay's address), so that the service can be made
// unreachable and reachable again at the same address within one session:
// while the relay is closed, connections are refused as they are by a
// service that is down.
//
// Cases: the service down for part of a session, then up (every event
// arrives once); a redirect of the events upload to plain http (nothing
// reaches the plain listener, the events stay and arrive later); 200
// uploads (the program's descriptors stay flat); a leftover log with a
// damaged line (the other events arrive).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/runloop/run_loop.h"
#include "platform/system/bundle.h"
#include "platform/system/file_util.h"
#include "sdk/analytics/tally.h"
#include "sdk/analytics/tly_logger.h"
#include "sdk/analytics/tly_settings.h"
#include "sdk/analytics/tly_tally_controller.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/beacon.h"
#include "sdk/platform/ctr_user_defaults.h"
#include "support/http_test_server.h"
#include "support/temp_root.h"
#include "support/wait.h"
#include "tally_test_support.h"

extern char** environ;

namespace sdk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kRoleVariable = "VARNEL_ANALYTICS_SERVICE_ROLE";
constexpr const char* kBaseVariable = "VARNEL_ANALYTICS_SERVICE_BASE";
constexpr const char* kCAVariable = "VARNEL_ANALYTICS_SERVICE_CA";
constexpr const char* kSyncVariable = "VARNEL_ANALYTICS_SERVICE_SYNC";
constexpr const char* kBundleIdentifier = "com.varnel.analytics-service-test";
// The service's default API key.
constexpr const char* kAPIKey = "0123456789abcdef0123456789abcdef01234567";

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

void touch(const std::string& path) {
  std::ofstream out(path);
  out << "1";
}

// The program's information property list: its API key and the service.
platform::BundlePtr hostBundle(const std::string& base, const std::string& ca) {
  auto info = platform::Value::mutableDictionary();
  info.set("CFBundleIdentifier", platform::Value(kBundleIdentifier));
  info.set("CFBundleName", platform::Value("Analytics Service Test"));
  info.set("CFBundleVersion", platform::Value("3"));
  info.set("CFBundleShortVersionString", platform::Value("0.3"));
  info.set("Beacon",
           platform::Value::dictionary({{"APIKey", kAPIKey}, {"Kits", platform::Value::array()}}));
  info.set("Crashtrail", platform::Value::dictionary({{"SettingsEndpoint", base},
                                                      {"ConfigureEndpoint", base},
                                                      {"ReportsEndpoint", base},
                                                      {"BetaEndpoint", base},
                                                      {"LocalServiceCertificateAuthority", ca}}));
  return std::make_shared<platform::Bundle>("/proc/self/exe", "", std::move(info));
}

// --- the program (child process) ---------------------------------------------------

std::size_t openDescriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// Roles: "session" (events before, while and after the parent takes the
// service away), "uploads" (200 packages, descriptors counted), "redirect"
// (events while the service redirects), "deliver" (what is left is sent).
// Exit codes: 0 done, 2 no kit, 3 no settings, 4 not delivered in time,
// 5 the parent did not answer, 6 the events of the outage were not kept.
TEST(AnalyticsServiceChild, DISABLED_HostProgram) {
  const char* role = std::getenv(kRoleVariable);
  const char* base = std::getenv(kBaseVariable);
  const char* ca = std::getenv(kCAVariable);
  const char* sync = std::getenv(kSyncVariable);
  if (role == nullptr || base == nullptr || ca == nullptr || sync == nullptr) {
    GTEST_SKIP() << "runs only as the test's child";
  }
  const std::string syncDir = sync;
  const platform::BundlePtr bundle = hostBundle(base, ca);
  CTRUserDefaults::resetStandardUserDefaultsForTesting(bundle);
  Beacon::resetSharedSDKForTesting({bundle});
  Tally::resetSharedInstanceForTesting();
  BCNConsoleCapture console;
  Beacon::with({kTallyKitClassName});
  // The retries are counted from the kit's console lines (the kit takes its
  // debug switch from the registry when it starts).
  TLYLogger::sharedLogger().setDebugMode(true);
  auto controller = Tally::sharedInstance()->tallyController();
  if (!controller) ::_exit(2);
  auto runMainUntil = [](const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    return varnel::testing::waitUntilOnMainRunLoop(done, timeout);
  };
  auto settled = [&] {
    bool valid = false;
    controller->runOnEventQueue([&] { valid = controller->settings()->valid(); });
    return valid;
  };
  if (!runMainUntil(settled, 20s)) ::_exit(3);
  const std::string events = TLYTallyController::rootDirectory(bundle) + "/events";
  // Everything recorded has left the disk: no log, compressed log or package.
  auto delivered = [&] {
    if (controller->eventQueue()->operationCount() != 0) return false;
    return tally_test::filesIn(events).empty();
  };
  auto log = [](const std::string& name) {
    Tally::logCustomEventWithName(name, platform::Value());
  };
  // Everything recorded is packaged and each package has met the service's
  // refusal once (a retry is scheduled for it).
  auto allTriedAndWaiting = [&] {
    if (controller->eventQueue()->operationCount() != 0) return false;
    if (!tally_test::filesIn(events, "log").empty() || !tally_test::filesIn(events, "gz").empty())
      return false;
    const std::size_t packages = tally_test::filesIn(events, "multipartmime").size();
    return packages > 0 && console.count("Scheduling retry for '") >= packages;
  };
  // The custom events in the packages waiting on disk.
  auto waitingCustomEvents = [&] {
    std::vector<std::string> names;
    for (const auto& path : tally_test::filesIn(events, "multipartmime")) {
      auto bytes = platform::files::readFile(path);
      if (!bytes) continue;
      auto text = tally_test::logInPackage(*bytes, tally_test::baseName(path));
      if (!text) continue;
      for (const auto& line : tally_test::parseLog(*text)) {
        if (line.name == "custom") names.push_back(line.payload["custom_type"].asString());
      }
    }
    std::sort(names.begin(), names.end());
    return names;
  };
  auto waitForParent = [&](const char* file) {
    if (!runMainUntil([&] { return exists(syncDir + "/" + file); }, 30s)) ::_exit(5);
  };
  const std::string mode = role;

  if (mode == "session") {
    for (int i = 0; i < 10; ++i) log("up-before-" + std::to_string(i));
    if (!runMainUntil(delivered, 30s)) ::_exit(4);
    touch(syncDir + "/before-sent");
    waitForParent("service-down");
    console.clear();
    for (int i = 0; i < 20; ++i) log("down-" + std::to_string(i));
    // Every package of them met the closed door and waits.
    if (!runMainUntil(allTriedAndWaiting, 30s)) ::_exit(4);
    if (waitingCustomEvents().size() != 20) ::_exit(6);
    touch(syncDir + "/down-tried");
    waitForParent("service-up");
    for (int i = 0; i < 10; ++i) log("up-after-" + std::to_string(i));
    ::_exit(runMainUntil(delivered, 40s) ? 0 : 4);
  }
  if (mode == "uploads") {
    for (int i = 0; i < 10; ++i) log("warm-" + std::to_string(i));
    if (!runMainUntil(delivered, 30s)) ::_exit(4);
    const std::size_t before = openDescriptors();
    for (int i = 0; i < 200; ++i) {
      log("upload-" + std::to_string(i));
      // Each event travels in a package of its own (the service's settings
      // make every log full at once): the uploads go in rounds of ten, each
      // delivered before the next round starts.
      if (i % 10 == 9 && !runMainUntil(delivered, 30s)) ::_exit(4);
    }
    if (!runMainUntil(delivered, 30s)) ::_exit(4);
    const std::size_t after = openDescriptors();
    std::ofstream(syncDir + "/descriptors") << before << " " << after << "\n";
    ::_exit(0);
  }
  if (mode == "redirect") {
    console.clear();
    for (int i = 0; i < 5; ++i) log("redirected-" + std::to_string(i));
    if (!runMainUntil(allTriedAndWaiting, 30s)) ::_exit(4);
    {
      std::ofstream kept(syncDir + "/kept");
      for (const auto& name : waitingCustomEvents()) kept << name << "\n";
    }
    ::_exit(0);
  }
  // "deliver"
  ::_exit(runMainUntil(delivered, 40s) ? 0 : 4);
}

// --- the parent's parts --------------------------------------------------------------

// A TCP relay on 127.0.0.1 to the service. close() stops listening and cuts
// every connection, so that clients are refused; open() listens again on
// the same port.
class LoopbackRelay {
 public:
  LoopbackRelay() { open(); }
  ~LoopbackRelay() { close(); }
  LoopbackRelay(const LoopbackRelay&) = delete;
  LoopbackRelay& operator=(const LoopbackRelay&) = delete;

  int port() const { return port_; }
  std::string url() const { return "https://127.0.0.1:" + std::to_string(port_); }
  void setUpstreamPort(int port) { upstream_ = port; }

  bool open() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port_));
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 128) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ::close(fd);
      return false;
    }
    port_ = ntohs(address.sin_port);
    listenFd_ = fd;
    acceptThread_ = std::thread([this, fd] { acceptLoop(fd); });
    return true;
  }

  void close() {
    if (listenFd_ < 0) return;
    {
      std::lock_guard lock(mutex_);
      ::shutdown(listenFd_, SHUT_RDWR);
      for (int fd : live_) ::shutdown(fd, SHUT_RDWR);
    }
    acceptThread_.join();
    ::close(listenFd_);
    listenFd_ = -1;
    for (auto& worker : workers_) worker.join();
    workers_.clear();
  }

 private:
  void acceptLoop(int listenFd) {
    for (;;) {
      const int client = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) {
        if (errno == EINTR) continue;
        return;
      }
      std::lock_guard lock(mutex_);
      live_.insert(client);
      workers_.emplace_back([this, client] { relay(client); });
    }
  }

  void relay(int client) {
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(upstream_.load()));
    {
      std::lock_guard lock(mutex_);
      live_.insert(server);
    }
    if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      char buffer[16384];
      bool open = true;
      while (open && ::poll(fds, 2, -1) >= 0) {
        for (int i = 0; i < 2 && open; ++i) {
          if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
          const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
          if (n <= 0) {
            open = false;
            break;
          }
          for (ssize_t sent = 0; sent < n;) {
            const ssize_t w = ::send(fds[1 - i].fd, buffer + sent, n - sent, MSG_NOSIGNAL);
            if (w <= 0) {
              open = false;
              break;
            }
            sent += w;
          }
        }
      }
    }
    std::lock_guard lock(mutex_);
    live_.erase(client);
    live_.erase(server);
    ::close(client);
    ::close(server);
  }

  int port_ = 0;
  int listenFd_ = -1;
  std::atomic<int> upstream_{0};
  std::thread acceptThread_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::set<int> live_;
};

pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv,
            const std::string& outputPath) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  std::vector<std::string> argsCopy = args;
  std::vector<char*> argv, envp;
  for (auto& a : argsCopy) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = -1;
  const int rc =
      ::posix_spawn(&pid, argsCopy[0].c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

int waitFor(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

std::string describe(int status) {
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

class AnalyticsServiceTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
#if !defined(VARNEL_SDK_SERVICE)
    GTEST_SKIP() << "the SDK service is not built";
#else
    data_ = root().file("service");
    sync_ = root().file("sync");
    fs::create_directories(sync_);
    relay_ = std::make_unique<LoopbackRelay>();
    ASSERT_GT(relay_->port(), 0);
    const std::string urlFile = root().file("service-url");
    service_ = spawn({VARNEL_SDK_SERVICE, "--data", data_, "--url-file", urlFile,
                      "--flush-interval", "0.5", "--advertise", relay_->url()},
                     {}, root().file("service.log"));
    ASSERT_GT(service_, 0);
    std::string url;
    ASSERT_TRUE(varnel::testing::waitUntil(
        [&] {
          url = platform::files::readFile(urlFile).value_or("");
          return !url.empty() && url.back() == '\n';
        },
        20s))
        << "the service did not start: " << serviceLog();
    const auto colon = url.rfind(':');
    relay_->setUpstreamPort(std::stoi(url.substr(colon + 1)));
#endif
  }

  void TearDown() override {
    if (service_ > 0) {
      ::kill(service_, SIGTERM);
      waitFor(service_);
    }
    relay_.reset();
  }

  std::string serviceLog() {
    return platform::files::readFile(root().file("service.log")).value_or("");
  }
  std::string childLog() {
    return platform::files::readFile(root().file("child.log")).value_or("");
  }

  pid_t startProgram(const std::string& role) {
    return spawn(
        {"/proc/self/exe", "--gtest_filter=AnalyticsServiceChild.DISABLED_HostProgram",
         "--gtest_also_run_disabled_tests"},
        {std::string(kRoleVariable) + "=" + role, std::string(kBaseVariable) + "=" + relay_->url(),
         std::string(kCAVariable) + "=" + data_ + "/ca.pem",
         std::string(kSyncVariable) + "=" + sync_},
        root().file("child.log"));
  }
  int runProgram(const std::string& role) {
    const pid_t pid = startProgram(role);
    return pid > 0 ? waitFor(pid) : -1;
  }

  // Every custom event the service stored, by name, with its count.
  std::map<std::string, int> receivedCustomEvents() const {
    std::map<std::string, int> received;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(data_ + "/events", ec)) {
      auto text = platform::files::readFile(entry.path().string());
      if (!text) continue;
      for (const auto& line : tally_test::parseLog(*text)) {
        if (line.name == "custom") ++received[line.payload["custom_type"].asString()];
      }
    }
    return received;
  }
  std::size_t receivedEvents() const {
    std::size_t count = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(data_ + "/events", ec)) {
      auto text = platform::files::readFile(entry.path().string());
      if (!text) continue;
      for (const auto& line : tally_test::parseLog(*text)) count += line.name != "metadata";
    }
    return count;
  }
  std::string rejected() const {
    return platform::files::readFile(data_ + "/rejected.log").value_or("");
  }
  bool waitForSync(const char* file) {
    return varnel::testing::waitUntil([&] { return exists(sync_ + "/" + file); }, 40s);
  }

  std::string data_;
  std::string sync_;
  std::unique_ptr<LoopbackRelay> relay_;
  pid_t service_ = -1;
};

// The service goes away in the middle of a session and comes back: the
// events recorded meanwhile wait and arrive once, with all the others.
TEST_F(AnalyticsServiceTest, TheServiceDownForPartOfASessionThenUpGetsEveryEventOnce) {
  const pid_t program = startProgram("session");
  ASSERT_GT(program, 0);
  ASSERT_TRUE(waitForSync("before-sent")) << childLog();
  relay_->close();
  touch(sync_ + "/service-down");
  ASSERT_TRUE(waitForSync("down-tried")) << childLog();
  const std::size_t whileDown = receivedCustomEvents().size();
  ASSERT_TRUE(relay_->open());
  touch(sync_ + "/service-up");
  const int status = waitFor(program);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describe(status) << "\n"
                                                             << childLog() << serviceLog();

  std::map<std::string, int> expected;
  for (int i = 0; i < 10; ++i) expected["up-before-" + std::to_string(i)] = 1;
  for (int i = 0; i < 20; ++i) expected["down-" + std::to_string(i)] = 1;
  for (int i = 0; i < 10; ++i) expected["up-after-" + std::to_string(i)] = 1;
  EXPECT_EQ(whileDown, 10u) << "only the events before the outage arrived while it lasted";
  EXPECT_EQ(receivedCustomEvents(), expected);
  EXPECT_EQ(rejected(), "");
  std::printf(
      "custom events sent 40 (20 while the service was down), received %zu; "
      "all events received %zu\n",
      receivedCustomEvents().size(), receivedEvents());
}

// A redirect of the events upload to plain http is refused: nothing reaches
// the plain listener (no credentials, no events), the events stay on disk,
// and once the service takes them they arrive once.
TEST_F(AnalyticsServiceTest, ARedirectToPlainHTTPSendsNothingInClearAndKeepsTheEvents) {
  auto plain = test_support::HTTPTestServer::start();
  plain->setReply("/collect", test_support::HTTPReply::text(200, ""));
  ASSERT_TRUE(platform::files::writeFileAtomically(data_ + "/redirect-events",
                                                   plain->url("/collect"), 0600));
  int status = runProgram("redirect");
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describe(status) << "\n"
                                                             << childLog() << serviceLog();
  EXPECT_EQ(plain->requestCount(), 0u);
  EXPECT_NE(serviceLog().find("redirected POST /spi/v2/events"), std::string::npos);
  EXPECT_EQ(platform::files::readFile(sync_ + "/kept").value_or(""),
            "redirected-0\nredirected-1\nredirected-2\nredirected-3\nredirected-4\n");
  EXPECT_TRUE(receivedCustomEvents().empty());

  fs::remove(data_ + "/redirect-events");
  status = runProgram("deliver");
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describe(status) << "\n"
                                                             << childLog() << serviceLog();
  std::map<std::string, int> expected;
  for (int i = 0; i < 5; ++i) expected["redirected-" + std::to_string(i)] = 1;
  EXPECT_EQ(receivedCustomEvents(), expected) << childLog() << serviceLog();
  EXPECT_EQ(plain->requestCount(), 0u);
  EXPECT_EQ(rejected(), "");
}

// 200 uploads, each a package of its own: the program's descriptors grow
// by no more than the connections the cache keeps for reuse.
TEST_F(AnalyticsServiceTest, TwoHundredUploadsKeepTheDescriptorsFlat) {
  const int status = runProgram("uploads");
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describe(status) << "\n"
                                                             << childLog() << serviceLog();
  std::size_t before = 0, after = 0;
  std::ifstream(sync_ + "/descriptors") >> before >> after;
  ASSERT_GT(before, 0u);
  // The uploads of a round may run at once, each on a connection of its
  // own, and the connection cache keeps those for reuse: at most ten more
  // descriptors than before. A leak of even one descriptor per round would
  // add twenty.
  EXPECT_LE(after, before + 10) << "descriptors before " << before << ", after " << after;
  const auto received = receivedCustomEvents();
  int uploads = 0;
  for (const auto& [name, count] : received) {
    if (name.rfind("upload-", 0) == 0) {
      ++uploads;
      EXPECT_EQ(count, 1) << name;
    }
  }
  EXPECT_EQ(uploads, 200);
  EXPECT_EQ(rejected(), "");
  std::printf("descriptors before %zu, after 200 uploads %zu\n", before, after);
}

// A log an earlier launch left with a damaged line (its length is wrong) and
// a last line cut short: the intact events arrive, the service refuses
// nothing.
TEST_F(AnalyticsServiceTest, ADamagedLogLineLeavesTheOtherEventsDelivered) {
  const platform::BundlePtr bundle = hostBundle(relay_->url(), data_ + "/ca.pem");
  const std::string events = TLYTallyController::rootDirectory(bundle) + "/events";
  auto custom = [](const char* name) { return std::string("{\"custom_type\":\"") + name + "\"}"; };
  auto line = [](const std::string& name, const std::string& payload) {
    return "1765370000\t" + name + "\t" + std::to_string(payload.size()) + "\t" + payload + "\n";
  };
  std::string leftover = line("metadata", "{\"app\":\"earlier\"}") +
                         line("custom", custom("intact-1")) + "1765370001\tcustom\t9\t" +
                         custom("damaged") + "\n" + line("custom", custom("intact-2"));
  const std::string cut = line("custom", custom("cut"));
  leftover += cut.substr(0, cut.size() / 2);
  ASSERT_TRUE(tally_test::writeFile(events + "/EARLIER.log", leftover));
  const int status = runProgram("deliver");
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describe(status) << "\n"
                                                             << childLog() << serviceLog();
  const auto received = receivedCustomEvents();
  EXPECT_EQ(received.count("intact-1"), 1u);
  EXPECT_EQ(received.count("intact-2"), 1u);
  EXPECT_EQ(received.count("damaged"), 0u);
  EXPECT_EQ(received.count("cut"), 0u);
  EXPECT_EQ(rejected(), "");
}

}  // namespace
}  // namespace sdk
