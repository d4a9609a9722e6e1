// The whole road in one test: inside a network namespace of its own, the
// local account service (HTTPS) serving the demo data, the demo's OpenVPN
// servers (scripts/demo-vpn.sh, with credentials made for the test) and the
// real helper, installed under VARNEL_ROOT by the client's own installation
// code and started on demand by the launcher. The client logs in as the demo
// user, picks the demo's OpenVPN account and its UDP type, connects through
// the helper, reaches Connected, sees the tunnel's address as its visible
// IP, disconnects and reaches Disconnected: what the demo run does.
//
// It needs root, /dev/net/tun, unshare, openssl and openvpn, and skips
// without them. The test re-runs itself under "unshare --net --mount --fork"
// and gives the helper's scripts a private /etc/resolv.conf there.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "client/control/fake_helper_process.h"
#include "client/core/dialer_state.h"

#ifdef VARNEL_MAIN_ROAD
#include "account-service/account_service.h"
#include "client/Singletons/varnel_log.h"
#include "client/core/account_manager.h"
#include "client/core/helper_installer.h"
#include "client/core/xpc_wrapper.h"
#include "platform/security/trust.h"
#include "platform/system/bundle.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "platform/system/user_defaults.h"
#include "platform/xpc/launcher.h"
#include "support/temp_root.h"
#include "support/test_certificates.h"
#include "support/wait.h"
#endif

extern char** environ;

