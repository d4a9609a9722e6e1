#include "sdk/crash/capture/ctr_host.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <cstdlib>
#include <string>

#include "crash_context_fixture.h"
#include "platform/system/current_locale.h"

namespace sdk {
namespace {

class HostTest : public testing::CrashContextTest {
 protected:
  void SetUp() override {
    CrashContextTest::SetUp();
    path_ = root().file("metadata.clsrecord");
  }
  std::string path_;
};

TEST(HostVersionTest, CrashCaptureStopsAtMinorEleven) {
  const std::pair<long, std::uint32_t> table[] = {{6, 1060}, {7, 1070},    {8, 1080},
                                                  {9, 1090}, {10, 101000}, {11, 101100},
                                                  {12, 0},   {5, 0},       {0, 0}};
  for (const auto& [minor, expected] : table) {
    EXPECT_EQ(CTRHostGetOSVersionNumberFor({10, minor, 0}), expected) << minor;
  }
  // The platform's twin knows one more.
  EXPECT_EQ(BCNHostGetOSVersionNumberFor({10, 12, 0}), 101200u);
  EXPECT_EQ(CTRHostGetOSVersionNumber(), CTRHostGetOSVersionNumberFor(BCNHostGetOSVersion()));
  EXPECT_EQ(CTRHostGetPageSize(), 4096u);
}

TEST_F(HostTest, HostSectionHoldsTheMachineFactsInOrder) {
  CTRFile file{};
  ASSERT_TRUE(CTRFileInit(&file, path_.c_str(), false));
  EXPECT_TRUE(CTRHostRecordInfo(&file));
  CTRFileClose(&file);

  const std::string line = readFile(path_);
  std::size_t at = 0;
  for (const char* key :
       {"\"host\":{\"model\":", "\"machine\":", "\"cpu\":", "\"os_build_version\":",
        "\"os_display_version\":", "\"platform\":", "\"locale\":"}) {
    const std::size_t found = line.find(key, at);
    ASSERT_NE(found, std::string::npos) << key << " in " << line;
    at = found;
  }
  const platform::Value sections = CTRFileReadSections(path_.c_str(), false);
  ASSERT_EQ(sections.count(), 1u) << line;
  const platform::Value host = sections[0]["host"];
  utsname names{};
  ASSERT_EQ(::uname(&names), 0);
  EXPECT_EQ(host["machine"].asString(), names.machine);
  EXPECT_EQ(host["platform"].asString(), "mac");
  EXPECT_EQ(host["os_display_version"].asString(), BCNHostGetOSDisplayVersion());
  EXPECT_EQ(host["locale"].asString(), platform::CurrentLocale::identifier());
  EXPECT_FALSE(host["cpu"].asString().empty());
  const auto build = BCNHostGetOSBuildVersion();
  if (build) {
    EXPECT_EQ(host["os_build_version"].asString(), *build);
  }
}

TEST_F(HostTest, UnreadableSystemValueIsWrittenAsFailed) {
  char buffer[kCTRHostSysctlBufferSize];
  CTRFile file{};
  ASSERT_TRUE(CTRFileInit(&file, path_.c_str(), false));
  CTRFileBeginSection(&file, "t");
  CTRFileBeginObject(&file);
  CTRHostWriteSysctlString(&file, "x", "no.such.value", buffer);
  CTRFileEndObject(&file);
  CTRFileEndSection(&file);
  CTRFileClose(&file);
  EXPECT_EQ(readFile(path_), "{\"t\":{\"x\":\"(failed)\"}}\n");

  char tiny[2];
  EXPECT_FALSE(CTRHostReadSysctlString("hw.machine", tiny, sizeof tiny)) << "does not fit";
  EXPECT_TRUE(CTRHostReadSysctlString("hw.machine", buffer, sizeof buffer));
}

TEST_F(HostTest, InitializeStoresPageSizeAndDocumentsFolder) {
  ::unsetenv("XDG_DOCUMENTS_DIR");
  CTRHostInitialize();
  EXPECT_EQ(context_.host.pageSize, 4096u);
  ASSERT_NE(context_.host.documentsDirectory, nullptr);
  EXPECT_EQ(std::string(context_.host.documentsDirectory), root().home())
      << "without a Documents folder, the home folder";
  // Without an allocator the copy came from the heap; give it back.
  std::free(const_cast<char*>(context_.host.documentsDirectory));
  context_.host.documentsDirectory = nullptr;

  const std::string documents = root().home() + "/Documents";
  ASSERT_EQ(::mkdir(documents.c_str(), 0755), 0);
  EXPECT_EQ(CTRHostDocumentsDirectory(), documents);
  ::setenv("XDG_DOCUMENTS_DIR", root().path().c_str(), 1);
  EXPECT_EQ(CTRHostDocumentsDirectory(), root().path());
  ::unsetenv("XDG_DOCUMENTS_DIR");

  ctrContext = nullptr;
  CTRHostInitialize();  // no context: nothing to store, no crash
}

TEST_F(HostTest, StorageSectionDescribesTheDocumentsFileSystem) {
  context_.host.documentsDirectory = nullptr;
  CTRFile file{};
  ASSERT_TRUE(CTRFileInit(&file, path_.c_str(), false));
  CTRHostRecordStorage(&file);
  const std::string missing = root().file("gone");
  context_.host.documentsDirectory = missing.c_str();
  CTRHostRecordStorage(&file);
  const std::string home = root().home();
  context_.host.documentsDirectory = home.c_str();
  CTRHostRecordStorage(&file);
  CTRFileClose(&file);

  const platform::Value sections = CTRFileReadSections(path_.c_str(), false);
  ASSERT_EQ(sections.count(), 3u) << readFile(path_);
  EXPECT_EQ(sections[0]["storage"].count(), 0u);
  EXPECT_EQ(sections[1]["storage"].count(), 0u);
  const platform::Value storage = sections[2]["storage"];
  EXPECT_GT(storage["total"].asUInt64(), 0u);
  EXPECT_LE(storage["free"].asUInt64(), storage["total"].asUInt64());
}

const char* gStoragePath = nullptr;
void recordStorageFromSignal(int) {
  CTRFile file;
  if (!CTRFileInit(&file, gStoragePath, false)) return;
  CTRHostRecordStorage(&file);
  CTRFileClose(&file);
}

TEST_F(HostTest, StorageIsRecordedFromASignalHandler) {
  const std::string home = root().home();
  context_.host.documentsDirectory = home.c_str();
  gStoragePath = path_.c_str();
  struct sigaction action {
  }, previous{};
  action.sa_handler = recordStorageFromSignal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  ::raise(SIGUSR1);
  ::sigaction(SIGUSR1, &previous, nullptr);
  const platform::Value sections = CTRFileReadSections(path_.c_str(), false);
  ASSERT_EQ(sections.count(), 1u);
  EXPECT_GT(sections[0]["storage"]["total"].asUInt64(), 0u);
}

}  // namespace
}  // namespace sdk
