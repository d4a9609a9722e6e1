// The client's connections to the helper as the product really makes them:
// a helper socket that is not root's gets nothing, and a thousand failing
// attempts against the real helper program leave the descriptors of both
// sides where they were.
#include <dirent.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/control/control_fixture.h"
#include "client/core/open_account.h"
#include "platform/dispatch/dispatch.h"
#include "platform/system/paths.h"
#include "platform/xpc/connection.h"
#include "platform/xpc/launcher.h"
#include "platform/xpc/service_names.h"
#include "support/wait.h"

namespace {

using platform::Value;

client::BaseAccount::Ptr openAccount() {
  return client::OpenAccount::instanceFromDictionary(
      Value::dictionary({{"id", 7}, {"remote", "127.0.0.1"}, {"udp", true}, {"name", "a_b_c"}}));
}

class Delegate : public client::HelperRequestDelegate {
 public:
  void helperRequestDidFail(const std::string& message) override { failures.push_back(message); }
  std::vector<std::string> failures;  // main thread
};

int openDescriptors(pid_t pid) {
  DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (!dir) return -1;
  int n = 0;
  while (dirent* e = ::readdir(dir))
    if (e->d_name[0] != '.') ++n;
  ::closedir(dir);
  return n - 1;  // the listing's own descriptor
}

// A stand-in for the helper's socket that never answers, listening as `uid`
// (by default the unprivileged user 65534): a child binds the service's
// socket path as root, drops to that user, listens, accepts one connection
// and reports through a pipe how many bytes it received before the other
// side closed.
class ForeignHelperSocket {
 public:
  explicit ForeignHelperSocket(const std::string& path, uid_t uid = 65534) {
    int ready[2], count[2];
    if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(count, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      // Only system calls from here on.
      ::close(ready[0]);
      ::close(count[0]);
      int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
      ::unlink(path.c_str());
      if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) ::_exit(2);
      if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
                       ::setresuid(uid, uid, uid) != 0))
        ::_exit(2);
      if (::listen(fd, 4) != 0) ::_exit(2);
      (void)!::write(ready[1], "r", 1);
      int peer = ::accept(fd, nullptr, nullptr);
      long total = 0;
      char buf[4096];
      for (ssize_t n; peer >= 0 && (n = ::read(peer, buf, sizeof buf)) > 0;) total += n;
      (void)!::write(count[1], &total, sizeof total);
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(count[1]);
    char c;
    listening_ = ::read(ready[0], &c, 1) == 1;
    ::close(ready[0]);
    countFd_ = count[0];
  }
  ~ForeignHelperSocket() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (countFd_ >= 0) ::close(countFd_);
  }
  bool listening() const { return listening_; }
  // The bytes the socket received from its one connection (-1: none came).
  // (-2: the connection was still open after 10 s, a safety net only).
  long bytesReceived() {
    long total = -1;
    pollfd p{countFd_, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return -2;
    if (::read(countFd_, &total, sizeof total) != sizeof total) return -1;
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return total;
  }

 private:
  pid_t pid_ = -1;
  int countFd_ = -1;
  bool listening_ = false;
};

class HelperConnectionTest : public control_test::ControlTest {};

TEST_F(HelperConnectionTest, AHelperSocketThatIsNotRootsReceivesNothing) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to listen as another user";
  const std::string path = platform::xpc::socketPathForService(client::kHelperMachServiceName);
  ASSERT_TRUE(platform::paths::createDirectories(platform::paths::runtime()));

  {
    // The real client's request, with the account's user name and password.
    ForeignHelperSocket foreign(path);
    ASSERT_TRUE(foreign.listening());
    auto delegate = std::make_shared<Delegate>();
    client::XPCWrapper::Options options;
    options.replyTimeout = 20;
    auto wrapper = client::XPCWrapper::initWithController(delegate, options);
    wrapper->SetAccount(openAccount(), client::kConnectionTypeOpenVPNUDP);
    wrapper->Start();
    ASSERT_TRUE(
        varnel::testing::waitUntilOnMainRunLoop([&] { return !delegate->failures.empty(); }));
    EXPECT_EQ(delegate->failures[0],
              "The VarnelVPN helper is not running with administrator rights.");
    EXPECT_EQ(foreign.bytesReceived(), 0);
    EXPECT_FALSE(wrapper->isPolling());
    EXPECT_NE(log().find("uid 65534"), std::string::npos) << log();
  }
  {
    // The transport itself: the error comes at once, and says why.
    ForeignHelperSocket foreign(path);
    ASSERT_TRUE(foreign.listening());
    auto c = platform::xpc::Connection::createMachService(client::kHelperMachServiceName,
                                                          platform::xpc::Connection::kPrivileged);
    c->setEventHandler([](const platform::xpc::ChannelValue&) {});
    c->resume();
    platform::dispatch::Semaphore replied;
    platform::xpc::ChannelValue reply;
    platform::xpc::ChannelValue m = platform::xpc::ChannelValue::dictionary();
    m.set("password", platform::xpc::ChannelValue::string("secret"));
    c->sendWithReply(m, platform::dispatch::Queue::global(),
                     [&](const platform::xpc::ChannelValue& r) {
                       reply = r;
                       replied.signal();
                     });
    ASSERT_TRUE(replied.wait(std::chrono::seconds(10)));
    EXPECT_EQ(reply.type(), platform::xpc::ChannelType::Error);
    EXPECT_TRUE(c->refusedUnprivilegedService());
    EXPECT_EQ(c->credentials().uid, 65534u);
    EXPECT_EQ(foreign.bytesReceived(), 0);
    c->cancel();
  }
  {
    // The same socket without the demand does get the bytes: the stand-in
    // would have seen them.
    ForeignHelperSocket foreign(path);
    ASSERT_TRUE(foreign.listening());
    auto c = platform::xpc::Connection::createMachService(client::kHelperMachServiceName, 0);
    c->setEventHandler([](const platform::xpc::ChannelValue&) {});
    c->resume();
    platform::xpc::ChannelValue m = platform::xpc::ChannelValue::dictionary();
    m.set("operation", platform::xpc::ChannelValue::string("CurrentConnectionState"));
    c->send(m);
    c->cancel();
    EXPECT_GT(foreign.bytesReceived(), 0);
    EXPECT_FALSE(c->refusedUnprivilegedService());
  }
}

