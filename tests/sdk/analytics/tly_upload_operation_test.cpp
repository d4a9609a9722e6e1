#include "sdk/analytics/tly_upload_operation.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/foundation/url.h"
#include "platform/system/file_util.h"
#include "sdk/platform/bcn_network_operation.h"
#include "support/temp_root.h"

namespace sdk {
namespace {

class TLYUploadOperationTest : public varnel::testing::TempRootTest {};

TEST_F(TLYUploadOperationTest, RequestCarriesTheEventHeadersInOrder) {
  const std::string package = root().file("B-42.multipartmime");
  ASSERT_TRUE(platform::files::writeFileAtomically(package, std::string(1234, 'x'), 0644));
  TLYUploadOperation operation(nullptr, platform::URL("https://127.0.0.1:1/spi/v2/events"),
                               std::string("key-1"), platform::URL::fileURLWithPath(package),
                               "B-42");
  const auto request = operation.uploadRequest();
  EXPECT_EQ(request.HTTPMethod(), "POST");
  EXPECT_EQ(request.url().absoluteString(), "https://127.0.0.1:1/spi/v2/events");
  EXPECT_TRUE(request.HTTPBody().empty());

  std::vector<std::pair<std::string, std::string>> expected = {
      {"Content-Type", "multipart/form-data; boundary=B-42"},
      {"Content-Length", "1234"},
      {"User-Agent", "Tally Mac SDK/1.3.4"},
      {"X-CRASHTRAIL-DEVELOPER-TOKEN", kBCNDeveloperToken},
      {"X-CRASHTRAIL-API-CLIENT-TYPE", "Tally Mac SDK"},
      {"X-CRASHTRAIL-API-CLIENT-VERSION", "26"},
      {"X-CRASHTRAIL-API-CLIENT-DISPLAY-VERSION", "1.3.4"},
      {"X-CRASHTRAIL-API-CLIENT-BUILD-VERSION", "26"},
      {"X-CRASHTRAIL-API-KEY", "key-1"},
  };
  const auto& fields = request.allHTTPHeaderFields().fields();
  ASSERT_EQ(fields.size(), expected.size() + 1);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(fields[i], expected[i]) << i;
  }
  EXPECT_EQ(fields.back().first, "X-Crashtrail-Api-Client-Packaged-Timestamp");
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  const long long stamp = std::stoll(fields.back().second);
  EXPECT_LE(stamp, now);
  EXPECT_GE(stamp, now - 60);
  EXPECT_EQ(fields.back().second.find_first_not_of("0123456789"), std::string::npos);
}

TEST_F(TLYUploadOperationTest, MissingPackageAndMissingKey) {
  TLYUploadOperation operation(
      nullptr, platform::URL("https://127.0.0.1:1/spi/v2/events"), std::nullopt,
      platform::URL::fileURLWithPath(root().file("gone.multipartmime")), "gone");
  const auto request = operation.uploadRequest();
  EXPECT_EQ(request.valueForHTTPHeaderField("Content-Length"), std::optional<std::string>("0"));
  EXPECT_FALSE(request.valueForHTTPHeaderField("X-CRASHTRAIL-API-KEY").has_value());
}

}  // namespace
}  // namespace sdk
