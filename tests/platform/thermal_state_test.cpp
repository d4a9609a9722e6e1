#include "platform/system/thermal_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/system/file_util.h"
#include "platform/system/notification_center.h"
#include "support/temp_root.h"

namespace platform {
namespace {

using varnel::testing::TempRootTest;

class ThermalStateTest : public TempRootTest {
 protected:
  std::string thermal() { return root().file("thermal"); }

  // A zone at `temp` millidegrees with the given trip points.
  void zone(int index, long temp, std::vector<std::pair<std::string, long>> trips) {
    std::string dir = thermal() + "/thermal_zone" + std::to_string(index);
    std::filesystem::create_directories(dir);
    write(dir + "/temp", std::to_string(temp) + "\n");
    for (std::size_t i = 0; i < trips.size(); ++i) {
      std::string base = dir + "/trip_point_" + std::to_string(i);
      write(base + "_type", trips[i].first + "\n");
      write(base + "_temp", std::to_string(trips[i].second) + "\n");
    }
  }
  void setTemp(int index, long temp) {
    write(thermal() + "/thermal_zone" + std::to_string(index) + "/temp",
          std::to_string(temp) + "\n");
  }
  static void write(const std::string& path, const std::string& text) {
    ASSERT_TRUE(files::writeFileAtomically(path, text, 0644));
  }
};

TEST_F(ThermalStateTest, ZonesMapTheirReachedTripPointsAndTheHottestZoneWins) {
  std::vector<std::pair<std::string, long>> trips = {
      {"active", 40000}, {"passive", 80000}, {"hot", 95000}, {"critical", 105000}};
  zone(0, 45000, trips);  // only a fan trip reached: nominal
  EXPECT_EQ(ThermalStateMonitor::readState(thermal()), ThermalState::Nominal);
  zone(1, 85000, trips);
  EXPECT_EQ(ThermalStateMonitor::readState(thermal()), ThermalState::Fair);
  setTemp(1, 96000);
  EXPECT_EQ(ThermalStateMonitor::readState(thermal()), ThermalState::Serious);
  setTemp(0, 105000);
  EXPECT_EQ(ThermalStateMonitor::readState(thermal()), ThermalState::Critical);
}

TEST_F(ThermalStateTest, NothingReadableIsNominal) {
  EXPECT_EQ(ThermalStateMonitor::readState(root().file("missing")), ThermalState::Nominal);
  std::filesystem::create_directories(thermal() + "/thermal_zone0");
  write(thermal() + "/thermal_zone0/temp", "garbage");
  write(thermal() + "/thermal_zone0/trip_point_0_type", "critical");
  write(thermal() + "/thermal_zone0/trip_point_0_temp", "1");
  EXPECT_EQ(ThermalStateMonitor::readState(thermal()), ThermalState::Nominal);
  // A zero or negative trip temperature (unset in the firmware) never counts.
  zone(1, 50000, {{"critical", 0}});
  EXPECT_EQ(ThermalStateMonitor::readState(thermal()), ThermalState::Nominal);
}

TEST_F(ThermalStateTest, RefreshPostsTheNotificationOnlyWhenTheStateChanges) {
  zone(0, 30000, {{"passive", 80000}});
  auto monitor = ThermalStateMonitor::create(thermal());
  monitor->refresh();  // settle on the test root's state

  std::atomic<int> posts{0};
  auto& center = NotificationCenter::defaultCenter();
  auto token = center.addObserver(kProcessInfoThermalStateDidChangeNotification, nullptr, nullptr,
                                  [&](const Notification&) { ++posts; });
  EXPECT_EQ(monitor->refresh(), ThermalState::Nominal);
  EXPECT_EQ(posts, 0);
  setTemp(0, 81000);
  EXPECT_EQ(monitor->refresh(), ThermalState::Fair);
  EXPECT_EQ(monitor->thermalState(), ThermalState::Fair);
  EXPECT_EQ(posts, 1);
  EXPECT_EQ(monitor->refresh(), ThermalState::Fair);
  EXPECT_EQ(posts, 1);
  setTemp(0, 20000);
  EXPECT_EQ(monitor->refresh(), ThermalState::Nominal);
  EXPECT_EQ(posts, 2);
  center.removeObserver(token);
}

// Guarantee 3: no lock is held while posting, so an observer may ask again
// from another thread (and wait for it) without a deadlock; what that finds
// is posted too, after the post under way.
TEST_F(ThermalStateTest, ObserverMayRefreshFromAnotherThread) {
  zone(0, 30000, {{"passive", 80000}});
  auto monitor = ThermalStateMonitor::create(thermal());
  monitor->refresh();

  std::atomic<int> posts{0};
  std::vector<std::thread> threads;
  bool returned = false;
  ThermalState seen = ThermalState::Nominal;
  auto& center = NotificationCenter::defaultCenter();
  auto token = center.addObserver(
      kProcessInfoThermalStateDidChangeNotification, nullptr, nullptr, [&](const Notification&) {
        if (++posts != 1) return;
        setTemp(0, 20000);  // cools down while the first post is delivered
        auto done = std::make_shared<dispatch::Semaphore>();
        threads.emplace_back([&, done] {
          seen = monitor->refresh();
          done->signal();
        });
        returned = done->wait(std::chrono::seconds(20));
      });
  setTemp(0, 81000);
  EXPECT_EQ(monitor->refresh(), ThermalState::Fair);
  for (auto& t : threads) t.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(seen, ThermalState::Nominal);
  EXPECT_EQ(posts, 2);  // the second change, posted by the first loop
  EXPECT_EQ(monitor->thermalState(), ThermalState::Nominal);
  center.removeObserver(token);
}

TEST_F(ThermalStateTest, NamesAndSupport) {
  EXPECT_TRUE(ThermalStateMonitor::supportsThermalState());
  EXPECT_STREQ(ThermalStateMonitor::name(ThermalState::Serious), "serious");
  EXPECT_EQ(static_cast<long>(ThermalState::Critical), 3);
}

}  // namespace
}  // namespace platform
