#include "sdk/platform/bcn_certificate_pinner.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/security/trust.h"
#include "platform/system/paths.h"
#include "sdk/platform/bcn_pinned_certificates.h"
#include "support/temp_root.h"
#include "support/test_certificates.h"

namespace {

using platform::security::Certificate;
using platform::security::ServerTrust;
using platform::security::TrustResult;
using platform::urlloading::AuthenticationChallenge;
using platform::urlloading::ProtectionSpace;
using sdk::BCNCertificatePinner;
using sdk::CTRURLSessionAuthChallengeDisposition;

Certificate certificate(const test_support::TestIdentity& id) {
  return *Certificate::fromDER(id.certificateDER);
}

class BCNCertificatePinnerTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    ca = test_support::makeCertificateAuthority("Pinner CA");
    other = test_support::makeCertificateAuthority("Unrelated CA");
    leaf = test_support::makeLeafCertificate(ca, "localhost", {"localhost"}, {"127.0.0.1"});
  }
  ServerTrust trustFor(const std::string& host) {
    return ServerTrust({certificate(leaf), certificate(ca)}, host);
  }
  TrustResult evaluate(const BCNCertificatePinner& pinner, const ServerTrust& trust,
                       int* status = nullptr) {
    TrustResult result = TrustResult::kOtherError;
    const int s = pinner.evaluateTrust(trust, &result);
    if (status) *status = s;
    return result;
  }

  test_support::TestIdentity ca, other, leaf;
};

TEST_F(BCNCertificatePinnerTest, CertificatesComeFromDERBytesOnly) {
  const auto& der = ca.certificateDER;
  auto made = BCNCertificatePinner::createCertificationWithData(der.data(), der.size());
  ASSERT_TRUE(made);
  EXPECT_EQ(made->DER(), der);
  const std::uint8_t junk[] = {0x30, 0x03, 0x01, 0x02, 0x03};
  EXPECT_FALSE(BCNCertificatePinner::createCertificationWithData(junk, sizeof junk));
  EXPECT_FALSE(BCNCertificatePinner::createCertificationWithData(nullptr, 0));
  EXPECT_FALSE(BCNCertificatePinner::createCertificationWithData(der.data(), der.size() - 1));
}

TEST_F(BCNCertificatePinnerTest, ChainMustEndAtAnAnchorAndMatchTheHost) {
  int status = -1;
  EXPECT_EQ(evaluate(BCNCertificatePinner({certificate(ca)}), trustFor("127.0.0.1"), &status),
            TrustResult::kProceed);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(
      evaluate(BCNCertificatePinner({certificate(other), certificate(ca)}), trustFor("localhost")),
      TrustResult::kProceed);
  EXPECT_EQ(evaluate(BCNCertificatePinner({certificate(other)}), trustFor("127.0.0.1"), &status),
            TrustResult::kRecoverableTrustFailure);
  EXPECT_EQ(status, 0);
  // The leaf is not issued for this host.
  EXPECT_EQ(evaluate(BCNCertificatePinner({certificate(ca)}), trustFor("example.org")),
            TrustResult::kRecoverableTrustFailure);
  // An empty list: invalid result, status 0; an empty chain: no evaluation.
  EXPECT_EQ(evaluate(BCNCertificatePinner({}), trustFor("127.0.0.1"), &status),
            TrustResult::kInvalid);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(evaluate(BCNCertificatePinner({certificate(ca)}), ServerTrust({}, "x"), &status),
            TrustResult::kInvalid);
  EXPECT_NE(status, 0);
}

TEST_F(BCNCertificatePinnerTest, SystemTrustedRootOutsideThePinsIsRejected) {
  const std::string path = platform::security::trustedCABundlePath();
  platform::paths::createDirectories(path.substr(0, path.rfind('/')));
  std::ofstream(path) << ca.certificatePEM;
  ServerTrust trust = trustFor("127.0.0.1");
  ASSERT_TRUE(ServerTrust(trust).isTrusted());  // the system trusts the chain
  EXPECT_EQ(evaluate(BCNCertificatePinner({certificate(other)}), trust),
            TrustResult::kRecoverableTrustFailure);
}

