#include "sdk/platform/bcn_pinned_certificates.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/system/bundle.h"
#include "platform/system/file_util.h"
#include "support/temp_root.h"
#include "support/test_certificates.h"

namespace sdk {
namespace {

class PinnedCertificatesTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    ca_ = test_support::makeCertificateAuthority("Local SDK Service Test CA");
    caFile_ = root().file("ca.pem");
    ASSERT_TRUE(platform::files::writeFileAtomically(caFile_, ca_.certificatePEM, 0644));
  }
  // A program bundle whose "Crashtrail" dictionary holds these endpoints and
  // (unless empty) the authority file.
  void install(const std::string& settings, const std::string& configure,
               const std::string& reports, const std::string& ca) {
    auto crashtrail = platform::Value::mutableDictionary();
    crashtrail.set("SettingsEndpoint", platform::Value(settings));
    crashtrail.set("ConfigureEndpoint", platform::Value(configure));
    crashtrail.set("ReportsEndpoint", platform::Value(reports));
    if (!ca.empty()) crashtrail.set("LocalServiceCertificateAuthority", platform::Value(ca));
    auto info = platform::Value::mutableDictionary();
    info.set("CFBundleIdentifier", platform::Value("com.varnel.pinning-test"));
    info.set("Crashtrail", crashtrail);
    bundle_ = std::make_shared<platform::Bundle>("/proc/self/exe", "", std::move(info));
  }
  test_support::TestIdentity ca_;
  platform::BundlePtr bundle_;
  std::string caFile_;
};

TEST_F(PinnedCertificatesTest, TheLocalServiceIsTrustedOnlyWhenFullyConfiguredOnLoopback) {
  const std::size_t builtIn = BCNBuiltInPinnedCertificates()->size();
  const std::string local = "https://127.0.0.1:8443";

  // No configuration (the test program's own bundle): the built-in list alone.
  EXPECT_EQ(BCNPinnedCertificates()->size(), builtIn);

  // Everything on loopback and the authority named: it follows the list.
  install(local, "https://localhost", "https://[::1]:9/", caFile_);
  ASSERT_EQ(BCNLocalServiceCertificates(bundle_).size(), 1u);
  EXPECT_EQ(BCNPinnedCertificates(bundle_)->size(), builtIn + 1);

  // One endpoint elsewhere, plain HTTP, a look-alike host or no authority:
  // production pinning, unchanged.
  for (const std::string& other :
       {std::string("https://api.example.com"), std::string("http://127.0.0.1:8443"),
        std::string("https://127.0.0.1.example.com"), std::string("https://127.0.0.1:84x")}) {
    install(local, local, other, caFile_);
    EXPECT_TRUE(BCNLocalServiceCertificates(bundle_).empty()) << other;
    EXPECT_EQ(BCNPinnedCertificates(bundle_)->size(), builtIn) << other;
  }
  install(local, local, local, "");
  EXPECT_EQ(BCNPinnedCertificates(bundle_)->size(), builtIn);
  install(local, local, local, root().file("missing.pem"));
  EXPECT_EQ(BCNPinnedCertificates(bundle_)->size(), builtIn);
}

}  // namespace
}  // namespace sdk
