#include "ipc/xpc_service.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "channel_fixture.h"
#include "platform/foundation/exception.h"
#include "platform/system/paths.h"
#include "platform/system/property_list.h"
#include "platform/xpc/launcher.h"
#include "platform/xpc/service_names.h"

using channel_test::PeerProcess;
using channel_test::pump;
using channel_test::TempRoot;
using ipc::Object;
using ipc::XPCConnection;
using ipc::XPCMessage;
using ipc::XPCService;

namespace {

std::string peerExecutable() {
  char* real = ::realpath(CHANNEL_PEER_PATH, nullptr);
  std::string path = real ? real : CHANNEL_PEER_PATH;
  std::free(real);
  return path;
}

// Runs a client process to its end while the main loop serves; its output line.
std::string runClient(const std::string& service, const std::string& text) {
  PeerProcess client({"client", service, text});
  int status = -1;
  pump([&] {
    pid_t r = ::waitpid(client.pid(), &status, WNOHANG);
    return r == client.pid();
  });
  return client.readLine(2000);
}

class ServiceTest : public ::testing::Test {
 protected:
  // A service that admits the peers `check` admits; a second one may be
  // made in the same test.
  std::shared_ptr<XPCService> makeService(XPCService::PeerCheck check) {
    auto service = XPCService::create(handler(), std::move(check));
    services_.push_back(service);
    return service;
  }
  XPCService::ConnectionHandler handler() {
    return [this](const std::shared_ptr<XPCConnection>& c) {
      handled_.push_back(c);
      c->setEventHandler([this](const XPCMessage& m, const std::shared_ptr<XPCConnection>& conn) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          messages_.emplace_back(conn.get(), m);
        }
        if (m.stringForKey("operation").asString() == "echo") {
          XPCMessage reply = XPCMessage::messageReplyForMessage(&m);
          reply.setObject(m.objectForKey("payload"), "result");
          conn->sendMessage(reply);
        }
      });
    };
  }
  void TearDown() override {
    XPCService::stopListenersForTesting();
    services_.clear();
    for (auto& c : handled_) {
      c->setEventHandler(nullptr);
      c->connection()->cancel();
    }
  }

  TempRoot root_;
  std::vector<std::shared_ptr<XPCService>> services_;
  std::vector<std::shared_ptr<XPCConnection>> handled_;  // main queue
  std::mutex mutex_;
  std::vector<std::pair<XPCConnection*, XPCMessage>> messages_;
};

TEST_F(ServiceTest, RefusedPeersNeverReachTheHandler) {
  auto refusing = makeService(XPCService::peerCheckFor({{}, {}, {"/nonexistent/client"}}));
  XPCService::runMachService("VarnelTestService");
  EXPECT_EQ(runClient("VarnelTestService", "hi"), "error 1001");
  EXPECT_TRUE(handled_.empty());
  EXPECT_TRUE(refusing->connections().empty());

  // The installed client is let in, and only by the service that admits it.
  auto admitting = makeService(XPCService::peerCheckFor({{}, {}, {peerExecutable()}}));
  EXPECT_EQ(runClient("VarnelTestService", "hi"), "reply hi");
  ASSERT_EQ(handled_.size(), 1u);
  EXPECT_EQ(handled_[0]->connectionExecutablePath(), peerExecutable());
  EXPECT_TRUE(refusing->connections().empty());
  EXPECT_EQ(admitting->connections().size(), 1u);

  // Once that service is gone, nobody admits the client any more.
  services_.pop_back();
  admitting.reset();
  EXPECT_EQ(runClient("VarnelTestService", "hi"), "error 1001");
  EXPECT_EQ(handled_.size(), 1u);
}

TEST_F(ServiceTest, AServiceWithoutAPeerCheckAdmitsNobody) {
  // Not even the service's own uid and program: trust is never a default.
  auto service = makeService(nullptr);
  XPCService::runMachService("VarnelTestService");
  EXPECT_EQ(runClient("VarnelTestService", "hi"), "error 1001");
  EXPECT_EQ(runClient("VarnelTestService", "again"), "error 1001");
  EXPECT_TRUE(handled_.empty());
  EXPECT_TRUE(service->connections().empty());
}

