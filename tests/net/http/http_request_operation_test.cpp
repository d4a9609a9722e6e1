#include "net/http/http_request_operation.h"

#include <gtest/gtest.h>

#include <future>

#include "net/http/http_test_util.h"
#include "net/http/json_request_operation.h"
#include "support/http_test_server.h"

namespace {

using http_test::requestFor;
using http_test::runMainUntil;
using net::http::NKHTTPRequestOperation;
using net::http::NKJSONRequestOperation;
using net::http::NKOperationClass;
using test_support::HTTPReply;
using test_support::HTTPTestServer;

// A subclass with its own class descriptor, to see per-class settings.
class NotModifiedOperation : public NKHTTPRequestOperation {
 public:
  using NKHTTPRequestOperation::NKHTTPRequestOperation;
  static const NKOperationClass& operationClass() {
    static const NKOperationClass cls(
        "NotModifiedOperation", &NKHTTPRequestOperation::operationClass(),
        [](URLRequest r) { return std::make_shared<NotModifiedOperation>(std::move(r)); },
        [](const URLRequest& r) { return canProcessRequestByAccept(operationClass(), r); });
    return cls;
  }
  const NKOperationClass& objectClass() const override { return operationClass(); }
};

class DerivedOperation : public NotModifiedOperation {
 public:
  using NotModifiedOperation::NotModifiedOperation;
  static const NKOperationClass& operationClass() {
    static const NKOperationClass cls(
        "DerivedOperation", &NotModifiedOperation::operationClass(),
        [](URLRequest r) { return std::make_shared<DerivedOperation>(std::move(r)); }, nullptr);
    return cls;
  }
  const NKOperationClass& objectClass() const override { return operationClass(); }
};

// Runs `op` with callbacks and waits for exactly one of them.
struct Outcome {
  int successes = 0, failures = 0;
  platform::Value object;
  platform::Error error;
};

Outcome run(const NKHTTPRequestOperation::Ptr& op) {
  auto outcome = std::make_shared<Outcome>();
  op->setCompletionBlockWithSuccess(
      [outcome](const NKHTTPRequestOperation::Ptr&, const platform::Value& v) {
        ++outcome->successes;
        outcome->object = v;
      },
      [outcome](const NKHTTPRequestOperation::Ptr&, const platform::Error& e) {
        ++outcome->failures;
        outcome->error = e;
      });
  op->start();
  EXPECT_TRUE(runMainUntil([&] { return outcome->successes + outcome->failures > 0; }));
  return *outcome;
}

TEST(NKHTTPRequestOperationTest, RangeTextAndSetDescription) {
  EXPECT_EQ(NKHTTPRequestOperation::rangeText(*NKHTTPRequestOperation::acceptableStatusCodes()),
            "200-299");
  EXPECT_EQ(NKHTTPRequestOperation::rangeText({200, 201, 204, 300, 301, 302}),
            "200-201,204,300-302");
  EXPECT_EQ(NKHTTPRequestOperation::setDescription({"application/json", "image/x-icon"}),
            "{(\n    application/json,\n    \"image/x-icon\"\n)}");
}

TEST(NKHTTPRequestOperationTest, StatusCodesDecideSuccessWithTheExactMessage) {
  auto server = HTTPTestServer::start();
  server->setReply("/missing", HTTPReply::text(404, "no such thing"));
  server->setReply("/empty", HTTPReply::text(204, ""));
  server->setReply("/same", HTTPReply::text(304, ""));

  Outcome missing = run(NKHTTPRequestOperation::create(requestFor(server->url("/missing"))));
  EXPECT_EQ(missing.failures, 1);
  EXPECT_EQ(missing.error.domain(), "NKNetworkingErrorDomain");
  EXPECT_EQ(missing.error.code(), -1011);
  EXPECT_EQ(missing.error.localizedDescription(), "Expected status code in (200-299), got 404");
  EXPECT_EQ(missing.error.localizedRecoverySuggestion(), "no such thing");
  EXPECT_EQ(missing.error.userInfo()[platform::kURLErrorKey].asString(), server->url("/missing"));
  EXPECT_TRUE(missing.error.userInfo()["NKNetworkingOperationFailingURLResponseErrorKey"]);

  Outcome empty = run(NKHTTPRequestOperation::create(requestFor(server->url("/empty"))));
  EXPECT_EQ(empty.successes, 1);

  Outcome notModified = run(NKHTTPRequestOperation::create(requestFor(server->url("/same"))));
  EXPECT_EQ(notModified.error.code(), -1011);

  NotModifiedOperation::addAcceptableStatusCodesFor(NotModifiedOperation::operationClass(), {304});
  Outcome accepted = run(std::make_shared<NotModifiedOperation>(requestFor(server->url("/same"))));
  EXPECT_EQ(accepted.successes, 1);
  Outcome derived = run(std::make_shared<DerivedOperation>(requestFor(server->url("/missing"))));
  EXPECT_EQ(derived.error.localizedDescription(), "Expected status code in (200-299,304), got 404");
  EXPECT_EQ(NKHTTPRequestOperation::rangeText(*NKHTTPRequestOperation::acceptableStatusCodes()),
            "200-299")
      << "the base class keeps its set";
}

TEST(NKHTTPRequestOperationTest, ContentTypesAreJudgedOnlyWithABody) {
  auto server = HTTPTestServer::start();
  server->setReply("/html", HTTPReply::text(200, "<p>", "text/html"));
  server->setReply("/emptyhtml", HTTPReply::text(200, "", "text/html"));
  server->setReply("/untyped", HTTPReply::text(200, "x", ""));

  Outcome html = run(NKJSONRequestOperation::create(requestFor(server->url("/html"))));
  EXPECT_EQ(html.error.code(), -1016);
  EXPECT_EQ(html.error.localizedDescription(),
            "Expected content type {(\n    application/json,\n    text/javascript,\n"
            "    text/json\n)}, got text/html");

  Outcome empty = run(NKJSONRequestOperation::create(requestFor(server->url("/emptyhtml"))));
  EXPECT_EQ(empty.successes, 1);

  auto untyped = NKJSONRequestOperation::create(requestFor(server->url("/untyped")));
  Outcome u = run(untyped);
  EXPECT_NE(u.error.localizedDescription().find("got (null)"), std::string::npos)
      << u.error.localizedDescription();

  Outcome plain = run(NKHTTPRequestOperation::create(requestFor(server->url("/html"))));
  EXPECT_EQ(plain.successes, 1) << "the base class accepts any type";
  EXPECT_EQ(http_test::text(plain.object.asData()), "<p>");
}

TEST(NKHTTPRequestOperationTest, ValidationErrorHidesTheTransportErrorAndIsBuiltOnce) {
  auto server = HTTPTestServer::start();
  server->setReply("/bad", HTTPReply::text(500, "oops"));
  auto op = NKHTTPRequestOperation::create(requestFor(server->url("/bad")));
  run(op);
  platform::Error first = op->error();
  EXPECT_EQ(first.code(), -1011);
  NKHTTPRequestOperation::addAcceptableStatusCodes({500});
  EXPECT_EQ(op->error().code(), -1011) << "built once";
  NKHTTPRequestOperation::addAcceptableStatusCodes({});
}

TEST(NKHTTPRequestOperationTest, AVerdictAskedForBeforeTheAnswerIsNotKept) {
  auto server = HTTPTestServer::start();
  server->setReply("/gone", HTTPReply::text(404, "gone"));
  server->setReply("/fine", HTTPReply::text(200, "fine"));
  auto gone = NKHTTPRequestOperation::create(requestFor(server->url("/gone")));
  EXPECT_FALSE(gone->error());  // no answer yet
  EXPECT_FALSE(gone->hasAcceptableStatusCode());
  Outcome outcome = run(gone);
  EXPECT_EQ(outcome.failures, 1);
  EXPECT_EQ(outcome.error.code(), -1011);
  EXPECT_EQ(gone->error().code(), -1011);
  EXPECT_FALSE(gone->hasAcceptableStatusCode());

  auto fine = NKHTTPRequestOperation::create(requestFor(server->url("/fine")));
  outcome = run(fine);
  EXPECT_EQ(outcome.successes, 1);
  EXPECT_FALSE(fine->error());
  EXPECT_FALSE(fine->error());
  EXPECT_TRUE(fine->hasAcceptableStatusCode());
  EXPECT_TRUE(fine->hasAcceptableContentType());
}

TEST(NKHTTPRequestOperationTest, TextResponsesWithoutCharsetAreLatin1) {
  auto server = HTTPTestServer::start();
  server->setReply("/html", HTTPReply::text(200, "caf\xe9", "text/html"));
  server->setReply("/utf8", HTTPReply::text(200, "caf\xc3\xa9", "text/html; charset=utf-8"));
  server->setReply("/json", HTTPReply::text(200, "caf\xc3\xa9", "application/json"));
  for (const char* path : {"/html", "/utf8", "/json"}) {
    auto op = NKHTTPRequestOperation::create(requestFor(server->url(path)));
    run(op);
    EXPECT_EQ(op->responseString(), "caf\xc3\xa9") << path;
  }
}

TEST(NKHTTPRequestOperationTest, CanProcessRequest) {
  auto request = requestFor("http://127.0.0.1/x");
  EXPECT_TRUE(NKHTTPRequestOperation::canProcessRequest(request));
  EXPECT_FALSE(NKJSONRequestOperation::canProcessRequest(request));
  request.setValueForHTTPHeaderField("Accept", "text/html, application/json;q=0.9");
  EXPECT_TRUE(NKJSONRequestOperation::canProcessRequest(request));
  EXPECT_TRUE(NKJSONRequestOperation::canProcessRequest(requestFor("http://127.0.0.1/a.json")));
}

TEST(NKHTTPRequestOperationTest, PauseAsksForTheRestAndA200StartsAfresh) {
  auto server = HTTPTestServer::start();
  const std::string first(1000, 'a');
  std::atomic<int> calls{0};
  server->setHandler("/file", [&](const test_support::HTTPRecordedRequest&) {
    HTTPReply r;
    r.headers = {{"ETag", "\"v1\""}, {"Content-Type", "application/octet-stream"}};
    if (calls++ == 0) {
      r.chunks = {first, std::string(500, 'b')};
      r.chunkDelaySeconds = 30;  // held until the pause
    } else {
      r.body = "whole new body";  // ignores the range: 200, not 206
    }
    return r;
  });
  auto op = NKHTTPRequestOperation::create(requestFor(server->url("/file")));
  op->start();
  ASSERT_TRUE(runMainUntil([&] { return op->totalBytesRead() == 1000; }));
  op->pause();
  EXPECT_EQ(op->request().valueForHTTPHeaderField("Range"), "bytes=1000-");
  EXPECT_EQ(op->request().valueForHTTPHeaderField("If-Range"), "\"v1\"");
  op->resume();
  ASSERT_TRUE(op->waitUntilFinished(std::chrono::seconds(15)));
  EXPECT_EQ(server->requests().at(1).header("Range"), "bytes=1000-");
  EXPECT_EQ(http_test::text(*op->responseData()), "whole new body");
}

TEST(NKHTTPRequestOperationTest, CallbacksRunOnTheChosenQueues) {
  auto server = HTTPTestServer::start();
  server->setReply("/ok", HTTPReply::text(200, "ok"));
  auto queue = platform::dispatch::Queue::createSerial("callbacks");
  auto op = NKHTTPRequestOperation::create(requestFor(server->url("/ok")));
  op->setSuccessCallbackQueue(queue);
  std::promise<bool> onQueue;
  op->setCompletionBlockWithSuccess(
      [&, queue](const NKHTTPRequestOperation::Ptr&, const platform::Value&) {
        onQueue.set_value(queue->isCurrent());
      },
      nullptr);
  op->start();
  auto f = onQueue.get_future();
  ASSERT_EQ(f.wait_for(std::chrono::seconds(15)), std::future_status::ready);
  EXPECT_TRUE(f.get());
}

}  // namespace
