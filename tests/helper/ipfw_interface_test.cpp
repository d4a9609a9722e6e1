#include "helper/ipfw_interface.h"

#include <gtest/gtest.h>

#include <vector>

#include "helper_test_util.h"
#include "platform/system/file_util.h"
#include "support/temp_root.h"
#include "support/wait.h"

using helper::IPFWInterface;

namespace {

constexpr const char* kTable =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
    "eth0\t00000000\t0100A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
    "eth0\t0000A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
    "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
    "tun9\t00000000\t00000000\t0000\t0\t0\t0\t00000000\t0\t0\t0\n";

TEST(IPFWInterface, DefaultRoutesInTableOrder) {
  EXPECT_EQ(IPFWInterface::defaultRouteInterfaces(kTable),
            (std::vector<std::string>{"eth0", "wlan0"}));
  EXPECT_TRUE(IPFWInterface::defaultRouteInterfaces("Iface\tDestination\n").empty());
  EXPECT_TRUE(IPFWInterface::defaultRouteInterfaces("garbage").empty());
}

TEST(IPFWInterface, CallbackRunsOnMainQueueOncePerDefaultRoute) {
  varnel::testing::TempRoot root;
  const std::string path = root.file("route");
  ASSERT_TRUE(platform::files::writeFileAtomically(path, kTable, 0644));
  std::vector<std::string> names;
  bool onMain = true;
  IPFWInterface::GetStandardInterface(
      [&](const std::string& name) {
        onMain = onMain && platform::dispatch::Queue::main()->isCurrent();
        names.push_back(name);
      },
      path);
  EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return names.size() == 2; }));
  EXPECT_TRUE(onMain);
  EXPECT_EQ(names, (std::vector<std::string>{"eth0", "wlan0"}));
}

}  // namespace
