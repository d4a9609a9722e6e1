#include "client/core/server_model.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "platform/runloop/run_loop.h"
#include "platform/system/notification_center.h"
#include "support/temp_root.h"

namespace client {
namespace {

using platform::NotificationCenter;
using platform::runloop::RunLoop;

class ServerModelTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    NotificationCenter::defaultCenter().addObserver(
        this, [this](const platform::Notification&) { ++pings_; }, kPingCompletedNotification,
        nullptr);
    NotificationCenter::defaultCenter().addObserver(
        this, [this](const platform::Notification&) { ++tests_; }, kTestCompletedNotification,
        nullptr);
  }
  void TearDown() override { NotificationCenter::defaultCenter().removeObserver(this); }
  // Writes an executable shell script and returns its path.
  std::string script(const std::string& name, const std::string& body) {
    const std::string path = root().file(name);
    std::ofstream(path) << "#!/bin/sh\n" << body;
    ::chmod(path.c_str(), 0755);
    return path;
  }
  // Tools for the models made by makeModel.
  void useTools(const std::string& ping, const std::string& curl) {
    tools_.ping = ping;
    tools_.curl = curl;
    tools_.speedTestDomain = "test.invalid";
  }
  ServerModel::Ptr makeModel() { return ServerModel::create(tools_); }
  // Both tests ended and the model's child processes are all handled.
  bool waitForBoth(const ServerModel::Ptr& model) {
    return RunLoop::main().runUntil(
        [&] { return pings_ >= 1 && tests_ >= 1 && model->runningTools() == 0; },
        std::chrono::seconds(20));
  }

  std::atomic<int> pings_{0}, tests_{0};
  ServerModel::ToolPaths tools_;
};

TEST(ServerModelParseTest, SummaryAverageAndSpeedFormula) {
  EXPECT_EQ(ServerModel::parsePingSummary("round-trip min/avg/max/stddev = 10.1/23.9/40.0/3.2 ms"),
            23);
  EXPECT_EQ(ServerModel::parsePingSummary("rtt min/avg/max/mdev = 0.035/0.912/0.046/0.005 ms"), 0);
  EXPECT_FALSE(ServerModel::parsePingSummary("64 bytes from 127.0.0.1: icmp_seq=1"));
  EXPECT_FALSE(ServerModel::parsePingSummary("rtt min/avg/max/mdev = garbage"));
  EXPECT_EQ(ServerModel::speedForDuration(2.0), 8392);
  EXPECT_EQ(ServerModel::speedForDuration(0.0), 16785000);  // never a division by zero
}

TEST_F(ServerModelTest, FakeToolsGiveResultsAndWriteNoFile) {
  const std::string args = root().file("ping-args");
  useTools(script("ping", "echo \"$@\" > " + args +
                              "\necho 'PING x'\necho 'rtt min/avg/max/mdev = 1.0/23.9/40.0/2.0 "
                              "ms'\n"),
           script("curl", "echo \"$@\" > " + root().file("curl-args") + "\nexit 0\n"));
  auto model = makeModel();
  model->setServerName("nl1");
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(root().path());
  model->performSpeedTest();
  EXPECT_TRUE(model->testPerformed());
  ASSERT_TRUE(waitForBoth(model));
  std::filesystem::current_path(cwd);
  EXPECT_EQ(model->ping(), 23);
  ASSERT_TRUE(model->speed().has_value());
  EXPECT_GT(*model->speed(), 0);
  EXPECT_FALSE(model->isPinging());
  EXPECT_FALSE(model->isTesting());
  std::string pingArgs, curlArgs;
  std::getline(std::ifstream(args), pingArgs);
  std::getline(std::ifstream(root().file("curl-args")), curlArgs);
  EXPECT_EQ(pingArgs, "-c 4 nl1.test.invalid");
  EXPECT_EQ(curlArgs,
            "--silent --show-error --fail --connect-timeout 10 --max-time 60 --output /dev/null "
            "http://nl1.test.invalid/speedtesting.zip");
  EXPECT_EQ(model->pingFailure(), "");
  EXPECT_EQ(model->speedFailure(), "");
  EXPECT_FALSE(std::filesystem::exists(root().file("speedtesting.zip")));
}

TEST_F(ServerModelTest, MissingToolsEndTheRowWithoutResult) {
  useTools(root().file("no-such-ping"), root().file("no-such-curl"));
  auto model = makeModel();
  model->setServerName("x");
  model->performSpeedTest();
  ASSERT_TRUE(waitForBoth(model));
  EXPECT_FALSE(model->ping());
  EXPECT_FALSE(model->speed());
  EXPECT_FALSE(model->isPinging());
  EXPECT_FALSE(model->isTesting());
  EXPECT_EQ(model->pingFailure(), "ping is not installed");
  EXPECT_EQ(model->speedFailure(), "curl is not installed");
}

