#include <gtest/gtest.h>

#include "net/http/http_test_util.h"
#include "net/http/image_request_operation.h"
#include "net/http/property_list_request_operation.h"
#include "net/http/xml_request_operation.h"
#include "support/http_test_server.h"

namespace {

using namespace net::http;
using http_test::requestFor;
using http_test::runMainUntil;
using test_support::HTTPReply;
using test_support::HTTPTestServer;

const char* kPlist =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>a</key>"
    "<integer>1</integer></dict></plist>\n";

// {"a": 1, "list": [true, "café"]} in the binary format.
const std::string kBinaryPlist(
    "\x62\x70\x6c\x69\x73\x74\x30\x30\xd2\x01\x02\x03\x04\x51\x61\x54\x6c\x69\x73\x74\x10\x01\xa2"
    "\x05"
    "\x06\x09\x64\x00\x63\x00\x61\x00\x66\x00\xe9\x08\x0d\x0f\x14\x16\x19\x1a\x00\x00\x00\x00\x00"
    "\x00"
    "\x01\x01\x00\x00\x00\x00\x00\x00\x00\x07\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
    "\x00"
    "\x00\x23",
    74);

std::string png(std::uint32_t w, std::uint32_t h) {
  std::string d = "\x89PNG\r\n\x1a\n";
  d += std::string("\0\0\0\x0dIHDR", 8);
  for (std::uint32_t v : {w, h}) {
    for (int s = 24; s >= 0; s -= 8) d.push_back(static_cast<char>((v >> s) & 0xff));
  }
  d += std::string(5, '\0');
  return d;
}

class TypedOperationsTest : public ::testing::Test {
 protected:
  void SetUp() override { server = HTTPTestServer::start(); }
  std::unique_ptr<HTTPTestServer> server;
};

TEST_F(TypedOperationsTest, PropertyListSuccessAndFailure) {
  server->setReply("/a.plist", HTTPReply::text(200, kPlist, "application/x-plist"));
  server->setReply("/bad.plist", HTTPReply::text(200, "<plist><dict>", "application/x-plist"));
  server->setReply("/empty.plist", HTTPReply::text(200, "", "application/x-plist"));
  server->setReply("/binary", HTTPReply::text(200, kBinaryPlist, "application/x-plist"));
  platform::Value got;
  platform::Error failed;
  int calls = 0;
  for (const char* path : {"/a.plist", "/bad.plist", "/empty.plist", "/binary"}) {
    auto op = NKPropertyListRequestOperation::propertyListRequestOperationWithRequest(
        requestFor(server->url(path)),
        [&](const auto&, const auto&, const platform::Value& plist) {
          got = plist;
          ++calls;
        },
        [&](const auto&, const auto&, const platform::Error& e, const platform::Value&) {
          failed = e;
          ++calls;
        });
    const int before = calls;
    op->start();
    ASSERT_TRUE(runMainUntil([&] { return calls > before; })) << path;
    if (std::string(path) == "/a.plist") {
      EXPECT_EQ(got["a"].asInt64(), 1);
      EXPECT_EQ(op->propertyListFormat(), kNKPropertyListXMLFormat);
    } else if (std::string(path) == "/binary") {
      EXPECT_EQ(got["a"].asInt64(), 1);
      EXPECT_EQ(got["list"][1].asString(), "caf\xC3\xA9");
      EXPECT_EQ(op->propertyListFormat(), kNKPropertyListBinaryFormat);
      EXPECT_TRUE(op->error().isNone());
    } else if (std::string(path) == "/bad.plist") {
      EXPECT_EQ(failed.domain(), platform::kCocoaErrorDomain);
      EXPECT_EQ(op->error(), failed);
    } else {
      EXPECT_TRUE(got.isNone()) << "an empty body succeeds with no list";
    }
    got = platform::Value();
  }
}

TEST_F(TypedOperationsTest, ClaimsByExtensionWhateverTheAcceptHeader) {
  auto r = requestFor("http://127.0.0.1/x.plist");
  r.setValueForHTTPHeaderField("Accept", "text/html");
  EXPECT_TRUE(NKPropertyListRequestOperation::canProcessRequest(r));
  EXPECT_TRUE(NKXMLRequestOperation::canProcessRequest(requestFor("http://127.0.0.1/feed.xml")));
  EXPECT_TRUE(NKImageRequestOperation::canProcessRequest(requestFor("http://127.0.0.1/i.cur")));
  EXPECT_FALSE(NKImageRequestOperation::canProcessRequest(requestFor("http://127.0.0.1/i.svg")));
}

TEST_F(TypedOperationsTest, XMLParserAndDocument) {
  server->setReply("/feed.xml", HTTPReply::text(200, "<a><b>y</b></a>", "text/xml"));
  struct Collect : NKXMLParserDelegate {
    std::vector<std::string> names;
    void parserDidStartElement(NKXMLParser&, const std::string& n,
                               const platform::Value&) override {
      names.push_back(n);
    }
  };
  std::shared_ptr<NKXMLParser> parser;
  auto op = NKXMLRequestOperation::XMLParserRequestOperationWithRequest(
      requestFor(server->url("/feed.xml")),
      [&](const auto&, const auto&, const std::shared_ptr<NKXMLParser>& p) { parser = p; },
      nullptr);
  op->start();
  ASSERT_TRUE(runMainUntil([&] { return parser != nullptr; }));
  auto delegate = std::make_shared<Collect>();
  parser->setDelegate(delegate);
  EXPECT_TRUE(parser->parse());
  EXPECT_EQ(delegate->names, (std::vector<std::string>{"a", "b"}));

  platform::Value document;
  auto docOp = NKXMLRequestOperation::XMLDocumentRequestOperationWithRequest(
      requestFor(server->url("/feed.xml")),
      [&](const auto&, const auto&, const platform::Value& d) { document = d; }, nullptr);
  docOp->start();
  ASSERT_TRUE(runMainUntil([&] { return !document.isNone(); }));
  EXPECT_EQ(document["b"].asString(), "y");
}

TEST_F(TypedOperationsTest, ImagesAndTheirFailures) {
  server->setReply("/i.png", HTTPReply::text(200, png(3, 7), "image/png"));
  server->setReply("/jpg", HTTPReply::text(200, "xx", "image/jpg"));
  NKImageRequestOperation::ImagePtr image;
  bool done = false;
  auto op = NKImageRequestOperation::imageRequestOperationWithRequest(
      requestFor(server->url("/i.png")), [&](const NKImageRequestOperation::ImagePtr& i) {
        image = i;
        done = true;
      });
  op->start();
  ASSERT_TRUE(runMainUntil([&] { return done; }));
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 3);
  EXPECT_EQ(image->height, 7);

