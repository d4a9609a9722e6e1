#include "platform/system/process_activity.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace platform {
namespace {

class ProcessActivitiesTest : public ::testing::Test {
 protected:
  void SetUp() override { ProcessActivities::resetForTesting(); }
  void TearDown() override { ProcessActivities::resetForTesting(); }
};

TEST_F(ProcessActivitiesTest, AnActivityIsActiveFromBeginToEndAndEndingTwiceIsHarmless) {
  auto a = ProcessActivities::beginActivity(kActivityBackground, "first");
  auto b = ProcessActivities::beginActivity(kActivityUserInitiated, "second");
  auto active = ProcessActivities::activeActivities();
  ASSERT_EQ(active.size(), 2u);
  EXPECT_EQ(active[0].reason, "first");
  EXPECT_EQ(active[0].options, kActivityBackground);
  EXPECT_EQ(active[1].reason, "second");

  ProcessActivities::endActivity(a);
  ProcessActivities::endActivity(a);
  ProcessActivities::endActivity(nullptr);
  active = ProcessActivities::activeActivities();
  ASSERT_EQ(active.size(), 1u);
  EXPECT_EQ(active[0].reason, "second");
}

TEST_F(ProcessActivitiesTest, ReleasingTheLastTokenEndsTheActivity) {
  {
    auto token = ProcessActivities::beginActivity(kActivitySuddenTerminationDisabled, "scoped");
    EXPECT_FALSE(ProcessActivities::suddenTerminationAllowed());
  }
  EXPECT_TRUE(ProcessActivities::activeActivities().empty());
  EXPECT_TRUE(ProcessActivities::suddenTerminationAllowed());
}

TEST_F(ProcessActivitiesTest, TerminationSwitchesCountAndShowUnbalancedEnables) {
  ProcessActivities::disableSuddenTermination();
  ProcessActivities::disableSuddenTermination();
  ProcessActivities::enableSuddenTermination();
  EXPECT_EQ(ProcessActivities::suddenTerminationDisabledCount(), 1);
  EXPECT_FALSE(ProcessActivities::suddenTerminationAllowed());
  ProcessActivities::enableSuddenTermination();
  ProcessActivities::enableSuddenTermination();
  EXPECT_EQ(ProcessActivities::suddenTerminationDisabledCount(), -1);
  EXPECT_TRUE(ProcessActivities::suddenTerminationAllowed());

  ProcessActivities::disableAutomaticTermination("a");
  ProcessActivities::disableAutomaticTermination("b");
  ProcessActivities::enableAutomaticTermination("a");
  EXPECT_EQ(ProcessActivities::automaticTerminationDisabledCount(), 1);
  EXPECT_EQ(ProcessActivities::automaticTerminationReasons(), std::vector<std::string>{"b"});
  EXPECT_FALSE(ProcessActivities::automaticTerminationAllowed());
}

TEST_F(ProcessActivitiesTest, ActivityOptionsBlockTerminationWithoutTouchingTheCounters) {
  auto token = ProcessActivities::beginActivity(kActivityAutomaticTerminationDisabled, "upload");
  EXPECT_FALSE(ProcessActivities::automaticTerminationAllowed());
  EXPECT_TRUE(ProcessActivities::suddenTerminationAllowed());
  EXPECT_EQ(ProcessActivities::automaticTerminationDisabledCount(), 0);
  ProcessActivities::endActivity(token);
  EXPECT_TRUE(ProcessActivities::automaticTerminationAllowed());
}

TEST_F(ProcessActivitiesTest, BeginAndEndFromManyThreadsLeaveNothingBehind) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 200; ++i) {
        auto token = ProcessActivities::beginActivity(kActivityBackground, "worker");
        ProcessActivities::disableSuddenTermination();
        ProcessActivities::enableSuddenTermination();
        ProcessActivities::endActivity(token);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_TRUE(ProcessActivities::activeActivities().empty());
  EXPECT_EQ(ProcessActivities::suddenTerminationDisabledCount(), 0);
}

}  // namespace
}  // namespace platform
