#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "net/http/http_client.h"
#include "net/http/http_request_operation.h"
#include "net/http/http_test_util.h"
#include "net/http/pinned_certificates.h"
#include "platform/system/paths.h"
#include "support/http_test_server.h"
#include "support/temp_root.h"
#include "support/test_certificates.h"

namespace {

using namespace net::http;
using http_test::requestFor;
using test_support::HTTPReply;
using test_support::HTTPTestServer;
using test_support::TestIdentity;

class PinningTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    ca = test_support::makeCertificateAuthority("Genuine CA");
    leaf = test_support::makeLeafCertificate(ca, "localhost", {"localhost"}, {"127.0.0.1"});
    server = HTTPTestServer::startTLS(leaf.certificatePEM + ca.certificatePEM, leaf.privateKeyPEM);
    server->setReply("/x", HTTPReply::text(200, "secret"));
  }
  void trustCA() {
    const std::string path = platform::security::trustedCABundlePath();
    platform::paths::createDirectories(path.substr(0, path.rfind('/')));
    std::ofstream(path) << ca.certificatePEM;
  }
  // The pins the next loads are given.
  void pin(std::vector<const TestIdentity*> ids) {
    std::vector<platform::Bytes> ders;
    for (auto* id : ids) ders.push_back(id->certificateDER);
    pins = NKPinnedCertificates::fromDER(std::move(ders));
  }
  // Loads `url` with the given mode; the error (None on success).
  platform::Error load(const std::string& url, std::int32_t mode, bool allowInvalid = false) {
    auto op = NKHTTPRequestOperation::create(requestFor(url));
    op->setSSLPinningMode(mode);
    op->setPinnedCertificates(pins);
    op->setAllowsInvalidSSLCertificate(allowInvalid);
    op->start();
    EXPECT_TRUE(op->waitUntilFinished(std::chrono::seconds(15)));
    if (!op->error()) {
      EXPECT_EQ(op->responseString(), "secret");
    }
    return op->error();
  }

  TestIdentity ca, leaf;
  std::unique_ptr<HTTPTestServer> server;
  NKPinnedCertificates::Ptr pins = NKPinnedCertificates::fromDER({});
};

TEST_F(PinningTest, ModeNoneTrustsWhatTheSystemTrustsOrEverythingWhenAllowed) {
  EXPECT_EQ(load(server->localhostURL("/x"), NKSSLPinningModeNone).code(), -1202);
  EXPECT_FALSE(load(server->localhostURL("/x"), NKSSLPinningModeNone, true));
  trustCA();
  EXPECT_FALSE(load(server->localhostURL("/x"), NKSSLPinningModeNone));
  EXPECT_FALSE(load(server->url("/x"), NKSSLPinningModeNone)) << "the IP address is in the leaf";
}

TEST_F(PinningTest, CertificateModeAcceptsAPinAnywhereInTheChain) {
  pin({&leaf});
  EXPECT_FALSE(load(server->localhostURL("/x"), NKSSLPinningModeCertificate));
  pin({&ca});
  EXPECT_FALSE(load(server->localhostURL("/x"), NKSSLPinningModeCertificate));
  auto other = test_support::makeSelfSignedCertificate("localhost", {"localhost"}, {});
  pin({&other});
  EXPECT_EQ(load(server->localhostURL("/x"), NKSSLPinningModeCertificate).code(), -1202);
  pin({});
  EXPECT_TRUE(load(server->localhostURL("/x"), NKSSLPinningModeCertificate))
      << "no pins reject every server";
  EXPECT_EQ(server->requestCount(), 2u);
}

TEST_F(PinningTest, PinnedCertificateForAnotherHostIsRefused) {
  auto elsewhere = test_support::makeLeafCertificate(ca, "other.test", {"other.test"}, {});
  auto wrongHost = HTTPTestServer::startTLS(elsewhere.certificatePEM + ca.certificatePEM,
                                            elsewhere.privateKeyPEM);
  wrongHost->setReply("/x", HTTPReply::text(200, "secret"));
  pin({&elsewhere});
  EXPECT_EQ(load(wrongHost->localhostURL("/x"), NKSSLPinningModeCertificate).code(), -1202);
  EXPECT_EQ(load(wrongHost->localhostURL("/x"), NKSSLPinningModePublicKey).code(), -1202);
  EXPECT_EQ(wrongHost->requestCount(), 0u);
}

TEST_F(PinningTest, APinnedCertificateAppendedToAForeignChainIsRefused) {
  auto attackerCA = test_support::makeCertificateAuthority("Attacker CA");
  auto forged =
      test_support::makeLeafCertificate(attackerCA, "localhost", {"localhost"}, {"127.0.0.1"});
  auto attacker = HTTPTestServer::startTLS(
      forged.certificatePEM + attackerCA.certificatePEM + leaf.certificatePEM + ca.certificatePEM,
      forged.privateKeyPEM);
  attacker->setReply("/x", HTTPReply::text(200, "secret"));
  pin({&leaf, &ca});
  EXPECT_EQ(load(attacker->localhostURL("/x"), NKSSLPinningModeCertificate).code(), -1202);
  EXPECT_EQ(load(attacker->localhostURL("/x"), NKSSLPinningModePublicKey).code(), -1202);
  EXPECT_EQ(attacker->requestCount(), 0u);
  EXPECT_FALSE(load(server->localhostURL("/x"), NKSSLPinningModePublicKey));
}

