// The log-in against an account service that cannot serve it: refused
// connections, replies that are not the service's, a peer that answers with
// junk. The real login flow, account manager and API client run against
// loopback servers; what the user reads and what reached the servers is
// checked.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "account_service_fixture.h"
#include "client/core/account_manager.h"
#include "client/core/app_startup.h"
#include "client/core/login_flow.h"
#include "platform/foundation/format.h"
#include "platform/system/user_defaults.h"
#include "support/local_proxy.h"
#include "support/wait.h"

namespace client {
namespace {

using account_service::Fault;

class RecordingLoginView : public LoginView {
 public:
  std::string emailText() override { return "demo@varnelvpn.test"; }
  std::string passwordText() override { return "demo-password"; }
  void showLoginError(const std::string& message) override { errors.push_back(message); }
  void openDialer() override { opened = true; }
  std::vector<std::string> errors;
  bool opened = false;
};

// A TCP server on 127.0.0.1 that answers every connection with junk and
// closes it, counting the connections.
class JunkServer {
 public:
  JunkServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 16);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      for (;;) {
        const int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        if (stopping_) {
          ::close(c);
          return;
        }
        ++connections;
        const char junk[] = "\x15\x03\x01garbage, not the account service\r\n";
        (void)!::write(c, junk, sizeof junk - 1);
        ::close(c);
      }
    });
  }
  ~JunkServer() {
    stopping_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
  }
  std::string url() const { return "https://127.0.0.1:" + std::to_string(port_); }
  std::atomic<int> connections{0};

 private:
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

class LoginFailureTest : public testing::AccountServiceTest {
 protected:
  // Logs in through the real flow over `urls` (padded with refused ones),
  // with the client's own deadline or `deadline` seconds; returns the
  // seconds until the error was shown.
  double logIn(std::vector<std::string> urls, double deadline = 0) {
    client_ = makeClient(std::move(urls), 25.0);
    if (deadline > 0) client_->setDefaultMaximumDuration(deadline);
    defaults_ = platform::UserDefaults::create("login-failure", root().file("prefs"));
    manager_ = VRAccountManager::create(client_, defaults_);
    view_ = std::make_shared<RecordingLoginView>();
    flow_ = LoginFlow::create(makeLoginServices(manager_, [] { return true; }), view_);
    const auto start = std::chrono::steady_clock::now();
    flow_->startLoginAction();
    EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
        [&] { return !view_->errors.empty() || view_->opened; }, std::chrono::milliseconds(30000)));
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  void TearDown() override {
    if (client_)
      varnel::testing::waitUntilOnMainRunLoop(
          [this] { return client_->operationQueue()->operationCount() == 0; });
    AccountServiceTest::TearDown();
  }
  // What the service received for `path`.
  static std::size_t count(account_service::AccountService& service, const std::string& path) {
    return count(service.server(), path);
  }
  static std::size_t count(test_support::HTTPTestServer& server, const std::string& path) {
    std::size_t n = 0;
    for (const auto& r : server.requests())
      if (r.path == path) ++n;
    return n;
  }

  VRPUDIPClient::Ptr client_;
  std::shared_ptr<platform::UserDefaults> defaults_;
  std::shared_ptr<VRAccountManager> manager_;
  std::shared_ptr<RecordingLoginView> view_;
  std::shared_ptr<LoginFlow> flow_;
};

TEST_F(LoginFailureTest, RefusedEverywhereIsToldWithinTwoSecondsAsOurOwnFailure) {
  const double seconds = logIn({});
  ASSERT_EQ(view_->errors.size(), 1u);
  EXPECT_LT(seconds, 2.0) << "every mirror was refused at once";
  EXPECT_EQ(view_->errors[0],
            platform::format(kLocalLoginErrorFormat, std::string(kLoginUnreachableText)));
  EXPECT_EQ(view_->errors[0].find("reported"), std::string::npos);
  EXPECT_FALSE(view_->opened);
  std::printf("log-in error with every mirror refusing after %.3f s\n", seconds);
}

TEST_F(LoginFailureTest, GarbageRepliesAreAskedOnceAndNotCalledTheServersReport) {
  auto service = startService();
  service->setFault("/ping/", Fault::badJSON());
  service->setFault("/login/", Fault::badJSON());
  const double seconds = logIn({service->baseURL()});
  ASSERT_EQ(view_->errors.size(), 1u);
  EXPECT_LT(seconds, 5.0);
  EXPECT_EQ(view_->errors[0],
            platform::format(kLocalLoginErrorFormat, std::string(kLoginUnreadableReplyText)));
  EXPECT_EQ(count(*service, "/ping/"), 1u);
  EXPECT_EQ(count(*service, "/login/"), 1u);
}

