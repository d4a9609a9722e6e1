#include "sdk/analytics/tly_activity.h"

#include <gtest/gtest.h>

#include "platform/system/operation_queue.h"
#include "platform/system/process_activity.h"
#include "sdk/analytics/tly_activity_operation.h"

namespace sdk {
namespace {

using platform::ProcessActivities;

class TLYActivityTest : public ::testing::Test {
 protected:
  void SetUp() override { ProcessActivities::resetForTesting(); }
  void TearDown() override { ProcessActivities::resetForTesting(); }
};

TEST_F(TLYActivityTest, TerminationIsDisabledAndEnabledExactlyOnceHoweverOftenItEnds) {
  auto activity = TLYActivity::beginActivity("io.tally.RecordEvent", 0xC000);
  EXPECT_EQ(ProcessActivities::suddenTerminationDisabledCount(), 1);
  EXPECT_EQ(ProcessActivities::automaticTerminationDisabledCount(), 1);
  EXPECT_EQ(ProcessActivities::automaticTerminationReasons(),
            std::vector<std::string>{"io.tally.RecordEvent"});
  ASSERT_EQ(ProcessActivities::activeActivities().size(), 1u);
  EXPECT_EQ(ProcessActivities::activeActivities()[0].options, 0xC000u);
  EXPECT_EQ(activity->backgroundTaskIdentifier(), 0u);

  activity->end();
  activity->end();
  activity.reset();  // freeing ends again: still nothing more
  EXPECT_EQ(ProcessActivities::suddenTerminationDisabledCount(), 0);
  EXPECT_EQ(ProcessActivities::automaticTerminationDisabledCount(), 0);
  EXPECT_TRUE(ProcessActivities::activeActivities().empty());
}

TEST_F(TLYActivityTest, OnlyTheBitsThatAreSetAreHandledAndFreeingEnds) {
  {
    auto activity = TLYActivity::beginActivity("background", 0xFF);
    EXPECT_EQ(ProcessActivities::suddenTerminationDisabledCount(), 0);
    EXPECT_EQ(ProcessActivities::automaticTerminationDisabledCount(), 0);
    EXPECT_TRUE(activity->isActive());
    auto sudden = TLYActivity::beginActivity("sudden", 0x4000);
    EXPECT_EQ(ProcessActivities::suddenTerminationDisabledCount(), 1);
    EXPECT_EQ(ProcessActivities::automaticTerminationDisabledCount(), 0);
  }
  EXPECT_EQ(ProcessActivities::suddenTerminationDisabledCount(), 0);
  EXPECT_TRUE(ProcessActivities::activeActivities().empty());
}

TEST_F(TLYActivityTest, PerformActivityHoldsItOnlyAroundTheBlock) {
  bool ran = false;
  TLYActivity::performActivity("perform", 0xC000, [&] {
    ran = true;
    EXPECT_FALSE(ProcessActivities::suddenTerminationAllowed());
  });
  EXPECT_TRUE(ran);
  EXPECT_TRUE(ProcessActivities::suddenTerminationAllowed());
  EXPECT_TRUE(ProcessActivities::automaticTerminationAllowed());
}

TEST_F(TLYActivityTest, TheOperationHoldsTheActivityUntilTheWorkItDependsOnHasRun) {
  auto queue = platform::OperationQueue::create("activity-test");
  queue->setMaxConcurrentOperationCount(1);
  queue->setSuspended(true);
  auto work = platform::BlockOperation::create([] {});
  auto activity =
      TLYActivityOperation::operationByStartingActivityName("io.tally.RotateAndSubmit", 0xC0FF);
  activity->addDependency(work);
  EXPECT_EQ(activity->activity()->reason(), "io.tally.RotateAndSubmit");
  EXPECT_EQ(activity->activity()->options(), 0xC0FFu);
  queue->addOperations({work, activity}, false);
  EXPECT_FALSE(ProcessActivities::automaticTerminationAllowed());
  queue->setSuspended(false);
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(std::chrono::seconds(10)));
  EXPECT_FALSE(activity->activity()->isActive());
  EXPECT_TRUE(ProcessActivities::automaticTerminationAllowed());
  EXPECT_EQ(ProcessActivities::suddenTerminationDisabledCount(), 0);
}

}  // namespace
}  // namespace sdk