TEST_F(ServiceTest, EveryClientIsKeptInArrivalOrderAndSeesItsEnd) {
  auto service = makeService(XPCService::admitEveryPeerForTesting());
  XPCService::runMachService("VarnelTestService");
  EXPECT_EQ(runClient("VarnelTestService", "one"), "reply one");
  EXPECT_EQ(runClient("VarnelTestService", "two"), "reply two");
  ASSERT_TRUE(pump([&] { return service->connections().size() == 2; }));
  auto connections = service->connections();
  EXPECT_EQ(connections[0], handled_[0]);
  EXPECT_EQ(connections[1], handled_[1]);
  // Both clients have quit: each connection's handler got the error message.
  ASSERT_TRUE(pump([&] {
    std::lock_guard<std::mutex> lock(mutex_);
    int errors = 0;
    for (auto& [c, m] : messages_) {
      if (!m.getXPCDictionary().get(ipc::kXPCErrorKey).isNone()) ++errors;
    }
    return errors == 2;
  }));
  std::lock_guard<std::mutex> lock(mutex_);
  EXPECT_EQ(messages_.front().first, connections[0].get());
  EXPECT_EQ(messages_.front().second.stringForKey("payload").asString(), "one");
  for (auto& [c, m] : messages_) {
    if (m.getXPCDictionary().get(ipc::kXPCErrorKey).isNone()) continue;
    EXPECT_EQ(m.getXPCDictionary().count(), 1u);
    EXPECT_EQ(XPCMessage::errorForXPCObject(m.getXPCDictionary().get(ipc::kXPCErrorKey)).code(),
              1002);
  }
}

// A long-running service (the helper) lets go of each connection as it
// ends, after its handler got the final error: what a burst of short
// connections took comes back without waiting for the next one to arrive.
TEST_F(ServiceTest, AServiceThatDropsEndedConnectionsLetsEachGoAsItEnds) {
  auto service = makeService(XPCService::admitEveryPeerForTesting());
  service->setKeepsEndedConnections(false);
  XPCService::runMachService("VarnelTestService");
  EXPECT_EQ(runClient("VarnelTestService", "one"), "reply one");
  EXPECT_EQ(runClient("VarnelTestService", "two"), "reply two");
  ASSERT_TRUE(pump([&] { return handled_.size() == 2; }));
  std::vector<std::weak_ptr<XPCConnection>> ended(handled_.begin(), handled_.end());
  // Both clients have quit; no third one comes.
  ASSERT_TRUE(pump([&] { return service->connections().empty(); }));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    int errors = 0;
    for (auto& [c, m] : messages_) {
      if (!m.getXPCDictionary().get(ipc::kXPCErrorKey).isNone()) ++errors;
    }
    EXPECT_EQ(errors, 2);  // each handler saw its end before the service let go
  }
  // Once the test's own references go, nothing holds the connections.
  for (auto& c : handled_) c->setEventHandler(nullptr);
  handled_.clear();
  EXPECT_TRUE(pump([&] {
    return std::all_of(ended.begin(), ended.end(), [](auto& w) { return w.expired(); });
  }));
}

TEST_F(ServiceTest, AServiceWithoutASocketRaises) {
  try {
    XPCService::runMachService("not/a/service");
    FAIL() << "no exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "Unable to create mach service.");
    EXPECT_EQ(e.reason(), "connection == NULL");
  }
}

TEST(XPCPerformSelector, LocalCallsWorkOnCopiesAndAnswerOnTheCallersQueue) {
  XPCMessage::registerOperation(
      "concat:error:", [](const Object& target, const Object* arg, platform::Error*) {
        return Object(target.value().asString() + (arg ? arg->value().asString() : ""));
      });
  std::optional<std::string> result;
  bool onMain = false;
  platform::Error error;
  platform::dispatch::Queue::main()->async([&] {
    ipc::XPCPerformSelector(nullptr, Object("ab"), "concat:error:", Object("cd"),
                            [&](const Object& r, const platform::Error& e) {
                              onMain = platform::dispatch::Queue::main()->isCurrent();
                              result = r.value().asString();
                              error = e;
                            });
  });
  ASSERT_TRUE(pump([&] { return result.has_value(); }));
  EXPECT_EQ(*result, "abcd");
  EXPECT_TRUE(onMain);
  EXPECT_FALSE(error);
  XPCMessage::unregisterOperation("concat:error:");

  result.reset();
  platform::dispatch::Queue::main()->async([&] {
    ipc::XPCPerformSelector(nullptr, Object("ab"), "concat:error:", Object(),
                            [&](const Object& r, const platform::Error& e) {
                              result = r.value().asString();
                              error = e;
                            });
  });
  ASSERT_TRUE(pump([&] { return result.has_value(); }));
  EXPECT_EQ(error.domain(), ipc::kXPCChannelErrorDomain);
  EXPECT_EQ(ipc::XPCContainerDataDirectory("com.example.app"),
            ipc::XPCRealHomeDirectory() + "/Library/Containers/com.example.app/Data");
}

