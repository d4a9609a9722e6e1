#include "sdk/platform/bcn_onboarding_operation.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/system/bundle.h"
#include "sdk/platform/bcn_application_identifier_model.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/bcn_encoding.h"
#include "sdk/platform/bcn_network_client.h"
#include "sdk/platform/bcn_network_response_handler.h"
#include "sdk/platform/bcn_request_guard.h"
#include "sdk/platform/ctr_mach_o.h"
#include "support/http_test_server.h"
#include "support/temp_root.h"

namespace sdk {
namespace {

using test_support::HTTPRecordedRequest;
using test_support::HTTPReply;
using test_support::HTTPTestServer;
using namespace std::chrono_literals;

using Field = std::pair<std::string, std::string>;  // name, content

// The parts of a multipart body, in order: each part's name and content
// (with a file part's name suffixed by its file name and type).
std::vector<Field> partsOf(const std::string& body, const std::string& boundary) {
  std::vector<Field> fields;
  const std::string delimiter = "--" + boundary + "\r\n";
  std::size_t at = body.find(delimiter);
  while (at != std::string::npos) {
    const std::size_t start = at + delimiter.size();
    std::size_t next = body.find("\r\n--" + boundary, start);
    if (next == std::string::npos) break;
    const std::string part = body.substr(start, next - start);
    const std::size_t headEnd = part.find("\r\n\r\n");
    const std::string head = part.substr(0, headEnd);
    std::string name = head.substr(head.find("name=\"") + 6);
    name = name.substr(0, name.find('"'));
    if (const auto f = head.find("filename=\""); f != std::string::npos) {
      std::string file = head.substr(f + 10);
      name += " file=" + file.substr(0, file.find('"'));
      name += " type=" + head.substr(head.find("Content-Type: ") + 14,
                                     head.find("\r\n", head.find("Content-Type: ")) -
                                         head.find("Content-Type: ") - 14);
    }
    fields.emplace_back(name, part.substr(headEnd + 4));
    at = body.find(delimiter, next + 2);
  }
  return fields;
}

// A delegate that records its calls and lets a test wait for one.
class RecordingDelegate : public BCNOnboardingOperationDelegate {
 public:
  void onboardingOperationDidCompleteAppCreationWithError(BCNOnboardingOperation&,
                                                          const platform::Error& error) override {
    record("create", error);
  }
  void onboardingOperationDidCompleteAppUpdateWithError(BCNOnboardingOperation&,
                                                        const platform::Error& error) override {
    record("update", error);
  }
  bool waitForCall() {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, 20s, [&] { return !calls_.empty(); });
  }
  std::vector<std::pair<std::string, platform::Error>> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  void record(const char* which, const platform::Error& error) {
    std::lock_guard lock(mutex_);
    calls_.emplace_back(which, error);
    cv_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::pair<std::string, platform::Error>> calls_;
};

void appendU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
  out.insert(out.end(), p, p + 4);
}

void appendBE32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

// A thin 64-bit Mach-O image with a UUID and a version-min command.
std::vector<std::uint8_t> slice(int cputype, std::uint8_t uuidByte) {
  std::vector<std::uint8_t> out;
  appendU32(out, kCTRMachOMagic64);
  appendU32(out, static_cast<std::uint32_t>(cputype));
  appendU32(out, 3);
  appendU32(out, 2);
  appendU32(out, 2);
  appendU32(out, 24 + 16);
  appendU32(out, 0);
  appendU32(out, 0);
  appendU32(out, kCTRMachOLoadCommandUUID);
  appendU32(out, 24);
  out.insert(out.end(), 16, uuidByte);
  appendU32(out, kCTRMachOLoadCommandVersionMinMacOSX);
  appendU32(out, 16);
  appendU32(out, 0x000A0C01);
  appendU32(out, 0x000A0D00);
  return out;
}

class OnboardingOperationTest : public ::testing::Test {
 protected:
  void TearDown() override { BCNRequestGuard::setAllowsCredentialsOverPlainHTTPForTesting(false); }
  void SetUp() override {
    // The local server speaks plain HTTP; the headers it checks are sent anyway.
    BCNRequestGuard::setAllowsCredentialsOverPlainHTTPForTesting(true);
    // x86_64 then i386 in the file; the form lists them by name.
    std::vector<std::uint8_t> file;
    appendBE32(file, kCTRMachOFatMagic);
    appendBE32(file, 2);
    const auto a = slice(kCTRMachOCPUTypeX86_64, 0xaa);
    const auto b = slice(kCTRMachOCPUTypeX86, 0xbb);
    for (std::uint32_t i = 0; i < 2; ++i) {
      appendBE32(file,
                 static_cast<std::uint32_t>(i == 0 ? kCTRMachOCPUTypeX86_64 : kCTRMachOCPUTypeX86));
      appendBE32(file, 3);
      appendBE32(file, 4096 * (i + 1));
      appendBE32(file, static_cast<std::uint32_t>(a.size()));
      appendBE32(file, 12);
    }
    file.resize(4096, 0);
    file.insert(file.end(), a.begin(), a.end());
    file.resize(8192, 0);
    file.insert(file.end(), b.begin(), b.end());
    executable_ = root_.file("App");
    std::ofstream(executable_, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));

