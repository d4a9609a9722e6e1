// The update check against a feed host that sends more than a feed: an
// endless reply, a length no feed has, and a feed that grows past the limit
// with its newest offer at the end. The real updater loads from a loopback
// server.
#include "client/core/updater.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "platform/runloop/run_loop.h"
#include "platform/urlloading/url_connection.h"
#include "support/http_test_server.h"
#include "support/temp_root.h"

namespace client {
namespace {

using test_support::HTTPReply;
using test_support::HTTPTestServer;

std::string offer(const std::string& version) {
  return "<item><enclosure url=\"https://127.0.0.1/" + version + ".zip\" x:version=\"" + version +
         "\" length=\"0\"/></item>\n";
}

// A feed of `size` bytes: the offer of 119, blank padding, the offer of 120.
std::string paddedFeed(std::size_t size) {
  const std::string head =
      "<?xml version=\"1.0\"?>\n<rss version=\"2.0\"><channel>\n" + offer("119");
  const std::string tail = offer("120") + "</channel></rss>\n";
  return head + std::string(size - head.size() - tail.size(), ' ') + tail;
}

class UpdaterTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    server_ = HTTPTestServer::start();
    updater_ = VRUpdater::create();
  }
  // Checks the feed at `path`; the result, or nullopt when none came.
  std::optional<UpdateCheckResult> check(const std::string& path) {
    updater_->setFeedURL(platform::URL(server_->url(path)));
    std::optional<UpdateCheckResult> result;
    updater_->checkForUpdates([&](const UpdateCheckResult& r) { result = r; });
    platform::runloop::RunLoop::main().runUntil([&] { return result.has_value(); },
                                                std::chrono::seconds(30));
    return result;
  }

  std::unique_ptr<HTTPTestServer> server_;
  std::shared_ptr<VRUpdater> updater_;
};

TEST_F(UpdaterTest, AFeedReplyOverTheLimitFailsTheCheck) {
  // Endless, with no length.
  HTTPReply endless;
  endless.headers = {{"Content-Type", "application/xml"}};
  endless.bodyWriter = [](const auto& write, const auto&) {
    const std::string block(64 * 1024, ' ');
    while (write(block)) {
    }
  };
  server_->setReply("/endless.xml", endless);
  // A length no feed has: refused before the body is read.
  HTTPReply huge = endless;
  huge.headers.emplace_back("Content-Length", "10737418240");
  server_->setReply("/huge.xml", huge);
  // A feed that grows past the limit with its newest offer at the end: it
  // is not read as if the part that came were the whole.
  server_->setReply("/long.xml", HTTPReply::text(200, paddedFeed(kUpdateFeedMaximumLength + 1),
                                                 "application/xml"));
  for (const char* path : {"/endless.xml", "/huge.xml", "/long.xml"}) {
    auto result = check(path);
    ASSERT_TRUE(result) << path;
    EXPECT_EQ(result->error.domain(), platform::kURLErrorDomain) << path;
    EXPECT_EQ(result->error.code(), platform::urlloading::kURLErrorDataLengthExceedsMaximum)
        << path;
    EXPECT_EQ(result->latestVersion, "") << path;
    EXPECT_FALSE(result->updateAvailable) << path;
  }

  // The updater goes on working: a feed of exactly the limit is read whole.
  server_->setReply("/feed.xml",
                    HTTPReply::text(200, paddedFeed(kUpdateFeedMaximumLength), "application/xml"));
  auto result = check("/feed.xml");
  ASSERT_TRUE(result);
  EXPECT_FALSE(result->error) << result->error.description();
  EXPECT_EQ(result->latestVersion, "120");
}

}  // namespace
}  // namespace client
