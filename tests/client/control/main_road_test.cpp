// The whole road in one test: inside a network namespace of its own, the
// local account service (HTTPS), a local OpenVPN server and the real helper,
// installed under VARNEL_ROOT by the client's own installation code and
// started on demand by the launcher. The client logs in, picks the demo
// account's OpenVPN UDP type, connects through the helper, reaches
// Connected, polls the visible IP, disconnects and reaches Disconnected.
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
#include "codecs/base64.h"
#include "platform/security/trust.h"
#include "platform/system/bundle.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "platform/system/user_defaults.h"
#include "platform/xpc/launcher.h"
#include "support/temp_root.h"
#include "support/test_certificates.h"
#endif

extern char** environ;

namespace {

using control_test::pump;

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

std::string base64(const std::string& text) {
  return codecs::Base64EncodeBytes(text.data(), text.size(), false);
}

// A CA, a server and a client certificate and a tls-auth key for OpenVPN.
bool makePKI(const std::string& dir) {
  platform::paths::createDirectories(dir, 0700);
  const std::string ec = "ec_paramgen_curve:prime256v1";
  platform::files::writeFileAtomically(dir + "/s.ext", "extendedKeyUsage=serverAuth\n", 0600);
  platform::files::writeFileAtomically(dir + "/c.ext", "extendedKeyUsage=clientAuth\n", 0600);
  if (run({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout",
           dir + "/ca.key", "-out", dir + "/ca.crt", "-days", "2", "-subj", "/CN=Road CA"}) != 0)
    return false;
  for (std::string n : {"server", "client"}) {
    if (run({"openssl", "req", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout",
             dir + "/" + n + ".key", "-out", dir + "/" + n + ".csr", "-subj", "/CN=" + n}) != 0 ||
        run({"openssl", "x509", "-req", "-in", dir + "/" + n + ".csr", "-CA", dir + "/ca.crt",
             "-CAkey", dir + "/ca.key", "-CAcreateserial", "-out", dir + "/" + n + ".crt", "-days",
             "2", "-extfile", dir + (n == "server" ? "/s.ext" : "/c.ext")}) != 0)
      return false;
  }
  return run({"openvpn", "--genkey", "secret", dir + "/ta.key"}) == 0;
}

platform::Value accountData(const std::string& pki) {
  using platform::Value;
  Value open = Value::dictionary({{"id", 1001},
                                  {"user_id", 1},
                                  {"plan_id", 101},
                                  {"plan_name", "Premium"},
                                  {"notes", "road"},
                                  {"prefix", "nl1"},
                                  {"active", true},
                                  {"assigned", "127.0.0.1"},
                                  {"city", "Amsterdam"},
                                  {"country", "Netherlands"},
                                  {"cipher", "AES-256-CBC"},
                                  {"ca", Value(base64(readText(pki + "/ca.crt")))},
                                  {"cert", Value(base64(readText(pki + "/client.crt")))},
                                  {"key", Value(base64(readText(pki + "/client.key")))},
                                  {"tls", Value(base64(readText(pki + "/ta.key")))},
                                  {"lzo", true},
                                  {"name", "varnel_demo_1001"},
                                  {"port", 1194},
                                  {"remote", "127.0.0.1"},
                                  {"tun_mtu", 1500},
                                  {"udp", true},
                                  {"cities", Value::array()}});
  Value profile = Value::dictionary({{"id", 1},
                                     {"name", "Demo User"},
                                     {"city", "Oslo"},
                                     {"country_code", "NO"},
                                     {"country_name", "Norway"},
                                     {"active", true},
                                     {"remote", "127.0.0.1"},
                                     {"servers", Value::array()},
                                     {"switches", 3}});
  Value user = Value::dictionary({{"email", "demo@varnelvpn.test"},
                                  {"password", "demo-password"},
                                  {"key", "DEMOKEY7Q2W9E4R6T1Y3"},
                                  {"hash", "4f1c9a7e2b6d8035"},
                                  {"profile", profile},
                                  {"open", Value::array({open})},
                                  {"pptp", Value::array()}});
  Value plan =
      Value::dictionary({{"open", Value::array({Value::dictionary({{"city", "Amsterdam"},
                                                                   {"country", "Netherlands"},
                                                                   {"prefix", "nl1"},
                                                                   {"static", false}})})},
                         {"pptp", Value::array()}});
  return Value::dictionary(
      {{"users", Value::array({user})}, {"plans", Value::dictionary({{"101", plan}})}});
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
  pump([&] { return done; }, 5000);
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

  // The OpenVPN server.
  const std::string pki = root.file("pki");
  ASSERT_TRUE(makePKI(pki));
  const std::string serverLog = root.file("openvpn-server.log");
  std::vector<std::string> serverArgs = {"/usr/sbin/openvpn",
                                         "--dev",
                                         "tun",
                                         "--server",
                                         "10.8.0.0",
                                         "255.255.255.0",
                                         "--proto",
                                         "udp",
                                         "--local",
                                         "127.0.0.1",
                                         "--port",
                                         "1194",
                                         "--ca",
                                         pki + "/ca.crt",
                                         "--cert",
                                         pki + "/server.crt",
                                         "--key",
                                         pki + "/server.key",
                                         "--dh",
                                         "none",
                                         "--tls-auth",
                                         pki + "/ta.key",
                                         "0",
                                         "--comp-lzo",
                                         "adaptive",
                                         "--allow-compression",
                                         "yes",
                                         "--data-ciphers",
                                         "AES-256-GCM:AES-256-CBC",
                                         "--verb",
                                         "3",
                                         "--log",
                                         serverLog};
  std::vector<char*> argv;
  for (std::string& a : serverArgs) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t server = 0;
  ASSERT_EQ(::posix_spawn(&server, argv[0], nullptr, nullptr, argv.data(), environ), 0);
  struct Killer {
    pid_t pid;
    ~Killer() {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
  } killServer{server};
  ASSERT_TRUE(pump(
      [&] {
        return readText(serverLog).find("Initialization Sequence Completed") != std::string::npos;
      },
      15000))
      << readText(serverLog);

  // The account service over HTTPS, trusted through the system root's bundle.
  auto ca = test_support::makeCertificateAuthority("Road Service CA");
  auto leaf = test_support::makeLeafCertificate(ca, "127.0.0.1", {"localhost"}, {"127.0.0.1"});
  ASSERT_TRUE(platform::paths::createDirectories(
      platform::files::parentFolder(platform::security::trustedCABundlePath())));
  ASSERT_TRUE(platform::files::writeFileAtomically(platform::security::trustedCABundlePath(),
                                                   ca.certificatePEM, 0644));
  auto service = account_service::AccountService::startTLS(accountData(pki), leaf.certificatePEM,
                                                           leaf.privateKeyPEM);
  ASSERT_TRUE(service);
  ::setenv(client::kAccountServiceURLsEnvironmentVariable, service->baseURL().c_str(), 1);

  // The client's installation with the helper inside, and its installation code.
  const std::string app = root.file("app");
  platform::paths::createDirectories(app);
  ASSERT_TRUE(platform::files::writeFileAtomically(app + "/VarnelVPN", "#!/bin/sh\n", 0755));
  auto helperBytes = platform::files::readFile(VARNEL_HELPER_PATH);
  ASSERT_TRUE(helperBytes);
  ASSERT_TRUE(platform::files::writeFileAtomically(app + "/VarnelHelper", *helperBytes, 0755));
  platform::Bundle::setMainForTesting(std::make_shared<platform::Bundle>(
      app + "/VarnelVPN", app, platform::Value::dictionary({{"CFBundleVersion", "200"}})));
  ASSERT_TRUE(client::CodesigningUtilities().installHelperWithLabel("VarnelHelper"));

  platform::xpc::Launcher launcher(platform::dispatch::Queue::createSerial("road.launcher"));
  ASSERT_EQ(launcher.addRecords(), 1);

  // Log in and pick the OpenVPN UDP type of the demo account.
  auto manager = client::VRAccountManager::create();
  bool loggedIn = false;
  platform::Value loginReply;
  manager->loginWithUsername("demo@varnelvpn.test", "demo-password",
                             [&](const platform::Value& reply) {
                               loginReply = reply;
                               loggedIn = true;
                             });
  ASSERT_TRUE(pump([&] { return loggedIn; }, 30000));
  ASSERT_TRUE(manager->currentAccount()) << loginReply.description();
  ASSERT_TRUE(manager->currentAccount()->isOpenAccount());
  manager->setConnectionType(client::kConnectionTypeOpenVPNUDP);
  bool idle = false;
  manager->client()->waitForOperations([&] { idle = true; });
  ASSERT_TRUE(pump([&] { return idle; }, 20000))
      << "the account service's requests do not finish: "
      << manager->client()->operationQueue()->operationCount();

  auto view = std::make_shared<RoadView>();
  auto dialer = client::DialerState::create(client::makeDialerServices(manager), view);
  dialer->clickControlButton();
  ASSERT_TRUE(pump(
      [&] {
        return dialer->status() == client::DialerStatus::Connected ||
               !dialer->lastErrorMessage().empty();
      },
      40000))
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
  ASSERT_TRUE(pump([&] { return !view->ip.empty(); }, 15000));

  dialer->clickControlButton();
  ASSERT_TRUE(pump([&] { return dialer->status() == client::DialerStatus::Disconnected; }, 30000));
  EXPECT_TRUE(dialer->lastErrorMessage().empty());
  launcher.stop();
  platform::Bundle::setMainForTesting(nullptr);
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
