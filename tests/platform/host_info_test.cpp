#include "platform/system/host_info.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/temp_root.h"

namespace platform {
namespace {

class HostInfoTest : public varnel::testing::TempRootTest {
 protected:
  // The host whose files are below the test's own "fs" folder.
  HostInfo host() { return HostInfo(root().file("fs")); }
  void write(const std::string& absolutePath, const std::string& text) {
    std::string path = root().file("fs") + absolutePath;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }
  static struct utsname names() {
    struct utsname n {};
    EXPECT_EQ(::uname(&n), 0);
    return n;
  }
};

TEST(HostInfoParse, VersionTriples) {
  auto check = [](const char* text, long major, long minor, long patch) {
    OperatingSystemVersion v = HostInfo::parseVersionTriple(text);
    EXPECT_EQ(v.majorVersion, major) << text;
    EXPECT_EQ(v.minorVersion, minor) << text;
    EXPECT_EQ(v.patchVersion, patch) << text;
  };
  check("12", 12, 0, 0);
  check("22.04", 22, 4, 0);
  check("10.13.6", 10, 13, 6);
  check("6.1.0-18-amd64", 6, 1, 0);
  check("1.2.3.4", 1, 2, 3);
  check("3.", 3, 0, 0);
  check("", 0, 0, 0);
  check("rolling", 0, 0, 0);
  // Overlong numbers stop growing instead of overflowing.
  OperatingSystemVersion huge = HostInfo::parseVersionTriple("99999999999999999999.1");
  EXPECT_GT(huge.majorVersion, 0);
  EXPECT_EQ(huge.minorVersion, 1);
}

TEST_F(HostInfoTest, OSVersionFromOsReleaseQuotedOrNot) {
  write("/etc/os-release", "NAME=\"Some Linux\"\nVERSION_ID=\"10.9.3\"\nID=some\n");
  OperatingSystemVersion v = host().operatingSystemVersion();
  EXPECT_EQ(v.majorVersion, 10);
  EXPECT_EQ(v.minorVersion, 9);
  EXPECT_EQ(v.patchVersion, 3);
  write("/etc/os-release", "VERSION_ID=12\n");
  EXPECT_EQ(host().operatingSystemVersion().majorVersion, 12);
  EXPECT_EQ(host().operatingSystemVersion().minorVersion, 0);
}

TEST_F(HostInfoTest, OSVersionFallsBackToUsrLibThenKernel) {
  write("/usr/lib/os-release", "VERSION_ID='22.04'\n");
  EXPECT_EQ(host().operatingSystemVersion().minorVersion, 4);
  // A rolling release without a numeric VERSION_ID: the kernel's release.
  write("/usr/lib/os-release", "ID=arch\nVERSION_ID=rolling\n");
  OperatingSystemVersion kernel = HostInfo::parseVersionTriple(names().release);
  OperatingSystemVersion v = host().operatingSystemVersion();
  EXPECT_EQ(v.majorVersion, kernel.majorVersion);
  EXPECT_EQ(v.minorVersion, kernel.minorVersion);
}

TEST_F(HostInfoTest, NamedValuesFromUname) {
  struct utsname n = names();
  EXPECT_EQ(host().sysctlString("kern.osversion"), std::string(n.release));
  EXPECT_EQ(host().sysctlString("kern.osrelease"), std::string(n.release));
  EXPECT_EQ(host().sysctlString("kern.ostype"), std::string(n.sysname));
  EXPECT_EQ(host().sysctlString("hw.machine"), std::string(n.machine));
  EXPECT_EQ(host().sysctlString("hw.ncpu"), std::to_string(ProcessInfo::processorCount()));
  EXPECT_FALSE(host().sysctlString("kern.nonsense"));
  EXPECT_FALSE(host().sysctlString(""));
}

TEST_F(HostInfoTest, ModelFromDMIElseDeviceTreeTrimmed) {
  EXPECT_FALSE(host().sysctlString("hw.model"));
  write("/proc/device-tree/model", std::string("Some Board Rev 1.2\0", 19));
  EXPECT_EQ(host().sysctlString("hw.model"), "Some Board Rev 1.2");
  write("/sys/class/dmi/id/product_name", "  Standard PC (Q35)\n");
  EXPECT_EQ(host().sysctlString("hw.model"), "Standard PC (Q35)");
  // A blank product name is no model: the next source answers.
  write("/sys/class/dmi/id/product_name", "\n");
  EXPECT_EQ(host().sysctlString("hw.model"), "Some Board Rev 1.2");
}

}  // namespace
}  // namespace platform