TEST_F(PinningTest, PublicKeysComeFromThePinnedCertificates) {
  pin({&leaf});
  ASSERT_EQ(pins->publicKeys().size(), 1u);
  EXPECT_EQ(pins->publicKeys()[0].bytes(),
            platform::security::Certificate::fromDER(leaf.certificateDER)->publicKey()->bytes());
  pins = NKPinnedCertificates::fromDER(std::vector<platform::Bytes>{{1, 2, 3}});
  EXPECT_EQ(pins->certificates().size(), 1u);
  EXPECT_TRUE(pins->publicKeys().empty()) << "bytes that are not a certificate give no key";
}

// Pins given to one operation or client are that one's own: an operation
// given none trusts the main bundle's (here none), whatever others were
// given, and a client hands its pins to the operations it makes.
TEST_F(PinningTest, PinsBelongToTheOperationOrClientGivenThem) {
  EXPECT_TRUE(NKPinnedCertificates::bundled()->certificates().empty());
  pin({&ca});
  EXPECT_FALSE(load(server->localhostURL("/x"), NKSSLPinningModeCertificate));
  auto unpinned = NKHTTPRequestOperation::create(requestFor(server->localhostURL("/x")));
  EXPECT_EQ(unpinned->pinnedCertificates(), NKPinnedCertificates::bundled());
  unpinned->setSSLPinningMode(NKSSLPinningModeCertificate);
  unpinned->start();
  ASSERT_TRUE(unpinned->waitUntilFinished(std::chrono::seconds(15)));
  EXPECT_EQ(unpinned->error().code(), -1202);

  auto client = NKHTTPClient::create(platform::URL(server->localhostURL("/")));
  client->setDefaultSSLPinningMode(NKSSLPinningModeCertificate);
  client->setDefaultPinnedCertificates(pins);
  auto op = client->HTTPRequestOperationWithRequest(requestFor(server->localhostURL("/x")), nullptr,
                                                    nullptr);
  EXPECT_EQ(op->pinnedCertificates(), pins);
  EXPECT_EQ(client->copy()->defaultPinnedCertificates(), nullptr) << "not copied, as the mode";
  op->start();
  ASSERT_TRUE(op->waitUntilFinished(std::chrono::seconds(15)));
  EXPECT_FALSE(op->error());
  EXPECT_EQ(server->requestCount(), 2u);
}

TEST_F(PinningTest, AChallengeBlockReplacesTheBuiltInHandling) {
  pin({});
  auto op = NKHTTPRequestOperation::create(requestFor(server->localhostURL("/x")));
  op->setSSLPinningMode(NKSSLPinningModeCertificate);
  int calls = 0;
  op->setWillSendRequestForAuthenticationChallengeBlock(
      [&](platform::urlloading::URLConnection&,
          const platform::urlloading::AuthenticationChallenge& c) {
        ++calls;
        c.sender()->useCredential(
            platform::urlloading::URLCredential::forTrust(c.protectionSpace().serverTrust), c);
      });
  op->start();
  ASSERT_TRUE(op->waitUntilFinished(std::chrono::seconds(15)));
  EXPECT_FALSE(op->error());
  EXPECT_EQ(calls, 1);
}

TEST_F(PinningTest, OtherChallengesUseTheCredentialOnce) {
  trustCA();
  server->setHandler("/auth", [](const test_support::HTTPRecordedRequest& r) {
    if (r.header("Authorization") == "Basic dTpw") return HTTPReply::text(200, "secret");
    return HTTPReply::text(401, "denied").header("WWW-Authenticate", "Basic realm=\"x\"");
  });
  auto good = NKHTTPRequestOperation::create(requestFor(server->localhostURL("/auth")));
  good->setCredential(platform::urlloading::URLCredential::withUser("u", "p"));
  good->start();
  ASSERT_TRUE(good->waitUntilFinished(std::chrono::seconds(15)));
  EXPECT_FALSE(good->error());

  auto bad = NKHTTPRequestOperation::create(requestFor(server->localhostURL("/auth")));
  bad->setCredential(platform::urlloading::URLCredential::withUser("u", "wrong"));
  bad->start();
  ASSERT_TRUE(bad->waitUntilFinished(std::chrono::seconds(15)));
  EXPECT_EQ(bad->error().code(), -1011) << "after one refusal the 401 itself is the answer";
  EXPECT_EQ(bad->responseString(), "denied");

  EXPECT_TRUE(bad->shouldUseCredentialStorage());
  bad->setShouldUseCredentialStorage(false);
  EXPECT_FALSE(bad->shouldUseCredentialStorage());
}

