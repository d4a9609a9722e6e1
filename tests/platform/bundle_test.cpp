#include "platform/system/bundle.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/system/file_util.h"
#include "platform/system/process_info.h"
#include "platform/system/property_list.h"
#include "support/temp_root.h"

namespace platform {
namespace {

using varnel::testing::TempRootTest;

class BundleTest : public TempRootTest {
 protected:
  void SetUp() override {
    bin_ = root().file("app/bin");
    std::filesystem::create_directories(bin_);
    ASSERT_TRUE(files::writeFileAtomically(bin_ + "/client", "#!/bin/sh\n", 0755));
  }

  Value info(const std::string& id) {
    return Value::dictionary({{kCFBundleIdentifierKey, Value(id)},
                              {kCFBundleShortVersionStringKey, Value("1.2.0")},
                              {kCFBundleVersionKey, Value("200")},
                              {"Extra", Value::array({Value(1)})}});
  }

  std::string bin_;
};

TEST_F(BundleTest, ReadsTheInfoFileBesideTheProgram) {
  ASSERT_TRUE(plist::writeFile(bin_ + "/client.plist", info("com.example.client")));
  auto bundle = Bundle::forExecutable(bin_ + "/client");
  EXPECT_EQ(bundle->bundleIdentifier(), "com.example.client");
  EXPECT_EQ(bundle->shortVersion(), "1.2.0");
  EXPECT_EQ(bundle->version(), "200");
  EXPECT_EQ(bundle->name(), "client");  // no CFBundleName: the executable's name
  EXPECT_EQ(bundle->executableName(), "client");
  EXPECT_EQ(bundle->executablePath(), bin_ + "/client");
  EXPECT_EQ(bundle->bundlePath(), bin_);
  EXPECT_EQ(bundle->resourcePath(), bin_);
  EXPECT_EQ(bundle->infoFilePath(), bin_ + "/client.plist");
  EXPECT_EQ(bundle->objectForInfoDictionaryKey("Extra")[0].asInt64(), 1);
  EXPECT_EQ(bundle->infoDictionary().count(), 4u);
}

TEST_F(BundleTest, LookupOrderAndSharedResources) {
  const std::string shared = root().file("app/share/client");
  std::filesystem::create_directories(shared);
  ASSERT_TRUE(plist::writeFile(shared + "/Info.plist", info("from.share")));
  ASSERT_TRUE(files::writeFileAtomically(shared + "/openvpn", "binary", 0755));

  auto fromShare = Bundle::forExecutable(bin_ + "/client");
  EXPECT_EQ(fromShare->bundleIdentifier(), "from.share");
  EXPECT_EQ(fromShare->resourcePath(), bin_ + "/../share/client");
  EXPECT_EQ(fromShare->pathForResource("openvpn"), bin_ + "/../share/client/openvpn");
  EXPECT_EQ(fromShare->pathForResource("missing", "conf"), "");
  EXPECT_EQ(fromShare->pathForResource(""), "");

  ASSERT_TRUE(plist::writeFile(bin_ + "/Info.plist", info("from.info")));
  EXPECT_EQ(Bundle::forExecutable(bin_ + "/client")->bundleIdentifier(), "from.info");
  ASSERT_TRUE(plist::writeFile(bin_ + "/client.plist", info("from.program")));
  EXPECT_EQ(Bundle::forExecutable(bin_ + "/client")->bundleIdentifier(), "from.program");
}

TEST_F(BundleTest, MissingOrBrokenInfoGivesAnEmptyDictionary) {
  auto none = Bundle::forExecutable(bin_ + "/client");
  EXPECT_TRUE(none->infoDictionary().isDictionary());
  EXPECT_EQ(none->infoDictionary().count(), 0u);
  EXPECT_EQ(none->bundleIdentifier(), "");
  EXPECT_EQ(none->infoFilePath(), "");

  ASSERT_TRUE(files::writeFileAtomically(bin_ + "/client.plist", "<plist><dict><key>", 0644));
  auto broken = Bundle::forExecutable(bin_ + "/client");
  EXPECT_EQ(broken->infoDictionary().count(), 0u);

  // Keys of the wrong kind read as absent.
  Bundle odd(
      "/x/prog", "/x",
      Value::dictionary({{kCFBundleIdentifierKey, Value(5)}, {kCFBundleNameKey, Value("Pretty")}}));
  EXPECT_EQ(odd.bundleIdentifier(), "");
  EXPECT_EQ(odd.name(), "Pretty");
  EXPECT_EQ(Bundle("/x/prog", "/x", Value("not a dictionary")).infoDictionary().count(), 0u);
}

TEST_F(BundleTest, MainIsTheRunningProgramsMadeOnce) {
  auto real = Bundle::main();
  ASSERT_TRUE(real);
  EXPECT_EQ(real->executableName(), ProcessInfo::processName());
  EXPECT_EQ(real.get(), Bundle::main().get());  // made once
}

TEST(ProcessInfoTest, OperatingSystemVersionString) {
  EXPECT_EQ(ProcessInfo::operatingSystemVersionStringFrom(
                "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nVERSION_ID=\"12\"\n", "6.1.0-18"),
            "Version 12 (Build 6.1.0-18)");
  EXPECT_EQ(ProcessInfo::operatingSystemVersionStringFrom("VERSION='22.04 LTS'\n", "5.15"),
            "Version 22.04 LTS (Build 5.15)");
  // Nothing to go by: the kernel's name; never any non-ASCII byte.
  std::string bare = ProcessInfo::operatingSystemVersionStringFrom("", "k\xC3\xA9rnel");
  EXPECT_EQ(bare.rfind("Version ", 0), 0u);
  EXPECT_NE(bare.find("(Build krnel)"), std::string::npos) << bare;
  std::string live = ProcessInfo::operatingSystemVersionString();
  EXPECT_EQ(live.rfind("Version ", 0), 0u);
  for (char c : live) EXPECT_TRUE(c >= 0x20 && c < 0x7f) << live;
}

TEST(ProcessInfoTest, PreferredLanguagesFromTheEnvironment) {
  struct Saved {
    const char* name;
    std::string value;
    bool set;
  } saved[] = {{"LANGUAGE", "", false},
               {"LC_ALL", "", false},
               {"LC_MESSAGES", "", false},
               {"LANG", "", false}};
  for (auto& s : saved) {
    if (const char* v = std::getenv(s.name)) s.value = v, s.set = true;
    ::unsetenv(s.name);
  }
  using L = std::vector<std::string>;
  EXPECT_EQ(ProcessInfo::preferredLanguages(), L{"en"});
  ::setenv("LANG", "de_DE.UTF-8@euro", 1);
  EXPECT_EQ(ProcessInfo::preferredLanguages(), L{"de-DE"});
  ::setenv("LC_ALL", "C", 1);
  EXPECT_EQ(ProcessInfo::preferredLanguages(), L{"en"});
  ::setenv("LANGUAGE", "fr_CA:fr::en_US:fr", 1);
  EXPECT_EQ(ProcessInfo::preferredLanguages(), (L{"fr-CA", "fr", "en-US"}));
  for (auto& s : saved) {
    if (s.set) {
      ::setenv(s.name, s.value.c_str(), 1);
    } else {
      ::unsetenv(s.name);
    }
  }
}

TEST(ProcessInfoTest, MachineFacts) {
  EXPECT_EQ(ProcessInfo::processIdentifier(), ::getpid());
  EXPECT_FALSE(ProcessInfo::processName().empty());
  EXPECT_FALSE(ProcessInfo::hostName().empty());
  EXPECT_GT(ProcessInfo::physicalMemory(), 16u * 1024 * 1024);
  EXPECT_GE(ProcessInfo::processorCount(), 1u);
  EXPECT_GE(ProcessInfo::activeProcessorCount(), 1u);
  EXPECT_LE(ProcessInfo::activeProcessorCount(), ProcessInfo::processorCount());
}

}  // namespace
}  // namespace platform