namespace {

// Runs argv, waits, and returns the wait status; output goes to `out`.
int run(const std::vector<std::string>& args, std::string* out = nullptr) {
  int pipefd[2];
  if (::pipe2(pipefd, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
  posix_spawn_file_actions_adddup2(&fa, pipefd[1], 2);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = ::posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  ::close(pipefd[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; rc == 0 && (n = ::read(pipefd[0], buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  ::close(pipefd[0]);
  if (out) *out = text;
  if (rc != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

bool executable(const char* path) { return ::access(path, X_OK) == 0; }

std::string missingRequirement() {
#ifndef VARNEL_MAIN_ROAD
  return "the helper program or the account service is not built";
#else
  if (::geteuid() != 0) return "not root";
  int tun = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (tun < 0) return "no /dev/net/tun";
  ::close(tun);
  for (const char* tool : {"/usr/bin/unshare", "/usr/sbin/openvpn", "/usr/bin/openssl",
                           "/usr/sbin/ip", VARNEL_HELPER_PATH})
    if (!executable(tool)) return std::string("missing ") + tool;
  return {};
#endif
}

#ifdef VARNEL_MAIN_ROAD

std::string readText(const std::string& path) {
  return platform::files::readFile(path).value_or("");
}

// The demo's OpenVPN servers: "credentials", "start" or "stop" in `dir`.
bool demoVPN(const char* command, const std::string& dir, std::string* out = nullptr) {
  return run({"bash", VARNEL_DEMO_VPN_SCRIPT, command, dir}, out) == 0;
}

// Every file the helper wrote to its private folder (logs among them).
std::string helperLogs() {
  std::string out;
  std::error_code ec;
  const std::string folder = platform::paths::systemRoot();
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    const std::string name = it->path().string();
    out += "== " + name + "\n";
    if (name.find("/root/tmp/") != std::string::npos) out += readText(name).substr(0, 4000) + "\n";
  }
  return out;
}

// One request to the helper on a connection of its own; the reply's text.
std::string askHelper(const char* operation) {
  auto connection = ipc::XPCConnection::createWithServiceName("VarnelHelper");
  std::string answer = "(no answer)";
  bool done = false;
  connection->sendMessage(
      ipc::XPCMessage::messageWithObject(ipc::Object(operation), ipc::Object("operation")),
      [&](const ipc::XPCMessage& reply) {
        answer = reply.description();
        done = true;
      },
      [&](const platform::Error& error) {
        answer = error.description();
        done = true;
      });
  varnel::testing::waitUntilOnMainRunLoop([&] { return done; }, std::chrono::milliseconds(5000));
  return answer;
}

class RoadView : public client::DialerView {
 public:
  void setIPAddressText(const std::string& text, double) override { ip = text; }
  std::string ip;
};

void insideTheNamespace() {
  ASSERT_EQ(run({"ip", "link", "set", "lo", "up"}), 0);
  varnel::testing::TempRoot root;
  // The helper's scripts set the name servers: give them a private copy.
  const std::string resolv = root.file("resolv.conf");
  ASSERT_TRUE(platform::files::writeFileAtomically(resolv, "nameserver 127.0.0.1\n", 0644));
  ASSERT_EQ(run({"mount", "--bind", resolv, "/etc/resolv.conf"}), 0)
      << "the private mount namespace is missing";
  platform::UserDefaults::resetStandardUserDefaults();
  // The system's temporary folder, as every system has one.
  ASSERT_TRUE(platform::paths::createDirectories(platform::paths::temporary(), 01777));
  ::chmod(platform::paths::temporary().c_str(), 01777);

  // The demo data with credentials made for this run, and the demo's servers.
  const std::string vpn = root.file("vpn");
  std::string output;
  ASSERT_TRUE(demoVPN("credentials", vpn, &output)) << output;
  platform::Error error;
  platform::Value data = account_service::AccountService::loadDataFile(
      account_service::AccountService::demoDataFilePath(), &error);
  ASSERT_FALSE(data.isNone()) << error.description();
  data = account_service::AccountService::withOpenVPNCredentials(data, vpn, &error);
  ASSERT_FALSE(data.isNone()) << error.description();
  ASSERT_TRUE(platform::files::writeFileAtomically(
      vpn + "/users", account_service::AccountService::openVPNUsers(data), 0600));
  ASSERT_TRUE(demoVPN("start", vpn, &output)) << output;
  struct Stopper {
    std::string dir;
    ~Stopper() { demoVPN("stop", dir); }
  } stopServers{vpn};

  // The account service over HTTPS, trusted through the system root's bundle.
  auto ca = test_support::makeCertificateAuthority("Road Service CA");
  auto leaf = test_support::makeLeafCertificate(ca, "127.0.0.1", {"localhost"}, {"127.0.0.1"});
  ASSERT_TRUE(platform::paths::createDirectories(
      platform::files::parentFolder(platform::security::trustedCABundlePath())));
  ASSERT_TRUE(platform::files::writeFileAtomically(platform::security::trustedCABundlePath(),
                                                   ca.certificatePEM, 0644));
  auto service =
      account_service::AccountService::startTLS(data, leaf.certificatePEM, leaf.privateKeyPEM);
  ASSERT_TRUE(service);
  service->setTunnelStatusFiles({vpn + "/tunnels"});
  ::setenv(client::kAccountServiceURLsEnvironmentVariable, service->baseURL().c_str(), 1);

  // The client's installation with the helper inside, and its installation code.
  const std::string app = root.file("app");
  platform::paths::createDirectories(app);
  ASSERT_TRUE(platform::files::writeFileAtomically(app + "/VarnelVPN", "#!/bin/sh\n", 0755));
  auto helperBytes = platform::files::readFile(VARNEL_HELPER_PATH);
  ASSERT_TRUE(helperBytes);
  ASSERT_TRUE(platform::files::writeFileAtomically(app + "/VarnelHelper", *helperBytes, 0755));
  ASSERT_TRUE(
      client::CodesigningUtilities(
          std::make_shared<platform::Bundle>(
              app + "/VarnelVPN", app, platform::Value::dictionary({{"CFBundleVersion", "200"}})))
          .installHelperWithLabel("VarnelHelper"));

  platform::xpc::Launcher launcher(platform::dispatch::Queue::createSerial("road.launcher"));
  ASSERT_EQ(launcher.addRecords(), 1);

  // Log in as the demo user and pick the OpenVPN UDP type of its Premium account.
  auto manager = client::VRAccountManager::create();
  bool loggedIn = false;
  platform::Value loginReply;
  manager->loginWithUsername("demo@varnelvpn.test", "demo-password",
                             [&](const platform::Value& reply) {
                               loginReply = reply;
                               loggedIn = true;
                             });
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return loggedIn; },
                                                      std::chrono::milliseconds(30000)));
  ASSERT_TRUE(manager->currentAccount()) << loginReply.description();
  client::BaseAccount::Ptr premium;
  for (const client::BaseAccount::Ptr& account : manager->accounts())
    if (account->isOpenAccount() && account->accountString() == "Premium #W1001") premium = account;
  ASSERT_TRUE(premium) << loginReply.description();
  manager->setCurrentAccount(premium);
  manager->setConnectionType(client::kConnectionTypeOpenVPNUDP);
  bool idle = false;
  manager->client()->waitForOperations([&] { idle = true; });
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return idle; },
                                                      std::chrono::milliseconds(20000)))
      << "the account service's requests do not finish: "
      << manager->client()->operationQueue()->operationCount();

  auto view = std::make_shared<RoadView>();
  auto dialer = client::DialerState::create(client::makeDialerServices(manager), view);
  dialer->clickControlButton();
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] {
        return dialer->status() == client::DialerStatus::Connected ||
               !dialer->lastErrorMessage().empty();
      },
      std::chrono::milliseconds(40000)))
      << "status " << static_cast<int>(dialer->status()) << " wrapper "
      << (dialer->xpcWrapper() != nullptr) << " polling "
      << (dialer->xpcWrapper() &&
          std::static_pointer_cast<client::XPCWrapper>(dialer->xpcWrapper())->isPolling())
      << " helper state "
      << (dialer->xpcWrapper() ? std::static_pointer_cast<client::XPCWrapper>(dialer->xpcWrapper())
                                     ->previousConnectionState()
                               : -1)
      << "\n"
      << helperLogs() << "\nhelper log: " << askHelper("LogUpdate")
      << client::VarnelLog::sharedInstance().GetLog();
  ASSERT_EQ(dialer->status(), client::DialerStatus::Connected) << dialer->lastErrorMessage();
  // The visible IP is the tunnel's: the address the server handed out.
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return !view->ip.empty(); },
                                                      std::chrono::milliseconds(15000)));
  EXPECT_EQ(view->ip.rfind("10.8.0.", 0), 0u) << view->ip;
  EXPECT_NE(readText(vpn + "/tunnels").find("," + view->ip), std::string::npos);

  dialer->clickControlButton();
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return dialer->status() == client::DialerStatus::Disconnected; },
      std::chrono::milliseconds(30000)));
  EXPECT_TRUE(dialer->lastErrorMessage().empty());
  // Back out of the tunnel, the visible IP is the machine's own again.
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return view->ip == "127.0.0.1"; },
                                                      std::chrono::milliseconds(15000)))
      << view->ip;
  launcher.stop();
  ::unsetenv(client::kAccountServiceURLsEnvironmentVariable);
}

#endif  // VARNEL_MAIN_ROAD

TEST(MainRoadTest, LogInConnectAndDisconnectThroughTheInstalledHelper) {
#ifdef VARNEL_MAIN_ROAD
  if (std::getenv("VARNEL_MAIN_ROAD_INSIDE")) {
    insideTheNamespace();
    return;
  }
#endif
  const std::string missing = missingRequirement();
  if (!missing.empty()) GTEST_SKIP() << missing;
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  ::setenv("VARNEL_MAIN_ROAD_INSIDE", "1", 1);
  std::string output;
  const int status =
      run({"/usr/bin/unshare", "--net", "--mount", "--fork", self, "--gtest_filter=MainRoadTest.*"},
          &output);
  ::unsetenv("VARNEL_MAIN_ROAD_INSIDE");
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

}  // namespace
