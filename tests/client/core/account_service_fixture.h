// Fixture for tests of the client against the local account service over
// HTTPS: a temporary root whose trusted-CA bundle holds the service's
// certificate authority, services started on 127.0.0.1 port 0, and the
// client's base URLs pointed at them through VARNEL_ACCOUNT_SERVICE_URLS.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "account-service/account_service.h"
#include "client/core/pudip_client.h"
#include "platform/runloop/run_loop.h"
#include "platform/security/trust.h"
#include "platform/system/file_util.h"
#include "support/http_test_server.h"
#include "support/temp_root.h"
#include "support/test_certificates.h"
#include "support/wait.h"

namespace client::testing {

class AccountServiceTest : public varnel::testing::TempRootTest {
 protected:
  static void SetUpTestSuite() {
    ca_ = new test_support::TestIdentity(
        test_support::makeCertificateAuthority("Account Service Test CA"));
    leaf_ = new test_support::TestIdentity(
        test_support::makeLeafCertificate(*ca_, "127.0.0.1", {"localhost"}, {"127.0.0.1"}));
  }
  static void TearDownTestSuite() {
    delete leaf_;
    delete ca_;
  }

  void SetUp() override {
    const std::string bundle = platform::security::trustedCABundlePath();
    std::filesystem::create_directories(std::filesystem::path(bundle).parent_path());
    ASSERT_TRUE(platform::files::writeFileAtomically(bundle, ca_->certificatePEM, 0644));
  }
  void TearDown() override {
    ::unsetenv(kAccountServiceURLsEnvironmentVariable);
    VRPUDIPClient::resetSharedClientForTesting();
  }

  static platform::Value demoData() {
    return account_service::AccountService::loadDataFile(
        account_service::AccountService::demoDataFilePath());
  }
  std::unique_ptr<account_service::AccountService> startService() {
    return account_service::AccountService::startTLS(demoData(), leaf_->certificatePEM,
                                                     leaf_->privateKeyPEM);
  }
  // A bare HTTPS server with the service's identity, for replies the
  // service itself never sends.
  static std::unique_ptr<test_support::HTTPTestServer> startHostileServer() {
    return test_support::HTTPTestServer::startTLS(leaf_->certificatePEM + ca_->certificatePEM,
                                                  leaf_->privateKeyPEM);
  }
  // A JSON head announcing `bytes` body bytes, then one byte every
  // `interval` seconds: each comes well within the idle time-out. With
  // `closeAfter` >= 0 the connection closes after that many bytes.
  static test_support::HTTPReply trickle(int bytes, double interval, int closeAfter = -1) {
    test_support::HTTPReply reply;
    reply.headers = {{"Content-Type", "application/json"},
                     {"Content-Length", std::to_string(bytes)}};
    reply.bodyWriter = [bytes, interval, closeAfter](const auto& write, const auto& pause) {
      for (int i = 0; i < bytes && i != closeAfter; ++i) {
        if (!pause(interval) || !write(" ")) return;
      }
    };
    return reply;
  }
  // A loopback URL on which nothing listens (connections are refused).
  static std::string deadURL() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return "https://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
  }
  // A client whose base URLs are `urls` (padded to nine with dead ones).
  static VRPUDIPClient::Ptr makeClient(std::vector<std::string> urls, double bound = 5.0) {
    while (urls.size() < 9) urls.push_back(deadURL());
    std::string list;
    for (const auto& u : urls) list += (list.empty() ? "" : ",") + u;
    ::setenv(kAccountServiceURLsEnvironmentVariable, list.c_str(), 1);
    auto client = VRPUDIPClient::make();
    client->setProbeBounds({bound, bound});
    return client;
  }

  static inline test_support::TestIdentity* ca_ = nullptr;
  static inline test_support::TestIdentity* leaf_ = nullptr;
};

}  // namespace client::testing
