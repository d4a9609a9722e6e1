#include "net/sockets/dispatch_socket_tls.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

#include "net/sockets/dispatch_socket.h"
#include "net/sockets/dispatch_socket_test_support.h"
#include "net/sockets/socket_error.h"
#include "support/test_certificates.h"

namespace net::sockets {
namespace {

using platform::Value;
using platform::dispatch::Queue;
using test_support::TestIdentity;
using testing::Event;
using testing::RawListener;
using testing::RecordingDelegate;

struct Certificates {
  TestIdentity ca;
  TestIdentity server;     // signed by ca, for localhost / 127.0.0.1 / ::1
  TestIdentity untrusted;  // self-signed, same names
};

Certificates& certificates() {
  static Certificates c;
  return c;
}

// The client side trusts the test CA through the system anchors' stand-in.
class CertificateEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    auto& c = certificates();
    c.ca = test_support::makeCertificateAuthority("Varnel Test CA");
    c.server =
        test_support::makeLeafCertificate(c.ca, "localhost", {"localhost"}, {"127.0.0.1", "::1"});
    c.untrusted =
        test_support::makeSelfSignedCertificate("localhost", {"localhost"}, {"127.0.0.1"});
    // The OpenSSL peers of these tests write with plain write().
    ::signal(SIGPIPE, SIG_IGN);
    caFile_ = test_support::writeTemporaryPEM(c.ca.certificatePEM);
    ::setenv("SSL_CERT_FILE", caFile_.c_str(), 1);
  }
  // The file and its temporary folder go when the tests end.
  void TearDown() override {
    if (caFile_.empty()) return;
    ::unlink(caFile_.c_str());
    ::rmdir(caFile_.substr(0, caFile_.rfind('/')).c_str());
  }

 private:
  std::string caFile_;
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new CertificateEnvironment);

