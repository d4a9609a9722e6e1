#include "platform/security/trust.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/system/paths.h"
#include "platform/urlloading/url_connection.h"
#include "support/http_test_server.h"
#include "support/temp_root.h"
#include "support/test_certificates.h"

namespace {

using platform::security::Certificate;
using platform::security::ServerTrust;
using platform::security::TrustResult;
using test_support::makeCertificateAuthority;
using test_support::makeLeafCertificate;
using test_support::makeSelfSignedCertificate;

class TrustTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    ca = makeCertificateAuthority("Test CA");
    leaf = makeLeafCertificate(ca, "localhost", {"localhost"}, {"127.0.0.1"});
  }
  void trustCA() {
    const std::string path = platform::security::trustedCABundlePath();
    ASSERT_TRUE(platform::paths::createDirectories(path.substr(0, path.rfind('/'))));
    std::ofstream(path) << ca.certificatePEM;
  }
  std::vector<Certificate> chain() {
    return {*Certificate::fromPEM(leaf.certificatePEM), *Certificate::fromPEM(ca.certificatePEM)};
  }
  test_support::TestIdentity ca, leaf;
};

TEST_F(TrustTest, CertificateRoundTripsAndExportsItsKey) {
  auto cert = Certificate::fromDER(leaf.certificateDER);
  ASSERT_TRUE(cert);
  EXPECT_EQ(cert->DER(), leaf.certificateDER);
  EXPECT_EQ(cert->subjectSummary(), "localhost");
  auto key = cert->publicKey();
  ASSERT_TRUE(key);
  const auto pem = key->exportPEM();
  EXPECT_EQ(std::string(pem.begin(), pem.begin() + 26), "-----BEGIN PUBLIC KEY-----");
  EXPECT_FALSE(Certificate::fromDER({1, 2, 3}));
  platform::Bytes extra = leaf.certificateDER;
  extra.push_back(0);
  EXPECT_FALSE(Certificate::fromDER(extra)) << "trailing bytes are not one certificate";
}

TEST_F(TrustTest, TheBundleUnderTheRootIsTrusted) {
  ServerTrust before(chain(), "localhost");
  TrustResult result;
  ASSERT_TRUE(before.evaluate(&result));
  EXPECT_EQ(result, TrustResult::kRecoverableTrustFailure);

  trustCA();
  ServerTrust after(chain(), "localhost");
  ASSERT_TRUE(after.evaluate(&result));
  EXPECT_EQ(result, TrustResult::kUnspecified);
  ASSERT_EQ(after.certificateCount(), 2u);
  EXPECT_EQ(after.certificateAtIndex(1).DER(), Certificate::fromPEM(ca.certificatePEM)->DER());

  ServerTrust byAddress(chain(), "127.0.0.1");
  EXPECT_TRUE(byAddress.isTrusted());
  ServerTrust wrongHost(chain(), "example.test");
  EXPECT_FALSE(wrongHost.isTrusted());
}

TEST_F(TrustTest, ExtraAnchorsMayEndTheChainAnywhere) {
  ServerTrust pinnedLeaf({*Certificate::fromPEM(leaf.certificatePEM)}, "localhost");
  pinnedLeaf.setAdditionalAnchors({*Certificate::fromPEM(leaf.certificatePEM)});
  TrustResult result;
  ASSERT_TRUE(pinnedLeaf.evaluate(&result));
  EXPECT_EQ(result, TrustResult::kProceed);

  auto self = makeSelfSignedCertificate("localhost", {"localhost"}, {});
  ServerTrust untrusted({*Certificate::fromPEM(self.certificatePEM)}, "localhost");
  EXPECT_FALSE(untrusted.isTrusted());
  EXPECT_FALSE(untrusted.failureReason().empty());
  ServerTrust empty({}, "localhost");
  EXPECT_FALSE(empty.evaluate(&result));
}