TEST(XPCCopyAppPreference, ReadsTheApplicationsStoredPreferences) {
  TempRoot root;
  std::string config = root.path() + "/config";
  ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  ASSERT_TRUE(platform::paths::createDirectories(platform::paths::preferences()));
  ASSERT_TRUE(
      platform::plist::writeFile(platform::paths::preferences() + "/com.example.prefs.plist",
                                 platform::Value::dictionary({{"Answer", platform::Value(42)}})));
  EXPECT_EQ(ipc::XPCCopyAppPreference("Answer", "com.example.prefs").asInt64(), 42);
  EXPECT_TRUE(ipc::XPCCopyAppPreference("Missing", "com.example.prefs").isNone());
  ::unsetenv("XDG_CONFIG_HOME");
}

TEST(OnDemandStart, TheFirstMessageStartsTheServiceAndReachesItsHandler) {
  TempRoot root;
  ASSERT_TRUE(platform::paths::createDirectories(platform::paths::launchDaemons()));
  platform::xpc::LaunchRecord record{"VarnelOnDemand",
                                     CHANNEL_PEER_PATH,
                                     {CHANNEL_PEER_PATH, "serve", "VarnelOnDemand"},
                                     {"VarnelOnDemand"}};
  platform::Error error;
  ASSERT_TRUE(platform::xpc::writeLaunchRecord(
      record, platform::xpc::launchRecordPath("VarnelOnDemand"), &error))
      << error.description();
  auto read = platform::xpc::readLaunchRecord(platform::xpc::launchRecordPath("VarnelOnDemand"));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->programArguments, record.programArguments);

  platform::xpc::Launcher launcher;
  std::mutex m;
  std::vector<pid_t> started;
  launcher.setObserver([&](const std::string&, pid_t pid, int) {
    std::lock_guard<std::mutex> lock(m);
    if (pid > 0) started.push_back(pid);
  });
  ASSERT_EQ(launcher.addRecords(), 1);
  {
    std::lock_guard<std::mutex> lock(m);
    EXPECT_TRUE(started.empty());  // nothing runs before the first message
  }

  auto connection = XPCConnection::createWithServiceName("VarnelOnDemand");
  connection->setEventHandler([](const XPCMessage&, const std::shared_ptr<XPCConnection>&) {});
  auto echo = [&](const char* text) {
    std::optional<std::string> result;
    XPCMessage msg = XPCMessage::messageWithObjectsAndKeys(
        {Object("echo"), "operation", Object(text), "payload"});
    connection->sendMessage(
        msg, [&](const XPCMessage& r) { result = r.stringForKey("result").asString(); });
    pump([&] { return result.has_value(); });
    return result.value_or("");
  };
  EXPECT_EQ(echo("first"), "first");
  pid_t first;
  {
    std::lock_guard<std::mutex> lock(m);
    ASSERT_EQ(started.size(), 1u);
    first = started[0];
  }
  // The kernel reports who opened the listening socket: here the launcher.
  EXPECT_EQ(connection->connectionProcessID(), static_cast<std::uint32_t>(::getpid()));

  // The service dies; the next message starts it again.
  std::atomic<bool> interrupted{false};
  connection->setEventHandler([&](const XPCMessage& msg, const std::shared_ptr<XPCConnection>&) {
    if (!msg.getXPCDictionary().get(ipc::kXPCErrorKey).isNone()) interrupted = true;
  });
  ::kill(first, SIGKILL);
  ASSERT_TRUE(pump([&] { return interrupted.load(); }));
  EXPECT_EQ(echo("second"), "second");
  {
    std::lock_guard<std::mutex> lock(m);
    ASSERT_EQ(started.size(), 2u);
    ::kill(started[1], SIGTERM);
  }
  connection->setEventHandler(nullptr);
  connection->connection()->cancel();
  launcher.stop();
}

}  // namespace