    server_ = HTTPTestServer::start();
    client_ = BCNNetworkClient::create();
    ASSERT_TRUE(client_);
    client_->setRetryScheduler([](double, std::function<void()> block) { block(); });
  }
  // The application's bundle: identifier with a "/", versions, a name and, when
  // `withIcon`, a 64 x 32 PNG icon.
  void installBundle(bool withIcon) {
    std::vector<std::pair<platform::Value, platform::Value>> info = {
        {"CFBundleIdentifier", "com.example/app"},
        {"CFBundleVersion", "42"},
        {"CFBundleShortVersionString", "1.2.3"},
        {"CFBundleName", "Example"}};
    if (withIcon) {
      info.emplace_back("CFBundleIconFile", "icon");
      png_ = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
      appendBE32(png_, 64);
      appendBE32(png_, 32);
      png_.insert(png_.end(), {8, 6, 0, 0, 0, 1, 2, 3, 4});
      std::ofstream(root_.file("icon.png"), std::ios::binary)
          .write(reinterpret_cast<const char*>(png_.data()),
                 static_cast<std::streamsize>(png_.size()));
    }
    bundle_ = std::make_shared<platform::Bundle>(executable_, root_.path(),
                                                 platform::Value::dictionary(info));
    model_ = BCNApplicationIdentiferModel::initWithInstallID("install-id", executable_, bundle_);
    ASSERT_TRUE(model_);
  }

  std::shared_ptr<BCNOnboardingOperation> makeOperation(bool create) {
    return BCNOnboardingOperation::initWithDelegate(
        delegate_, create, std::string("api-key"),
        platform::Value::dictionary(
            {{"com.beacon.crashtrail.mac", "3.1.0"}, {"io.beacon.sdk.mac", "1.6.11"}}),
        model_, server_->baseURL(), client_, bundle_);
  }

  varnel::testing::TempRoot root_;
  std::string executable_;
  std::vector<std::uint8_t> png_;
  std::unique_ptr<HTTPTestServer> server_;
  std::shared_ptr<BCNNetworkClient> client_;
  platform::BundlePtr bundle_;
  std::shared_ptr<BCNApplicationIdentiferModel> model_;
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
};

