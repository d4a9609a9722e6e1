// The VarnelHelper program, started on demand by the launcher the way the
// system starts it, and talked to by a separate client process.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "helper/helper_files.h"
#include "helper/helper_service.h"
#include "platform/dispatch/dispatch.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "platform/xpc/launcher.h"
#include "support/shell.h"
#include "support/temp_root.h"

namespace {

using Outcome = varnel::testing::ShellOutcome;

Outcome run(const std::string& command) { return varnel::testing::runShell(command); }

class HelperProgramTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    // The helper program speaks to the system bus; point it at one that
    // does not exist, whatever runs on this machine.
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/varnel-test-bus", 1);
    launcher = std::make_unique<platform::xpc::Launcher>(
        platform::dispatch::Queue::createSerial("test.launcher"));
    launcher->setObserver([this](const std::string&, pid_t pid, int status) {
      std::lock_guard<std::mutex> lock(mutex);
      if (pid > 0)
        ++starts;
      else if (pid == 0 || status >= 0)
        exits.push_back(status);
      if (pid <= 0) done.signal();
    });
    platform::xpc::LaunchRecord record{"VarnelHelper", VARNEL_HELPER_PATH, {}, {"VarnelHelper"}};
    platform::Error error;
    ASSERT_TRUE(launcher->addRecord(record, &error)) << error.description();
  }
  void TearDown() override { launcher->stop(); }

  std::string client(const std::string& args) {
    return std::string("'") + HELPER_TEST_CLIENT + "' " + args;
  }
  // Waits for the helper to end; its wait status.
  int helperExit() {
    EXPECT_TRUE(done.wait(std::chrono::seconds(20)));
    std::lock_guard<std::mutex> lock(mutex);
    return exits.empty() ? -1 : exits.back();
  }

  std::unique_ptr<platform::xpc::Launcher> launcher;
  std::mutex mutex;
  int starts = 0;
  std::vector<int> exits;
  platform::dispatch::Semaphore done;
};

TEST_F(HelperProgramTest, AnswersPollsDisconnectsAndEndsWithItsClient) {
  Outcome r = run(client(
      "request operation=CurrentConnectionState request operation=IntentionallyBroken "
      "request operation=SSTPConnectionRequest sstpLocation=/bin/sh username=u password=pw1 "
      "host=h sstpOptions=/o "
      "request operation=PPTPConnectionRequest ip=vpn.test username=alice password=s3cr3t-pw "
      "until 2 15 logwait 'start NetworkManager' 15 "
      "request operation=DisconnectConnection until 1 20"));
  EXPECT_EQ(r.status, 0) << r.output;
  // The unknown operation gets no "result"; the refused SSTP request gets
  // none either, but its reason.
  EXPECT_NE(r.output.find(std::string("reply 0\nreply (null)\nreply (null)\nmessage ") +
                          helper::kSSTPClientRefusal + "\nreply 1\n"),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("Refused to start /bin/sh"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("PPTP service created, connecting now."), std::string::npos) << r.output;
  // Without NetworkManager running the PPTP request fails at once and says
  // so; it never reaches "connected".
  EXPECT_NE(r.output.find("PPTP connections need it: start NetworkManager"), std::string::npos)
      << r.output;
  EXPECT_EQ(r.output.find("state 5"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.substr(r.output.size() - 8), "state 1\n") << r.output;
  const int status = helperExit();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  // Its log files are owner-only and hold no secret.
  const std::string folder = platform::paths::system("/run") + "/" + helper::kPrivateFolderName;
  DIR* dir = ::opendir(folder.c_str());
  ASSERT_TRUE(dir);
  int logs = 0;
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name.size() < 4 || name.substr(name.size() - 4) != ".log") continue;
    ++logs;
    struct stat st;
    ASSERT_EQ(::stat((folder + "/" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string text = platform::files::readFile(folder + "/" + name).value_or("");
    EXPECT_NE(text.find("PPTP connection request recieved."), std::string::npos);
    EXPECT_EQ(text.find("s3cr3t-pw"), std::string::npos);
    EXPECT_EQ(text.find("pw1"), std::string::npos);
  }
  ::closedir(dir);
  EXPECT_EQ(logs, 1);
}

TEST_F(HelperProgramTest, PeerThatIsNeitherRootNorTheClientIsRefused) {
  // Let another user reach the socket, so only the helper's check can refuse.
  ASSERT_EQ(run("chmod -R a+rwX '" + platform::paths::runtime() + "' && d='" +
                platform::paths::runtime() +
                "'; while [ \"$d\" != / ]; do chmod a+x \"$d\"; "
                "d=$(dirname \"$d\"); done")
                .status,
            0);
  Outcome refused = run("setpriv --reuid=65534 --regid=65534 --clear-groups " +
                        client("request operation=CurrentConnectionState"));
  EXPECT_EQ(refused.status, 3) << refused.output;
  Outcome asRoot = run(client("request operation=CurrentConnectionState"));
  EXPECT_EQ(asRoot.output, "reply 0\n");
  helperExit();
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(starts, 1);  // the refused peer did not end the helper
}

TEST_F(HelperProgramTest, SecondHelperSaysWhyItStopsAndLeavesTheFirstServing) {
  // While the first helper serves its client, a second one is started by
  // hand: it cannot have the socket, says so and stops with its own status,
  // and the first one goes on serving.
  Outcome r = run(client(std::string("request operation=CurrentConnectionState run '") +
                         VARNEL_HELPER_PATH +
                         " 2>&1; echo status=$?' request operation=CurrentConnectionState"));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("another helper is still running or ending; this one stops."),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("status=" + std::to_string(helper::kHelperAlreadyRunningStatus)),
            std::string::npos)
      << r.output;
  EXPECT_EQ(r.output.find("terminate"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.substr(r.output.size() - 8), "reply 0\n") << r.output;
  const int status = helperExit();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(starts, 1);
}

}  // namespace
