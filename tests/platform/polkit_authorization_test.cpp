// How pkexec's answers become outcomes and sentences for the user. A stand-in
// for pkexec replays what the real one prints and returns (the real one is
// exercised end to end in tests/client/control/polkit_helper_installation_test).
#include "platform/security/polkit_authorization.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "platform/system/file_util.h"
#include "support/temp_dir.h"

namespace platform::security {
namespace {

using Outcome = AuthorizedRun::Outcome;

class PolkitAuthorizationTest : public ::testing::Test {
 protected:
  // A pkexec that prints `text` on standard error and exits with `status`;
  // it also records its arguments.
  void fakePkexec(const std::string& text, int status) {
    const std::string path = dir_ + "/pkexec";
    ASSERT_TRUE(files::writeFileAtomically(path,
                                           "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + dir_ +
                                               "/args'\nprintf '" + text + "' >&2\nexit " +
                                               std::to_string(status) + "\n",
                                           0755));
    pkexec_ = path;
  }
  AuthorizedRun run() {
    return runAuthorized("/opt/app/varnel-install-helper", {"install-helper", "VarnelHelper"},
                         "install the VarnelVPN helper", pkexec_);
  }
  varnel::testing::TempDir tmp_{"pkexec"};
  const std::string dir_ = tmp_.path();
  std::string pkexec_ = kPkexecPath;
};

TEST_F(PolkitAuthorizationTest, SuccessRunsTheProgramThroughPkexecWithItsArguments) {
  fakePkexec("", 0);
  AuthorizedRun r = run();
  EXPECT_EQ(r.outcome, Outcome::kSucceeded);
  EXPECT_TRUE(r.message.empty());
  EXPECT_EQ(files::readFile(dir_ + "/args").value_or(""),
            "/opt/app/varnel-install-helper\ninstall-helper\nVarnelHelper\n");
}

TEST_F(PolkitAuthorizationTest, PkexecRefusalsBecomeSentencesForTheUser) {
  fakePkexec("Error executing command as another user: Request dismissed\\n", 126);
  AuthorizedRun r = run();
  EXPECT_EQ(r.outcome, Outcome::kDismissed);
  EXPECT_EQ(r.message, "The authorization to install the VarnelVPN helper was cancelled.");

  fakePkexec(
      "Error executing command as another user: Not authorized\\n\\nThis incident has been "
      "reported.\\n",
      127);
  r = run();
  EXPECT_EQ(r.outcome, Outcome::kNotAuthorized);
  EXPECT_EQ(r.message,
            "You are not authorized to install the VarnelVPN helper. An administrator must "
            "allow it.");

  fakePkexec(
      "Error creating textual authentication agent: Error opening current controlling terminal "
      "for the process (`/dev/tty\\047): No such device or address\\n",
      127);
  r = run();
  EXPECT_EQ(r.outcome, Outcome::kNoAgent);
  EXPECT_NE(r.message.find("No authentication agent is running"), std::string::npos);
}

TEST_F(PolkitAuthorizationTest, AFailingProgramReportsItsOwnReason) {
  fakePkexec("varnel-install-helper: /opt/app/VarnelHelper is missing\\n", 4);
  AuthorizedRun r = run();
  EXPECT_EQ(r.outcome, Outcome::kProgramFailed);
  EXPECT_EQ(r.exitStatus, 4);
  EXPECT_EQ(r.message, "Could not install the VarnelVPN helper: /opt/app/VarnelHelper is missing");
}

TEST_F(PolkitAuthorizationTest, MissingPkexecIsReported) {
  pkexec_ = dir_ + "/no-such-pkexec";
  AuthorizedRun r = run();
  EXPECT_EQ(r.outcome, Outcome::kUnavailable);
  EXPECT_NE(r.message.find("Install polkit's pkexec"), std::string::npos) << r.message;
}

}  // namespace
}  // namespace platform::security