TEST_F(HelperConnectionTest, AConnectionTheHelperNeverAnswersIsClosedWhenTheAttemptFails) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a root-owned stand-in";
  const std::string path = platform::xpc::socketPathForService(client::kHelperMachServiceName);
  ASSERT_TRUE(platform::paths::createDirectories(platform::paths::runtime()));
  ForeignHelperSocket silent(path, 0);
  ASSERT_TRUE(silent.listening());
  auto delegate = std::make_shared<Delegate>();
  client::XPCWrapper::Options options;
  options.replyTimeout = 0.3;
  auto wrapper = client::XPCWrapper::initWithController(delegate, options);
  wrapper->SetAccount(openAccount(), client::kConnectionTypeOpenVPNUDP);
  wrapper->Start();
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return !delegate->failures.empty(); }));
  EXPECT_EQ(delegate->failures[0], "The VarnelVPN helper does not answer.");
  // The stand-in saw the request and then the end of the connection, while
  // the wrapper is still alive: nothing keeps a useless connection open.
  EXPECT_GT(silent.bytesReceived(), 0);
}

#ifdef VARNEL_HELPER_PATH
// Every attempt used to cost one socket in the client and one in the root
// helper until the client quit; the endless retry loop ran out of
// descriptors after about a thousand attempts.
TEST_F(HelperConnectionTest, AThousandFailedAttemptsLeaveTheDescriptorsOfBothSidesFlat) {
  // The helper speaks to the system bus: point it at one that does not exist.
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/varnel-test-bus", 1);
  platform::xpc::Launcher launcher(platform::dispatch::Queue::createSerial("test.launcher"));
  std::mutex mutex;
  std::vector<pid_t> started;
  int exits = 0;
  launcher.setObserver([&](const std::string&, pid_t pid, int) {
    std::lock_guard<std::mutex> lock(mutex);
    if (pid > 0)
      started.push_back(pid);
    else
      ++exits;
  });
  platform::xpc::LaunchRecord record{"VarnelHelper", VARNEL_HELPER_PATH, {}, {"VarnelHelper"}};
  platform::Error error;
  ASSERT_TRUE(launcher.addRecord(record, &error)) << error.description();
  auto helperPid = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return started.empty() ? pid_t(-1) : started.back();
  };

  auto delegate = std::make_shared<Delegate>();
  client::XPCWrapper::Options options;
  options.replyTimeout = 20;
  // A request the helper refuses at once; as the dialer does, each attempt
  // is a new wrapper and the previous one is let go.
  std::shared_ptr<client::XPCWrapper> wrapper;
  auto attempt = [&] {
    const std::size_t before = delegate->failures.size();
    wrapper = client::XPCWrapper::initWithController(delegate, options);
    wrapper->SetAccount(openAccount(), client::kConnectionTypeIKEv2);
    wrapper->Start();
    return varnel::testing::waitUntilOnMainRunLoop(
        [&] { return delegate->failures.size() > before; });
  };

  constexpr int kWarmUp = 20, kAttempts = 1000;
  for (int i = 0; i < kWarmUp; ++i) ASSERT_TRUE(attempt()) << "attempt " << i;
  ASSERT_EQ(delegate->failures.back(),
            "The IKEv2 connection type is not supported. Please choose another connection type "
            "in the preferences.");
  const pid_t helper = helperPid();
  ASSERT_GT(helper, 0);
  const int clientBefore = openDescriptors(::getpid());
  const int helperBefore = openDescriptors(helper);
  ASSERT_GT(helperBefore, 0);

  for (int i = 0; i < kAttempts; ++i) ASSERT_TRUE(attempt()) << "attempt " << i;
  wrapper.reset();
  // Closing happens on the connections' queues: allow the last one in flight.
  const int slack = 2;
  EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] {
    return openDescriptors(::getpid()) <= clientBefore + slack;
  })) << openDescriptors(::getpid())
      << " descriptors in the client, " << clientBefore << " before";
  EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] {
    return openDescriptors(helper) <= helperBefore + slack;
  })) << openDescriptors(helper)
      << " descriptors in the helper, " << helperBefore << " before";

  // Replacing connections never ended the helper: it is the same process.
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(started.size(), 1u);
    EXPECT_EQ(exits, 0);
  }
  EXPECT_EQ(delegate->failures.size(), std::size_t(kWarmUp + kAttempts));
  launcher.stop();
  ::kill(helper, SIGTERM);
  ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}
#endif

}  // namespace