void setTimeouts(int fd) {
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool usePEM(SSL_CTX* ctx, const TestIdentity& identity) {
  BIO* cert = BIO_new_mem_buf(identity.certificatePEM.data(),
                              static_cast<int>(identity.certificatePEM.size()));
  BIO* key = BIO_new_mem_buf(identity.privateKeyPEM.data(),
                             static_cast<int>(identity.privateKeyPEM.size()));
  X509* x = PEM_read_bio_X509(cert, nullptr, nullptr, nullptr);
  EVP_PKEY* k = PEM_read_bio_PrivateKey(key, nullptr, nullptr, nullptr);
  const bool ok = SSL_CTX_use_certificate(ctx, x) == 1 && SSL_CTX_use_PrivateKey(ctx, k) == 1;
  X509_free(x);
  EVP_PKEY_free(k);
  BIO_free(cert);
  BIO_free(key);
  return ok;
}

std::string sslReadLine(SSL* ssl) {
  std::string line;
  char c;
  while (SSL_read(ssl, &c, 1) == 1) {
    line += c;
    if (c == '\n') break;
  }
  return line;
}

void sslWriteAll(SSL* ssl, std::string_view text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const int n = SSL_write(ssl, text.data() + done, static_cast<int>(text.size() - done));
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// A blocking TLS server on its own thread: answers each line "x\n" with
// "echo:x\n"; "SIZE n\n" reads n more bytes and answers "got:n\n".
class OpenSSLServer {
 public:
  explicit OpenSSLServer(const TestIdentity& identity) {
    thread_ = std::thread([this, identity] { run(identity); });
  }
  // Ends the server's connection (a test may leave it open) and waits.
  ~OpenSSLServer() {
    const int fd = fd_.load();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    thread_.join();
  }
  std::uint16_t port() const { return listener_.port(); }

 private:
  void run(TestIdentity identity) {
    const int fd = listener_.accept();
    if (fd < 0) return;
    fd_ = fd;
    setTimeouts(fd);
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    usePEM(ctx, identity);
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
      for (;;) {
        std::string line = sslReadLine(ssl);
        if (line.empty()) break;
        if (line.rfind("SIZE ", 0) == 0) {
          std::size_t wanted = std::stoul(line.substr(5));
          std::size_t got = 0;
          std::vector<char> buffer(65536);
          while (got < wanted) {
            const int n = SSL_read(ssl, buffer.data(), static_cast<int>(buffer.size()));
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
          }
          sslWriteAll(ssl, "got:" + std::to_string(got) + "\n");
        } else {
          sslWriteAll(ssl, "echo:" + line);
        }
      }
      SSL_shutdown(ssl);
    }
    ERR_clear_error();
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    ::close(fd);
  }

  RawListener listener_;
  std::atomic<int> fd_{-1};
  std::thread thread_;
};

class DispatchSocketTLSTest : public ::testing::Test {
 protected:
  void SetUp() override {
    delegateQueue = Queue::createSerial("delegate");
    delegate = std::make_shared<RecordingDelegate>(delegateQueue);
    sock = DispatchSocket::create(delegate, delegateQueue);
  }

  // Connects to `server`, switches to TLS with `settings`, sends a line.
  void connectAndSecure(const OpenSSLServer& server, Value settings) {
    platform::Error error;
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", server.port(), 5, &error)) << error.description();
    sock->startTLS(settings);
    sock->writeData(Bytes{'p', 'i', 'n', 'g', '\n'}, 5, 1);
    sock->readDataToData(DispatchSocket::LFData(), 5, 2);
  }

  QueuePtr delegateQueue;
  std::shared_ptr<RecordingDelegate> delegate;
  DispatchSocketPtr sock;
};

Value peerName(const char* name) {
  return Value::dictionary({{Value(kDispatchSocketSSLPeerName), Value(name)}});
}

TEST_F(DispatchSocketTLSTest, ClientTalksToAnOpenSSLServer) {
  OpenSSLServer server(certificates().server);
  connectAndSecure(server, peerName("localhost"));
  EXPECT_EQ(delegate->waitFor("secure").kind, "secure");
  EXPECT_EQ(delegate->waitFor("read").data, "echo:ping\n");
  EXPECT_TRUE(sock->isSecure());
  // A second start on the same connection is dropped.
  sock->startTLS(peerName("localhost"));
  sock->writeData(Bytes{'b', '\n'}, 5, 3);
  sock->readDataToData(DispatchSocket::LFData(), 5, 4);
  EXPECT_EQ(delegate->waitFor("read", 1).data, "echo:b\n");
  EXPECT_EQ(delegate->count("secure"), 1u);
  sock->disconnect();
  EXPECT_FALSE(delegate->waitFor("disconnect").error);
}

TEST_F(DispatchSocketTLSTest, LargeTransfersInBothDirections) {
  OpenSSLServer server(certificates().server);
  connectAndSecure(server, peerName("127.0.0.1"));
  ASSERT_EQ(delegate->waitFor("read").data, "echo:ping\n");
  const std::size_t size = 3 * 1024 * 1024 + 17;
  sock->writeData(Bytes{'S', 'I', 'Z', 'E', ' '}, 5, 10);
  const std::string count = std::to_string(size) + "\n";
  sock->writeData(Bytes(count.begin(), count.end()), 5, 11);
  sock->writeData(Bytes(size, 'z'), 20, 12);
  sock->readDataToData(DispatchSocket::LFData(), 20, 13);
  Event got = delegate->waitFor("read", 1);
  EXPECT_EQ(got.data, "got:" + std::to_string(size) + "\n");
  EXPECT_EQ(delegate->count("disconnect"), 0u);
}

TEST_F(DispatchSocketTLSTest, WrongPeerNameIsRefused) {
  OpenSSLServer server(certificates().server);
  connectAndSecure(server, peerName("wrong.example"));
  Event e = delegate->waitFor("disconnect");
  EXPECT_EQ(e.error.domain(), kSSLErrorDomain);
  EXPECT_EQ(e.error.code(), kDispatchSocketSSLHostNameMismatch);
  EXPECT_EQ(delegate->count("secure"), 0u);
  EXPECT_EQ(delegate->count("read"), 0u);
}

TEST_F(DispatchSocketTLSTest, UntrustedCertificateIsRefused) {
  OpenSSLServer server(certificates().untrusted);
  connectAndSecure(server, peerName("localhost"));
  Event e = delegate->waitFor("disconnect");
  EXPECT_EQ(e.error.domain(), kSSLErrorDomain);
  EXPECT_EQ(e.error.code(), kDispatchSocketSSLCertChainInvalid);
  EXPECT_EQ(delegate->count("write"), 0u);
}

Value manualTrust() {
  return Value::dictionary({{Value(kDispatchSocketManuallyEvaluateTrust), Value(true)},
                            {Value(kDispatchSocketSSLPeerName), Value("localhost")}});
}

TEST_F(DispatchSocketTLSTest, ManualTrustAcceptedByTheDelegate) {
  OpenSSLServer server(certificates().untrusted);
  std::string reason;
  delegate->onTrust = [&](std::shared_ptr<DispatchSocketTrust> trust,
                          std::function<void(bool)> handler) {
    // The delegate trusts exactly this self-signed certificate.
    const bool ok =
        trust->evaluate({certificates().untrusted.certificateDER}, trust->peerName(), &reason);
    std::thread([handler, ok] { handler(ok); }).detach();  // any thread may answer
  };
  connectAndSecure(server, manualTrust());
  EXPECT_EQ(delegate->waitFor("secure").kind, "secure") << reason;
  EXPECT_EQ(delegate->waitFor("read").data, "echo:ping\n");
}

TEST_F(DispatchSocketTLSTest, ManualTrustRefusedByTheDelegate) {
  OpenSSLServer server(certificates().untrusted);
  delegate->onTrust = [](std::shared_ptr<DispatchSocketTrust> trust,
                         std::function<void(bool)> handler) {
    // Checked against the CA, the self-signed certificate fails.
    handler(trust->evaluate({certificates().ca.certificateDER}, "localhost"));
  };
  connectAndSecure(server, manualTrust());
  Event e = delegate->waitFor("disconnect");
  EXPECT_EQ(e.error.domain(), kSSLErrorDomain);
  EXPECT_EQ(e.error.code(), kDispatchSocketSSLBadCert);
  EXPECT_EQ(delegate->count("secure"), 0u);
}

TEST_F(DispatchSocketTLSTest, ManualTrustWithoutTheCallbackCloses) {
  OpenSSLServer server(certificates().server);
  connectAndSecure(server, manualTrust());
  Event e = delegate->waitFor("disconnect");
  EXPECT_EQ(e.error.code(), kDispatchSocketOtherError);
  EXPECT_EQ(e.error.localizedDescription().rfind(
                "DispatchSocketManuallyEvaluateTrust specified in tlsSettings", 0),
            0u);
}

TEST_F(DispatchSocketTLSTest, RefusedSettingsCloseWithTheirMessage) {
  struct Case {
    Value settings;
    std::string message;
  };
  const std::vector<Case> cases = {
      {Value::dictionary({{Value(kDispatchSocketSSLLevel), Value("any")}}),
       "Security option unavailable - kCFStreamSSLLevel"},
      {Value::dictionary({{Value(kDispatchSocketSSLIsServer), Value(true)},
                          {Value(kDispatchSocketManuallyEvaluateTrust), Value(true)}}),
       "Manual trust validation is not supported for server sockets"},
      {Value::dictionary({{Value(kDispatchSocketSSLPeerName), Value(5)}}),
       "Invalid value for kCFStreamSSLPeerName."},
      {Value::dictionary({{Value(kDispatchSocketSSLProtocolVersionMin), Value(3)}}),
       "Error in SSLSetProtocolVersionMin"},
  };
  for (const Case& c : cases) {
    OpenSSLServer server(certificates().server);
    auto d = std::make_shared<RecordingDelegate>(delegateQueue);
    auto s = DispatchSocket::create(d, delegateQueue);
    ASSERT_TRUE(s->connectToHost("127.0.0.1", server.port(), 5));
    s->startTLS(c.settings);
    Event e = d->waitFor("disconnect");
    EXPECT_EQ(e.error.code(), kDispatchSocketOtherError) << c.message;
    EXPECT_EQ(e.error.localizedDescription(), c.message);
  }
}

TEST_F(DispatchSocketTLSTest, StartBeforeConnectIsDropped) {
  sock->startTLS(peerName("localhost"));
  sock->performBlock([] {});
  OpenSSLServer server(certificates().server);  // gets a plain line, fails its handshake
  ASSERT_TRUE(sock->connectToHost("127.0.0.1", server.port(), 5));
  EXPECT_EQ(delegate->waitFor("connect").kind, "connect");
  EXPECT_FALSE(sock->isSecure());
  sock->disconnect();
}

TEST_F(DispatchSocketTLSTest, CipherSuitesAndVersionsAreApplied) {
  OpenSSLServer server(certificates().server);
  // TLS_AES_128_GCM_SHA256 (0x1301) only, TLS 1.3 only; an unknown number
  // above 32767 is passed on and simply not found.
  Value settings = Value::dictionary(
      {{Value(kDispatchSocketSSLPeerName), Value("localhost")},
       {Value(kDispatchSocketSSLCipherSuites), Value::array({Value(0x1301), Value(0xFFF0)})},
       {Value(kDispatchSocketSSLProtocolVersionMin), Value(int(kDispatchSocketTLSProtocol13))}});
  connectAndSecure(server, settings);
  EXPECT_EQ(delegate->waitFor("read").data, "echo:ping\n");
}

TEST_F(DispatchSocketTLSTest, SessionCacheKeepsOnlyTheMostRecentlyUsedPeers) {
  // A client with a peer identifier; `cache` none: the process's cache.
  auto session = [&](const std::string& id, std::shared_ptr<TLSSessionCache> cache) {
    OpenSSLServer server(certificates().server);
    auto d = std::make_shared<RecordingDelegate>(delegateQueue);
    auto s = DispatchSocket::create(d, delegateQueue);
    ASSERT_TRUE(s->connectToHost("127.0.0.1", server.port(), 5));
    s->startTLS(Value::dictionary(
                    {{Value(kDispatchSocketSSLPeerName), Value("localhost")},
                     {Value(kDispatchSocketSSLPeerID), Value::data(Bytes(id.begin(), id.end()))}}),
                std::move(cache));
    s->writeData(Bytes{'p', '\n'}, 5, 1);
    s->readDataToData(DispatchSocket::LFData(), 5, 2);
    // The server's session tickets come before its answer.
    EXPECT_EQ(d->waitFor("read").data, "echo:p\n");
    s->disconnect();
    d->waitFor("disconnect");
  };
  auto cached = [](const TLSSessionCache& cache, const std::string& id) {
    return cache.contains(Bytes(id.begin(), id.end()));
  };

  auto two = TLSSessionCache::create({.limit = 2});
  EXPECT_EQ(two->limit(), 2u);
  for (const char* id : {"peer-a", "peer-b", "peer-c"}) session(id, two);
  EXPECT_EQ(two->count(), 2u);
  EXPECT_FALSE(cached(*two, "peer-a"));
  session("peer-b", two);  // used again: now the most recent
  session("peer-d", two);
  EXPECT_EQ(two->count(), 2u);
  EXPECT_TRUE(cached(*two, "peer-b"));
  EXPECT_TRUE(cached(*two, "peer-d"));
  EXPECT_FALSE(cached(*two, "peer-c"));

  auto none = TLSSessionCache::create({.limit = 0});
  session("peer-e", none);
  EXPECT_EQ(none->count(), 0u);

  // Sockets given no cache share the process's one, with the default limit;
  // the caches above were left alone.
  EXPECT_EQ(TLSSessionCache::shared()->limit(), kDispatchSocketTLSSessionCacheLimit);
  session("peer-shared", nullptr);
  EXPECT_TRUE(cached(*TLSSessionCache::shared(), "peer-shared"));
  EXPECT_FALSE(cached(*two, "peer-shared"));
  EXPECT_FALSE(cached(*TLSSessionCache::shared(), "peer-b"));
}

// --- server side -----------------------------------------------------------------------------

TEST_F(DispatchSocketTLSTest, ServerTalksToAnOpenSSLClientWithBytesReadAhead) {
  Value serverSettings =
      Value::dictionary({{Value(kDispatchSocketSSLIsServer), Value(true)},
                         {Value(kDispatchSocketSSLCertificates),
                          Value::array({Value::data(certificates().server.identityBytes())})}});
  // The first line is plain; the handshake bytes that follow it may already
  // sit in the pre-buffer when the switch is made.
  delegate->onAccept = [](const DispatchSocketPtr& child) {
    child->readDataToData(DispatchSocket::LFData(), 5, 1);
  };
  delegate->onRead = [serverSettings](const DispatchSocketPtr& s, const SocketData& data,
                                      long tag) {
    if (tag == 1) {
      s->startTLS(serverSettings);
    } else {
      Bytes reply = {'e', 'c', 'h', 'o', ':'};
      Bytes line = data.bytes();
      reply.insert(reply.end(), line.begin(), line.end());
      s->writeData(std::move(reply), 5, 3);
    }
    s->readDataToData(DispatchSocket::LFData(), 5, 2);
  };
  ASSERT_TRUE(sock->acceptOnInterface("127.0.0.1", 0));
  std::uint16_t port = 0;
  sock->performBlock([&] { port = sock->localPort4(); });

  std::string reply;
  long verify = -1;
  std::thread client([&] {
    const int fd = testing::rawConnect(port);
    setTimeouts(fd);
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    X509_STORE* store = SSL_CTX_get_cert_store(ctx);
    BIO* bio = BIO_new_mem_buf(certificates().ca.certificatePEM.data(), -1);
    X509* ca = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    X509_STORE_add_cert(store, ca);
    X509_free(ca);
    BIO_free(bio);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL* ssl = SSL_new(ctx);
    SSL_set1_host(ssl, "localhost");
    SSL_set_fd(ssl, fd);
    testing::rawSend(fd, "STARTTLS\n");
    if (SSL_connect(ssl) == 1) {
      verify = SSL_get_verify_result(ssl);
      sslWriteAll(ssl, "hello\n");
      reply = sslReadLine(ssl);
      SSL_shutdown(ssl);
    }
    ERR_clear_error();
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    ::close(fd);
  });
  client.join();
  EXPECT_EQ(verify, X509_V_OK);
  EXPECT_EQ(reply, "echo:hello\n");
  EXPECT_EQ(delegate->waitFor("secure").kind, "secure");
}

TEST(DispatchSocketTrustTest, EvaluatesChainAndName) {
  auto& c = certificates();
  DispatchSocketTrust trust({c.server.certificateDER});
  std::string reason;
  EXPECT_TRUE(trust.evaluate({c.ca.certificateDER}, "localhost", &reason)) << reason;
  EXPECT_TRUE(trust.evaluate({c.ca.certificateBytes()}, "127.0.0.1"));
  EXPECT_FALSE(trust.evaluate({c.ca.certificateDER}, "other.example", &reason));
  EXPECT_FALSE(reason.empty());
  EXPECT_FALSE(trust.evaluate({}, "", &reason));
  EXPECT_FALSE(DispatchSocketTrust({}).evaluate({c.ca.certificateDER}, ""));
}

}  // namespace
}  // namespace net::sockets