// What failed is said: a server whose certificate is not trusted, and a
// proxy (the desktop's https_proxy) that wants credentials, are not the
// user's Internet connection.
TEST_F(LoginFailureTest, ACertificateOrAProxyThatFailsIsNamedInTheError) {
  const auto stranger = test_support::makeCertificateAuthority("Somebody Else's CA");
  const auto impostorIdentity =
      test_support::makeLeafCertificate(stranger, "127.0.0.1", {"localhost"}, {"127.0.0.1"});
  auto impostor = test_support::HTTPTestServer::startTLS(
      impostorIdentity.certificatePEM + stranger.certificatePEM, impostorIdentity.privateKeyPEM);
  logIn(std::vector<std::string>(9, impostor->baseURL()));
  ASSERT_EQ(view_->errors.size(), 1u);
  EXPECT_EQ(view_->errors[0],
            platform::format(kLocalLoginErrorFormat, std::string(kLoginCertificateText)));
  EXPECT_EQ(impostor->requestCount(), 0u);  // nothing was sent to it
  EXPECT_FALSE(view_->opened);

  if (!varnel::testing::LocalProxy::available()) GTEST_SKIP() << "no proxy program";
  varnel::testing::LocalProxy proxy("someone", "secret");
  auto service = startService();
  ::setenv("https_proxy", proxy.url().c_str(), 1);
  ::unsetenv("no_proxy");
  ::unsetenv("NO_PROXY");
  // Named by host name, as a desktop's mirrors are (and as proxies see them).
  std::string viaProxy = service->baseURL();
  viaProxy.replace(viaProxy.find("127.0.0.1"), 9, "localhost");
  logIn(std::vector<std::string>(9, viaProxy));
  ::unsetenv("https_proxy");
  ASSERT_EQ(view_->errors.size(), 1u);
  EXPECT_EQ(view_->errors[0],
            platform::format(kLocalLoginErrorFormat, std::string(kLoginProxyAuthenticationText)));
  EXPECT_EQ(count(*service, "/login/"), 0u);
  EXPECT_FALSE(view_->opened);
}

TEST_F(LoginFailureTest, PeerAnsweringJunkIsAskedOncePerRequest) {
  JunkServer junk;
  const double seconds = logIn({junk.url()});
  ASSERT_EQ(view_->errors.size(), 1u);
  EXPECT_LT(seconds, 5.0);
  EXPECT_EQ(view_->errors[0].find("reported"), std::string::npos) << view_->errors[0];
  // One connection for the probe's "/ping/", one for "/login/".
  EXPECT_EQ(junk.connections.load(), 2);
}

TEST_F(LoginFailureTest, AMirrorThatTricklesHoldsTheLogInOnlyUntilTheDeadlineAndOnce) {
  // The probe is answered at once; the login's reply comes a byte a second
  // and would take a quarter of an hour.
  auto mirror = startHostileServer();
  mirror->setReply("/ping/", test_support::HTTPReply::json(R"({"success": true})"));
  mirror->setReply("/login/", trickle(1000, 1.0));
  const double deadline = 2.0;
  const double seconds = logIn({mirror->baseURL()}, deadline);
  ASSERT_EQ(view_->errors.size(), 1u) << "no log-in error after " << seconds << " s";
  // The server was reached; it was too slow.
  EXPECT_EQ(view_->errors[0],
            platform::format(kLocalLoginErrorFormat, std::string(kLoginUnavailableText)));
  EXPECT_FALSE(view_->opened);
  EXPECT_GE(seconds, deadline) << "the reply was coming, only too slowly";
  // A slow server is not asked again: that would double the wait.
  EXPECT_EQ(count(*mirror, "/login/"), 1u);
  std::printf("log-in error with a trickling mirror (deadline %.1f s) after %.3f s\n", deadline,
              seconds);
}

TEST_F(LoginFailureTest, AMirrorWhoseRepliesNeverEndIsAskedOncePerRequest) {
  auto mirror = startHostileServer();
  test_support::HTTPReply endless;
  endless.headers = {{"Content-Type", "application/json"}};
  endless.bodyWriter = [](const auto& write, const auto&) {
    const std::string block(64 * 1024, ' ');
    if (!write(R"({"success": true, "padding": ")")) return;
    while (write(block)) {
    }
  };
  mirror->setDefaultHandler(
      [endless](const test_support::HTTPRecordedRequest&) { return endless; });
  const double seconds = logIn({mirror->baseURL()});
  ASSERT_EQ(view_->errors.size(), 1u) << "no log-in error after " << seconds << " s";
  EXPECT_EQ(view_->errors[0],
            platform::format(kLocalLoginErrorFormat, std::string(kLoginUnreadableReplyText)));
  EXPECT_FALSE(view_->opened);
  // The same reply would come again: the login is not sent twice.
  EXPECT_EQ(count(*mirror, "/ping/"), 1u);
  EXPECT_EQ(count(*mirror, "/login/"), 1u);
}

TEST_F(LoginFailureTest, ServiceWordsAreStillItsReportAndALoginRightAfterStartUpProbesOnce) {
  auto service = startService();
  client_ = makeClient({service->baseURL()}, 25.0);
  // The start-up's probe, then the log-in at once.
  bool probed = false;
  BaseURLProbe::run(client_, [&] { probed = true; });
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return probed; }));
  defaults_ = platform::UserDefaults::create("login-failure", root().file("prefs"));
  manager_ = VRAccountManager::create(client_, defaults_);
  view_ = std::make_shared<RecordingLoginView>();
  struct WrongPassword : RecordingLoginView {
    std::string passwordText() override { return "wrong"; }
  };
  auto wrong = std::make_shared<WrongPassword>();
  flow_ = LoginFlow::create(makeLoginServices(manager_, [] { return true; }), wrong);
  flow_->startLoginAction();
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return !wrong->errors.empty(); }));
  EXPECT_EQ(wrong->errors[0],
            platform::format(kLoginErrorFormat, std::string("Invalid username or password.")));
  EXPECT_EQ(count(*service, "/ping/"), 1u);
  EXPECT_EQ(count(*service, "/login/"), 1u);
}

}  // namespace
}  // namespace client