TEST_F(TrustTest, AReplacedBundleIsReadAgainAndAnchorsAddToIt) {
  trustCA();
  EXPECT_TRUE(ServerTrust(chain(), "localhost").isTrusted());

  // Another CA takes the bundle's place: the old one is no longer trusted.
  const auto other = makeCertificateAuthority("Other CA");
  const auto otherLeaf = makeLeafCertificate(other, "localhost", {"localhost"}, {});
  const std::vector<Certificate> otherChain = {*Certificate::fromPEM(otherLeaf.certificatePEM),
                                               *Certificate::fromPEM(other.certificatePEM)};
  std::ofstream(platform::security::trustedCABundlePath()) << other.certificatePEM << "\n";
  EXPECT_FALSE(ServerTrust(chain(), "localhost").isTrusted());
  EXPECT_TRUE(ServerTrust(otherChain, "localhost").isTrusted());

  // With anchors of its own an evaluation still trusts the bundle.
  ServerTrust anchored(otherChain, "localhost");
  anchored.setAdditionalAnchors({*Certificate::fromPEM(leaf.certificatePEM)});
  TrustResult result;
  ASSERT_TRUE(anchored.evaluate(&result));
  EXPECT_EQ(result, TrustResult::kProceed);
  ServerTrust wrongHost(otherChain, "example.test");
  wrongHost.setAdditionalAnchors({*Certificate::fromPEM(otherLeaf.certificatePEM)});
  EXPECT_FALSE(wrongHost.isTrusted()) << "anchors never waive the host name";
}

TEST_F(TrustTest, EvaluationsRunOnManyThreadsAtOnce) {
  trustCA();
  const auto self = makeSelfSignedCertificate("localhost", {"localhost"}, {});
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        ServerTrust trusted(chain(), "localhost");
        if (t % 2 == 1) trusted.setAdditionalAnchors({*Certificate::fromPEM(self.certificatePEM)});
        if (!trusted.isTrusted()) ++wrong;
        ServerTrust untrusted({*Certificate::fromPEM(self.certificatePEM)}, "localhost");
        if (untrusted.isTrusted()) ++wrong;
        if (!Certificate::fromPEM(leaf.certificatePEM)->publicKey()) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

// Default handling of HTTPS loads: the system's evaluation decides.
class Waiter : public platform::urlloading::URLConnectionDelegate {
 public:
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  platform::Error error;
  void connectionDidFinishLoading(platform::urlloading::URLConnection&) override { end({}); }
  void connectionDidFailWithError(platform::urlloading::URLConnection&,
                                  const platform::Error& e) override {
    end(e);
  }
  void end(platform::Error e) {
    std::lock_guard lock(m);
    error = e;
    done = true;
    cv.notify_all();
  }
  void wait() {
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(15), [&] { return done; }));
  }
};

TEST_F(TrustTest, HTTPSLoadsAreJudgedByDefaultEvaluation) {
  auto server = test_support::HTTPTestServer::startTLS(leaf.certificatePEM + ca.certificatePEM,
                                                       leaf.privateKeyPEM);
  server->setReply("/x", test_support::HTTPReply::text(200, "secure"));
  auto untrusted = std::make_shared<Waiter>();
  platform::urlloading::URLConnection::create(
      platform::urlloading::URLRequest(platform::URL(server->localhostURL("/x"))), untrusted)
      ->start();
  untrusted->wait();
  EXPECT_EQ(untrusted->error.code(), platform::urlloading::kURLErrorServerCertificateUntrusted);
  EXPECT_EQ(server->requestCount(), 0u) << "no request may reach an untrusted server";

  trustCA();
  auto trusted = std::make_shared<Waiter>();
  platform::urlloading::URLConnection::create(
      platform::urlloading::URLRequest(platform::URL(server->localhostURL("/x"))), trusted)
      ->start();
  trusted->wait();
  EXPECT_FALSE(trusted->error) << trusted->error.description();
  EXPECT_EQ(server->requestCount(), 1u);
}

}  // namespace