TEST_F(BCNCertificatePinnerTest, EvaluationLeavesTheCallersTrustAlone) {
  BCNCertificatePinner pinner({certificate(ca)});
  ServerTrust trust = trustFor("127.0.0.1");
  EXPECT_EQ(evaluate(pinner, trust), TrustResult::kProceed);
  EXPECT_FALSE(trust.isTrusted());  // no anchors were added to it
}

TEST_F(BCNCertificatePinnerTest, ChallengesAreAcceptedWithACredentialOrCancelled) {
  auto challengeWith = [](std::shared_ptr<ServerTrust> trust, const char* method) {
    ProtectionSpace space;
    space.host = "127.0.0.1";
    space.protocol = "https";
    space.authenticationMethod = method;
    space.serverTrust = std::move(trust);
    return AuthenticationChallenge(space, 0, std::nullopt, nullptr);
  };
  BCNCertificatePinner pinner({certificate(ca)});
  auto trust = std::make_shared<ServerTrust>(trustFor("127.0.0.1"));
  int calls = 0;
  CTRURLSessionAuthChallengeDisposition disposition{};
  std::optional<platform::urlloading::URLCredential> credential;
  auto record = [&](CTRURLSessionAuthChallengeDisposition d,
                    const std::optional<platform::urlloading::URLCredential>& c) {
    ++calls;
    disposition = d;
    credential = c;
  };
  EXPECT_TRUE(pinner.handleChallenge(
      challengeWith(trust, platform::urlloading::kAuthenticationMethodServerTrust), nullptr,
      record));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(disposition, CTRURLSessionAuthChallengeDisposition::kUseCredential);
  ASSERT_TRUE(credential);
  EXPECT_EQ(credential->serverTrust(), trust);

  BCNCertificatePinner wrong({certificate(other)});
  EXPECT_FALSE(wrong.handleChallenge(
      challengeWith(trust, platform::urlloading::kAuthenticationMethodServerTrust), nullptr,
      record));
  EXPECT_EQ(disposition, CTRURLSessionAuthChallengeDisposition::kCancelAuthenticationChallenge);
  EXPECT_FALSE(credential);

  EXPECT_FALSE(pinner.handleChallenge(
      challengeWith(nullptr, platform::urlloading::kAuthenticationMethodHTTPBasic), nullptr,
      record));
  EXPECT_EQ(disposition, CTRURLSessionAuthChallengeDisposition::kCancelAuthenticationChallenge);
  EXPECT_EQ(calls, 3);
}

TEST(BCNPinnedCertificatesTest, BuiltInListHoldsTheEightRootsInOrder) {
  auto list = sdk::BCNPinnedCertificates();
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list, sdk::BCNPinnedCertificates());  // one shared list
  ASSERT_EQ(list->size(), 8u);
  const std::size_t sizes[] = {1082, 1173, 969, 1239, 1054, 1053, 1054, 1054};
  const char* names[] = {"AddTrust External CA Root",
                         "Entrust Root Certification Authority",
                         "DigiCert High Assurance EV Root CA",
                         "VeriSign Class 3 Public Primary Certification Authority - G5",
                         "VeriSign Class 1 Public Primary Certification Authority - G3",
                         "VeriSign Class 2 Public Primary Certification Authority - G3",
                         "VeriSign Class 3 Public Primary Certification Authority - G3",
                         "VeriSign Class 4 Public Primary Certification Authority - G3"};
  for (std::size_t i = 0; i < 8; ++i) {
    EXPECT_EQ((*list)[i].DER().size(), sizes[i]) << i;
    EXPECT_EQ((*list)[i].subjectSummary(), names[i]) << i;
    EXPECT_TRUE((*list)[i].isSelfIssued()) << i;
  }
}

// Nothing replaces the SDK's list for the whole process: a test's service
// is trusted through pins given to its own client or pinner.
TEST(BCNPinnedCertificatesTest, ThePinsOfOnePinnerLeaveTheSDKsListAlone) {
  auto builtIn = sdk::BCNBuiltInPinnedCertificates();
  auto ca = test_support::makeCertificateAuthority("Injected CA");
  sdk::BCNCertificatePinner own(std::vector{certificate(ca)});
  ASSERT_EQ(own.certificates().size(), 1u);
  EXPECT_EQ(sdk::BCNBuiltInPinnedCertificates(), builtIn);
  EXPECT_EQ(sdk::BCNPinnedCertificates(), builtIn);
}

}  // namespace