TEST_F(OnboardingOperationTest, CreatePostsTheWholeFormInOrder) {
  installBundle(/*withIcon=*/true);
  server_->setReply("/spi/v1/platforms/mac/apps", HTTPReply::json("{}", 201));
  auto operation = makeOperation(true);
  ASSERT_TRUE(operation);
  operation->start();
  ASSERT_TRUE(delegate_->waitForCall());
  ASSERT_TRUE(operation->waitUntilFinished(20s));
  EXPECT_FALSE(operation->error());
  ASSERT_EQ(delegate_->calls().size(), 1u);
  EXPECT_EQ(delegate_->calls()[0].first, "create");
  EXPECT_FALSE(delegate_->calls()[0].second);

  ASSERT_EQ(server_->requestCount(), 1u);
  const HTTPRecordedRequest request = server_->requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/spi/v1/platforms/mac/apps");
  EXPECT_EQ(request.header("X-Crashtrail-API-Key"), "api-key");
  const std::string contentType = request.header("Content-Type").value_or("");
  ASSERT_TRUE(contentType.starts_with("multipart/form-data; boundary="));
  const std::string boundary = contentType.substr(30);
  EXPECT_EQ(request.header("Content-Length"), std::to_string(request.body.size()));
  EXPECT_TRUE(request.body.starts_with("MIME-Version: 1.0\r\n"));
  EXPECT_TRUE(request.body.ends_with("--" + boundary + "--\r\n"));

  const std::string slice64(32, 'a');
  const std::string slice32(32, 'b');
  const std::string png(png_.begin(), png_.end());
  const std::vector<Field> expected = {
      {"app[identifier]", "com.example_app"},
      {"app[instance_identifier]", BCNSHA1HexStringFromData(slice32 + slice64)},
      {"app[name]", "Example"},
      {"app[build_version]", "42"},
      {"app[display_version]", "1.2.3"},
      {"app[source]", "1"},
      {"app[minimum_sdk_version]", "10.12.1"},
      {"app[built_sdk_version]", "10.13.0"},
      {"app[build][libraries][com.beacon.crashtrail.mac]", "3.1.0"},
      {"app[build][libraries][io.beacon.sdk.mac]", "1.6.11"},
      {"app[slices][][arch]", "i386"},
      {"app[slices][][uuid]", slice32},
      {"app[slices][][arch]", "x86_64"},
      {"app[slices][][uuid]", slice64},
      {"app[icon][hash]", BCNSHA1HexStringFromData(png)},
      {"app[icon][prerendered]", "true"},
      {"app[icon][width]", "64"},
      {"app[icon][height]", "32"},
      {"app[icon][data] file=icon.png type=image/png", png},
  };
  EXPECT_EQ(partsOf(request.body, boundary), expected);
}

TEST_F(OnboardingOperationTest, UpdatePutsToTheBundleIdentifierAndReportsTheFailure) {
  installBundle(/*withIcon=*/false);
  server_->setReply("/spi/v1/platforms/mac/apps/com.example_app",
                    HTTPReply::json("{\"error\":\"no\"}", 422));
  auto operation = makeOperation(false);
  operation->start();
  ASSERT_TRUE(delegate_->waitForCall());
  ASSERT_TRUE(operation->waitUntilFinished(20s));
  ASSERT_EQ(delegate_->calls().size(), 1u);
  EXPECT_EQ(delegate_->calls()[0].first, "update");
  const platform::Error error = delegate_->calls()[0].second;
  EXPECT_EQ(error.domain(), kBCNNetworkErrorDomain);
  EXPECT_EQ(error.code(), kBCNNetworkErrorClientError);
  EXPECT_EQ(operation->error().code(), kBCNNetworkErrorClientError);

  ASSERT_EQ(server_->requestCount(), 1u);  // a client error is not retried
  const auto request = server_->requests()[0];
  EXPECT_EQ(request.method, "PUT");
  EXPECT_EQ(request.target, "/spi/v1/platforms/mac/apps/com.example_app");
  const std::string boundary = request.header("Content-Type").value_or("").substr(30);
  for (const auto& [name, value] : partsOf(request.body, boundary)) {
    EXPECT_FALSE(name.starts_with("app[icon]")) << name;  // no icon, no icon fields
  }
}