  // An icon whose directory says 48 x 24, served under its own type.
  std::string ico("\0\0\1\0\1\0\x30\x18\0\0\1\0\x20\0\x28\0\0\0\x16\0\0\0", 22);
  ico += std::string("\x28\0\0\0", 4) + std::string(36, '\0');
  server->setReply("/favicon.ico", HTTPReply::text(200, ico, "image/x-icon"));
  image.reset();
  done = false;
  auto iconOp = NKImageRequestOperation::imageRequestOperationWithRequest(
      requestFor(server->url("/favicon.ico")), [&](const NKImageRequestOperation::ImagePtr& i) {
        image = i;
        done = true;
      });
  iconOp->start();
  ASSERT_TRUE(runMainUntil([&] { return done; }));
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 48);
  EXPECT_EQ(image->height, 24);
  EXPECT_EQ(image->format, "ico");

  platform::Error error;
  auto bad = NKImageRequestOperation::imageRequestOperationWithRequest(
      requestFor(server->url("/jpg")), nullptr, nullptr,
      [&](const auto&, const auto&, const platform::Error& e) { error = e; });
  bad->start();
  ASSERT_TRUE(runMainUntil([&] { return static_cast<bool>(error); }));
  EXPECT_EQ(error.code(), -1016) << "image/jpg is not an image type";
}

}  // namespace
