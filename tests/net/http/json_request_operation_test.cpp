#include "net/http/json_request_operation.h"

#include <gtest/gtest.h>

#include "net/http/http_test_util.h"
#include "support/http_test_server.h"

namespace {

using http_test::requestFor;
using http_test::runMainUntil;
using net::http::NKJSONRequestOperation;
using test_support::HTTPReply;
using test_support::HTTPTestServer;

struct Result {
  bool done = false, success = false;
  platform::Value json;
  platform::Error error;
  std::optional<platform::urlloading::URLResponse> response;
};

std::shared_ptr<Result> fetch(const std::string& url) {
  auto result = std::make_shared<Result>();
  auto op = NKJSONRequestOperation::JSONRequestOperationWithRequest(
      requestFor(url),
      [result](const auto&, const auto& response, const platform::Value& json) {
        result->done = result->success = true;
        result->json = json;
        result->response = response;
      },
      [result](const auto&, const auto& response, const platform::Error& error,
               const platform::Value& json) {
        result->done = true;
        result->error = error;
        result->json = json;
        result->response = response;
      });
  op->start();
  EXPECT_TRUE(runMainUntil([&] { return result->done; }));
  return result;
}

class NKJSONRequestOperationTest : public ::testing::Test {
 protected:
  void SetUp() override { server = HTTPTestServer::start(); }
  std::unique_ptr<HTTPTestServer> server;
};

TEST_F(NKJSONRequestOperationTest, ParsesTheBodyOffTheMainThread) {
  server->setReply("/a", HTTPReply::json("{\"name\": \"x\", \"list\": [1, 2]}"));
  auto r = fetch(server->url("/a"));
  ASSERT_TRUE(r->success);
  EXPECT_EQ(r->json["name"].asString(), "x");
  EXPECT_EQ(r->json["list"].count(), 2u);
  EXPECT_EQ(r->response->statusCode(), 200);
}

TEST_F(NKJSONRequestOperationTest, EmptyAndSingleSpaceBodiesSucceedWithoutAnObject) {
  server->setReply("/empty", HTTPReply::json(""));
  server->setReply("/space", HTTPReply::json(" "));
  for (const char* path : {"/empty", "/space"}) {
    auto r = fetch(server->url(path));
    EXPECT_TRUE(r->success) << path;
    EXPECT_TRUE(r->json.isNone()) << path;
  }
}

TEST_F(NKJSONRequestOperationTest, MalformedJSONFailsWithTheParserError) {
  server->setReply("/bad", HTTPReply::json("{\"a\": }"));
  auto r = fetch(server->url("/bad"));
  EXPECT_FALSE(r->success);
  EXPECT_EQ(r->error.domain(), "JTErrorDomain");
}

TEST_F(NKJSONRequestOperationTest, BytesThatAreNotTextFailWithMinus1016) {
  server->setReply(
      "/binary", HTTPReply::text(200, "{\"a\": \"\xff\xfe\"}", "application/json; charset=utf-8"));
  auto r = fetch(server->url("/binary"));
  ASSERT_FALSE(r->success);
  EXPECT_EQ(r->error.domain(), "NKNetworkingErrorDomain");
  EXPECT_EQ(r->error.code(), -1016);
  EXPECT_EQ(r->error.localizedDescription(),
            "Operation responseData failed decoding as a UTF-8 string");
  EXPECT_EQ(r->error.localizedFailureReason().rfind("Could not decode string: {\"a\": ", 0), 0u);
}

TEST_F(NKJSONRequestOperationTest, TextTypesWithoutCharsetAreReadAsLatin1) {
  server->setReply("/js", HTTPReply::text(200, "[\"caf\xe9\"]", "text/javascript"));
  server->setReply("/utf8", HTTPReply::text(200, "[\"caf\xc3\xa9\"]", "application/json"));
  auto js = fetch(server->url("/js"));
  ASSERT_TRUE(js->success) << js->error.description();
  EXPECT_EQ(js->json[0].asString(), "caf\xc3\xa9");
  auto utf8 = fetch(server->url("/utf8"));
  EXPECT_EQ(utf8->json[0].asString(), "caf\xc3\xa9");
}

TEST_F(NKJSONRequestOperationTest, RejectedRepliesStillHandTheParsedBodyToTheFailureBlock) {
  server->setReply("/denied", HTTPReply::json("{\"error\": \"denied\"}", 403));
  auto r = fetch(server->url("/denied"));
  EXPECT_FALSE(r->success);
  EXPECT_EQ(r->error.code(), -1011);
  EXPECT_EQ(r->json["error"].asString(), "denied");
  EXPECT_EQ(r->error.localizedRecoverySuggestion(), "{\"error\": \"denied\"}");
}

TEST_F(NKJSONRequestOperationTest, ResponseJSONIsNothingBeforeTheOperationFinished) {
  auto op = NKJSONRequestOperation::create(requestFor(server->url("/x")));
  EXPECT_TRUE(op->responseJSON().isNone());
  EXPECT_FALSE(op->error());
}

}  // namespace