TEST_F(OnboardingOperationTest, UpdateGivesUpAfterOneRetry) {
  installBundle(/*withIcon=*/false);
  server_->setReply("/spi/v1/platforms/mac/apps/com.example_app", HTTPReply::text(503, "busy"));
  auto operation = makeOperation(false);
  operation->start();
  ASSERT_TRUE(operation->waitUntilFinished(20s));
  EXPECT_EQ(server_->requestCount(), 2u);
  EXPECT_EQ(operation->error().code(), kBCNNetworkErrorRetryLimitReached);
}

TEST_F(OnboardingOperationTest, GoneNetworkClientEndsTheOperationWithoutARequest) {
  installBundle(/*withIcon=*/false);
  auto operation = makeOperation(true);
  client_.reset();
  operation->start();
  ASSERT_TRUE(operation->waitUntilFinished(20s));
  EXPECT_EQ(operation->error().code(), kBCNNetworkErrorNoTask);
  ASSERT_EQ(delegate_->calls().size(), 1u);
  EXPECT_EQ(delegate_->calls()[0].first, "create");
  EXPECT_EQ(server_->requestCount(), 0u);
}

class EncoderlessOperation : public BCNOnboardingOperation {
 public:
  using BCNOnboardingOperation::BCNOnboardingOperation;

 protected:
  std::shared_ptr<BCNMultipartMimeStreamEncoder> makeEncoder(
      std::shared_ptr<platform::urlloading::OutputStream>, std::string) const override {
    return nullptr;
  }
};

TEST_F(OnboardingOperationTest, MissingEncoderFinishesWithItsOwnErrorAndTellsNoOne) {
  installBundle(/*withIcon=*/false);
  BCNConsoleCapture console;
  auto operation = std::make_shared<EncoderlessOperation>(
      delegate_, true, "api-key", platform::Value(), model_, server_->baseURL(), client_);
  platform::Error finished;
  operation->setAsyncCompletion([&](const platform::Error& e) { finished = e; });
  operation->start();
  EXPECT_TRUE(operation->isFinished());
  EXPECT_EQ(finished.domain(), "BCNSDKOnboardingErrorDomain");
  EXPECT_EQ(finished.code(), 0);
  EXPECT_EQ(finished.localizedDescription(), "Multipart mime encoder was nil");
  EXPECT_TRUE(console.contains("[Beacon] configure failed during onboarding"));
  EXPECT_TRUE(delegate_->calls().empty());
  EXPECT_EQ(server_->requestCount(), 0u);
}

TEST_F(OnboardingOperationTest, RequestsAndValues) {
  installBundle(/*withIcon=*/false);
  EXPECT_EQ(
      BCNOnboardingOperation::initWithDelegate(delegate_, true, std::nullopt, platform::Value(),
                                               model_, "https://x", client_, bundle_),
      nullptr);
  auto operation = BCNOnboardingOperation::initWithDelegate(
      delegate_, true, std::string("k"), platform::Value(), model_, "https://api.example.test",
      client_, bundle_);
  EXPECT_EQ(operation->className(), "BCNOnboardingOperation");
  EXPECT_EQ(operation->appCreateURL()->absoluteString(),
            "https://api.example.test/spi/v1/platforms/mac/apps");
  EXPECT_EQ(operation->appUpdateURL()->absoluteString(),
            "https://api.example.test/spi/v1/platforms/mac/apps/com.example_app");
  const auto create = operation->onboardingRequestForAppCreate(true);
  EXPECT_EQ(create.HTTPMethod(), "POST");
  EXPECT_EQ(create.timeoutInterval(), 10.0);
  EXPECT_EQ(create.valueForHTTPHeaderField("X-Crashtrail-API-Key"), "k");
  EXPECT_EQ(operation->onboardingRequestForAppCreate(false).HTTPMethod(), "PUT");
  EXPECT_EQ(BCNOnboardingOperation::formatIconDimension(57.9), "57");
  EXPECT_EQ(BCNOnboardingOperation::formatIconDimension(-3), "0");
  EXPECT_EQ(BCNOnboardingOperation::errorForCode(7).domain(), "BCNSDKOnboardingErrorDomain");
}

}  // namespace
}  // namespace sdk
