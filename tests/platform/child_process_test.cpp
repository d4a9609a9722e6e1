#include "platform/system/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include "platform/system/file_util.h"
#include "support/temp_dir.h"

namespace platform::process {
namespace {

TEST(ChildProcessTest, ReportsHowTheProgramEnded) {
  EXPECT_EQ(exitStatus(runAndWait({"/bin/true"})), 0);
  EXPECT_EQ(exitStatus(runAndWait({"/bin/sh", "-c", "exit 3"})), 3);

  const int killed = runAndWait({"/bin/sh", "-c", "kill -TERM $$"});
  ASSERT_NE(killed, -1);
  EXPECT_TRUE(WIFSIGNALED(killed));
  EXPECT_EQ(WTERMSIG(killed), SIGTERM);
  EXPECT_EQ(exitStatus(killed), -1) << "a signal is no exit status";
}

TEST(ChildProcessTest, AProgramThatCannotStartIsMinusOne) {
  // Named by path only: no search of PATH.
  EXPECT_EQ(runAndWait({"/nonexistent/program"}), -1);
  EXPECT_EQ(runAndWait({"true"}), -1);
  EXPECT_EQ(runAndWait({}), -1);
  EXPECT_EQ(spawn({}), -1);
  EXPECT_EQ(exitStatus(-1), -1);
}

TEST(ChildProcessTest, ArgumentsAndEnvironmentReachTheProgram) {
  varnel::testing::TempDir dir("child-process");
  const std::string out = dir.path() + "/out";
  ::setenv("VARNEL_CHILD_PROCESS_TEST", "from-parent", 1);
  const pid_t pid =
      spawn({"/bin/sh", "-c", "printf '%s|%s' \"$1\" \"$VARNEL_CHILD_PROCESS_TEST\" > \"$2\"", "sh",
             "one two", out});
  ::unsetenv("VARNEL_CHILD_PROCESS_TEST");
  ASSERT_GT(pid, 0);
  const int status = waitFor(pid);
  EXPECT_EQ(exitStatus(status), 0);
  EXPECT_EQ(files::readFile(out).value_or("(none)"), "one two|from-parent");
  EXPECT_EQ(waitFor(pid), -1) << "a child is waited for once";
}

}  // namespace
}  // namespace platform::process