TEST_F(ServerModelTest, NoSummaryLineAndFailedDownload) {
  useTools(
      script("ping", "echo 'ping: unknown host'\nexit 2\n"),
      script("curl", "echo 'curl: (22) The requested URL returned error: 404' >&2\nexit 22\n"));
  auto model = makeModel();
  model->setServerName("gone");
  model->performSpeedTest();
  ASSERT_TRUE(waitForBoth(model));
  EXPECT_FALSE(model->ping());
  EXPECT_FALSE(model->speed());  // a failure, never a speed
  EXPECT_FALSE(model->isPinging());
  EXPECT_FALSE(model->isTesting());
  EXPECT_EQ(model->pingFailure(), "unknown host");
  EXPECT_EQ(model->speedFailure(), "server answered 404");
}

TEST(ServerModelParseTest, FailureReasonsInPlainWords) {
  auto exited = [](int code) { return code << 8; };  // a wait status
  EXPECT_EQ(ServerModel::pingFailureReason(
                "ping: nl1.example: Temporary failure in name resolution\n", exited(2)),
            "unknown host");
  EXPECT_EQ(ServerModel::pingFailureReason(
                "4 packets transmitted, 0 received, 100% packet loss, time 3055ms\n", exited(1)),
            "no reply");
  EXPECT_EQ(ServerModel::pingFailureReason("ping: socket: Operation not permitted\n", exited(2)),
            "ping is not permitted");
  EXPECT_EQ(ServerModel::pingFailureReason("", exited(1)), "no reply");
  EXPECT_EQ(ServerModel::downloadFailureReason(exited(6), "curl: (6) Could not resolve host"),
            "unknown host");
  EXPECT_EQ(ServerModel::downloadFailureReason(
                exited(7), "curl: (7) Failed to connect to x port 80: Connection refused"),
            "connection refused");
  EXPECT_EQ(ServerModel::downloadFailureReason(exited(28), ""), "timed out");
  EXPECT_EQ(ServerModel::downloadFailureReason(exited(22), "returned error: 503"),
            "server answered 503");
  EXPECT_EQ(ServerModel::downloadFailureReason(exited(35), ""), "download failed (curl error 35)");
  EXPECT_EQ(ServerModel::downloadFailureReason(9, ""), "download was stopped");  // SIGKILL
}

TEST_F(ServerModelTest, SummarySplitAcrossChunks) {
  useTools(
      script("ping", "printf 'rtt min/avg/max/mdev = 1.0/4'\nsleep 0.2\nprintf '2.5/50/1 ms\\n'\n"),
      script("curl", "exit 0\n"));
  auto model = makeModel();
  model->performSpeedTest();
  ASSERT_TRUE(waitForBoth(model));
  EXPECT_EQ(model->ping(), 42);
}

// Each model runs the tools it was made with, even while another model with
// other tools runs at the same time; without any, the system's own.
TEST_F(ServerModelTest, EachModelRunsItsOwnTools) {
  const ServerModel::ToolPaths system;
  EXPECT_EQ(ServerModel::create()->tools().ping, system.ping);
  EXPECT_EQ(ServerModel::create()->tools().curl, system.curl);
  EXPECT_EQ(ServerModel::create()->tools().python, system.python);
  EXPECT_EQ(ServerModel::create()->tools().speedTestDomain, system.speedTestDomain);
  EXPECT_EQ(system.ping, "/bin/ping");
  EXPECT_EQ(system.curl, "/usr/bin/curl");
  EXPECT_EQ(system.speedTestDomain, "speedtest.varnelvpn.net");

  useTools(script("ping", "echo 'rtt min/avg/max/mdev = 1.0/7.5/9.0/1.0 ms'\n"),
           script("curl", "exit 0\n"));
  auto working = makeModel();
  useTools(root().file("no-such-ping"), root().file("no-such-curl"));
  auto missing = makeModel();
  working->performSpeedTest();
  missing->performSpeedTest();
  ASSERT_TRUE(RunLoop::main().runUntil(
      [&] {
        return pings_ >= 2 && tests_ >= 2 && working->runningTools() == 0 &&
               missing->runningTools() == 0;
      },
      std::chrono::seconds(20)));
  EXPECT_EQ(working->ping(), 7);
  EXPECT_TRUE(working->speed().has_value());
  EXPECT_EQ(working->pingFailure(), "");
  EXPECT_FALSE(missing->ping());
  EXPECT_FALSE(missing->speed());
  EXPECT_EQ(missing->pingFailure(), "ping is not installed");
  EXPECT_EQ(missing->speedFailure(), "curl is not installed");
}

TEST_F(ServerModelTest, RealPingOfLoopback) {
  if (::access("/bin/ping", X_OK) != 0) GTEST_SKIP() << "no /bin/ping";
  ServerModel::ToolPaths paths;
  paths.curl = script("curl", "exit 0\n");
  paths.speedTestDomain = "0.0.1";  // "127" + "." + "0.0.1"
  auto model = ServerModel::create(paths);
  model->setServerName("127");
  model->performSpeedTest();
  ASSERT_TRUE(waitForBoth(model));
  if (!model->ping()) GTEST_SKIP() << "ping is not allowed on this machine";
  EXPECT_GE(*model->ping(), 0);
}

}  // namespace
}  // namespace client