// HTTPS connections are kept and TLS sessions resumed, yet every load's
// server is judged by that load's own pinning: a connection or session that
// an earlier, less strict load accepted never carries a pinned load past a
// mismatch.
TEST_F(PinningTest, LoadsReuseOneConnectionAndEachIsJudgedByItsOwnPinning) {
  auto other = test_support::makeSelfSignedCertificate("localhost", {"localhost"}, {});
  pin({&other});
  const std::size_t connectionsBefore = server->connectionCount();
  EXPECT_FALSE(load(server->localhostURL("/x"), NKSSLPinningModeNone, true));
  EXPECT_FALSE(load(server->localhostURL("/x"), NKSSLPinningModeNone, true));
  EXPECT_EQ(server->connectionCount() - connectionsBefore, 1u) << "the second load reuses";

  EXPECT_EQ(load(server->localhostURL("/x"), NKSSLPinningModeCertificate).code(), -1202);
  EXPECT_EQ(server->connectionCount() - connectionsBefore, 1u)
      << "the refused load was judged on the kept connection";
  // A refused connection is dropped; the next loads resume its session.
  EXPECT_EQ(load(server->localhostURL("/x"), NKSSLPinningModePublicKey).code(), -1202);
  EXPECT_EQ(load(server->localhostURL("/x"), NKSSLPinningModeNone).code(), -1202)
      << "nobody trusts the CA";
  EXPECT_EQ(server->requestCount(), 2u) << "a refused load sends nothing";

  pin({&ca});
  EXPECT_FALSE(load(server->localhostURL("/x"), NKSSLPinningModeCertificate));
  EXPECT_FALSE(load(server->localhostURL("/x"), NKSSLPinningModePublicKey));
  EXPECT_EQ(server->requestCount(), 4u);

  // A kept connection raises the server-trust challenge once per load, as a
  // new one does.
  const std::size_t connectionsKept = server->connectionCount();
  auto op = NKHTTPRequestOperation::create(requestFor(server->localhostURL("/x")));
  int calls = 0;
  op->setWillSendRequestForAuthenticationChallengeBlock(
      [&](platform::urlloading::URLConnection&,
          const platform::urlloading::AuthenticationChallenge& c) {
        ++calls;
        EXPECT_EQ(c.protectionSpace().authenticationMethod,
                  platform::urlloading::kAuthenticationMethodServerTrust);
        c.sender()->useCredential(
            platform::urlloading::URLCredential::forTrust(c.protectionSpace().serverTrust), c);
      });
  op->start();
  ASSERT_TRUE(op->waitUntilFinished(std::chrono::seconds(15)));
  EXPECT_FALSE(op->error());
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(server->connectionCount(), connectionsKept);
}

TEST_F(PinningTest, AResumedTLSSessionIsJudgedByEachLoadsPinning) {
  // Every reply closes its connection: each load makes a new connection,
  // which resumes the session of the one before.
  HTTPReply closing = HTTPReply::text(200, "secret");
  closing.closeConnection = true;
  server->setReply("/x", closing);
  auto other = test_support::makeSelfSignedCertificate("localhost", {"localhost"}, {});
  pin({&other});
  EXPECT_FALSE(load(server->localhostURL("/x"), NKSSLPinningModeNone, true));
  EXPECT_FALSE(load(server->localhostURL("/x"), NKSSLPinningModeNone, true));
  EXPECT_EQ(load(server->localhostURL("/x"), NKSSLPinningModeCertificate).code(), -1202);
  EXPECT_EQ(load(server->localhostURL("/x"), NKSSLPinningModePublicKey).code(), -1202);
  EXPECT_EQ(server->requestCount(), 2u);
  pin({&leaf});
  EXPECT_FALSE(load(server->localhostURL("/x"), NKSSLPinningModeCertificate));
  EXPECT_EQ(server->requestCount(), 3u);
}

TEST_F(PinningTest, TrustWithdrawnFromTheSystemEndsAtTheNextRequest) {
  // Verified chains are remembered for requests on kept connections, but
  // never past a change of what the system trusts.
  trustCA();
  const std::size_t connectionsBefore = server->connectionCount();
  EXPECT_FALSE(load(server->localhostURL("/x"), NKSSLPinningModeNone));
  EXPECT_FALSE(load(server->localhostURL("/x"), NKSSLPinningModeNone));
  EXPECT_EQ(server->connectionCount() - connectionsBefore, 1u);
  ASSERT_EQ(std::remove(platform::security::trustedCABundlePath().c_str()), 0);
  EXPECT_EQ(load(server->localhostURL("/x"), NKSSLPinningModeNone).code(), -1202);
  EXPECT_EQ(server->requestCount(), 2u);
}

}  // namespace
