#include "sdk/platform/bcn_multipart_mime_stream_encoder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "platform/foundation/uuid.h"
#include "sdk/platform/bcn_console.h"
#include "support/temp_root.h"

namespace sdk {
namespace {

using platform::urlloading::MemoryOutputStream;

std::string text(const std::shared_ptr<MemoryOutputStream>& stream) {
  const auto bytes = stream->dataWrittenToMemory().value_or(platform::Bytes{});
  return std::string(bytes.begin(), bytes.end());
}

struct Encoded {
  std::string body;
  std::uint64_t length;
};

Encoded encode(const std::function<void(BCNMultipartMimeStreamEncoder&)>& block,
               std::string boundary = "B") {
  auto stream = std::make_shared<MemoryOutputStream>();
  auto encoder = BCNMultipartMimeStreamEncoder::encoderWithStream(stream, boundary);
  encoder->encode(block);
  return {text(stream), encoder->length()};
}

// A stream that accepts a fixed number of bytes, then writes short.
class ShortStream : public platform::urlloading::MemoryOutputStream {
 public:
  explicit ShortStream(std::size_t budget) : budget_(budget) {}
  long write(const std::uint8_t* bytes, std::size_t length) override {
    const std::size_t n = std::min(length, budget_);
    budget_ -= n;
    return MemoryOutputStream::write(bytes, n);
  }

 private:
  std::size_t budget_;
};

TEST(MultipartMimeStreamEncoderTest, EmptyBodyIsHeaderAndFooter) {
  const auto e = encode(nullptr, "XYZ");
  EXPECT_EQ(e.body, "MIME-Version: 1.0\r\n--XYZ--\r\n");
  EXPECT_EQ(e.length, 25u + 3u);
  EXPECT_EQ(e.length, e.body.size());

  auto stream = std::make_shared<MemoryOutputStream>();
  auto encoder = BCNMultipartMimeStreamEncoder::encoderWithStream(stream);
  EXPECT_EQ(encoder->boundary().size(), 36u);
  EXPECT_EQ(encoder->boundary(), platform::UUID::parse(encoder->boundary())->string());
  encoder->encode(nullptr);
  EXPECT_EQ(encoder->length(), 61u);
  EXPECT_EQ(stream->streamStatus(), platform::urlloading::StreamStatus::kClosed);
  EXPECT_NE(BCNMultipartMimeStreamEncoder::generateBoundary(),
            BCNMultipartMimeStreamEncoder::generateBoundary());
  EXPECT_EQ(BCNMultipartMimeStreamEncoder::encoderWithStream(nullptr), nullptr);
}

TEST(MultipartMimeStreamEncoderTest, TextAndFileFieldsHaveTheirExactHeads) {
  const auto e = encode([](BCNMultipartMimeStreamEncoder& enc) {
    enc.addValue("hello wörld", "app[name]");
    enc.addValue(platform::Value(42), "app[source]");
    enc.addFileData({0x89, 'P', 'N', 'G'}, "icon.png", "image/png", "app[icon][data]");
    enc.addFileData({0x00, 0x01}, "blob.bin", std::nullopt, "raw");
  });
  EXPECT_EQ(e.body,
            "MIME-Version: 1.0\r\n"
            "--B\r\nContent-Disposition: form-data; name=\"app[name]\"\r\n"
            "Content-Type: text/plain\r\n\r\nhello wörld\r\n"
            "--B\r\nContent-Disposition: form-data; name=\"app[source]\"\r\n"
            "Content-Type: text/plain\r\n\r\n42\r\n"
            "--B\r\nContent-Disposition: form-data; name=\"app[icon][data]\"; "
            "filename=\"icon.png\"\r\nContent-Type: image/png\r\n"
            "Content-Transfer-Encoding: binary\r\n\r\n\x89PNG\r\n"
            "--B\r\nContent-Disposition: form-data; name=\"raw\"; filename=\"blob.bin\"\r\n"
            "Content-Type: application/octet-stream\r\n\r\n" +
                std::string("\x00\x01", 2) +
                "\r\n"
                "--B--\r\n");
  EXPECT_EQ(e.length, e.body.size());
}

TEST(MultipartMimeStreamEncoderTest, BadFieldsAreSkippedWithAConsoleLine) {
  BCNConsoleCapture console;
  const auto e = encode([](BCNMultipartMimeStreamEncoder& enc) {
    enc.addValue(platform::Value::null(), "app[name]");
    enc.addValue(platform::Value(), "app[name]");
    enc.addValue(static_cast<const char*>(nullptr), "app[name]");
    enc.addValue("v", "");
    enc.addFileData({}, "icon.png", "image/png", "app[icon][data]");
    enc.addFileData({1}, "", "image/png", "app[icon][data]");
    enc.addFileData({1}, "icon.png", "image/png", "");
    enc.addValue("kept", "ok");
  });
  EXPECT_EQ(e.body,
            "MIME-Version: 1.0\r\n--B\r\nContent-Disposition: form-data; name=\"ok\"\r\n"
            "Content-Type: text/plain\r\n\r\nkept\r\n--B--\r\n");
  EXPECT_EQ(console.count("[Beacon] name (app[name]) or value ("), 3u);
  EXPECT_TRUE(console.contains("[Beacon] name () or value (v) is invalid"));
  EXPECT_TRUE(
      console.contains("[Beacon] Unable to MIME encode data with zero length (app[icon][data])"));
  EXPECT_TRUE(console.contains("[Beacon] name (app[icon][data]) or fieldname () is invalid"));
  EXPECT_TRUE(console.contains("[Beacon] name () or fieldname (icon.png) is invalid"));
}

TEST(MultipartMimeStreamEncoderTest, FilesAreReadWhole) {
  varnel::testing::TempRoot root;
  const std::string path = root.file("report.gz");
  std::ofstream(path, std::ios::binary) << std::string(3000, 'z');
  BCNConsoleCapture console;
  const auto e = encode([&](BCNMultipartMimeStreamEncoder& enc) {
    enc.addFile(platform::URL::fileURLWithPath(path), "report.gz", "application/gzip", "file");
    enc.addFile(platform::URL::fileURLWithPath(root.file("missing")), "m", std::nullopt, "gone");
  });
  EXPECT_NE(e.body.find("filename=\"report.gz\"\r\nContent-Type: application/gzip\r\n"
                        "Content-Transfer-Encoding: binary\r\n\r\n" +
                        std::string(3000, 'z') + "\r\n--B--\r\n"),
            std::string::npos);
  EXPECT_EQ(e.body.find("gone"), std::string::npos);
  EXPECT_TRUE(console.contains("zero length (gone)"));
}

TEST(MultipartMimeStreamEncoderTest, HeaderValues) {
  EXPECT_EQ(BCNMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary("abc"),
            "multipart/form-data; boundary=abc");
  auto stream = std::make_shared<MemoryOutputStream>();
  BCNMultipartMimeStreamEncoder encoder(stream, "b");
  EXPECT_EQ(encoder.contentTypeHTTPHeaderValue(), "multipart/form-data; boundary=b");
  stream->open();
  const std::vector<std::uint8_t> bytes(1234, 7);
  EXPECT_TRUE(encoder.writeBytes(bytes.data(), bytes.size()));
  EXPECT_EQ(encoder.contentLengthHTTPHeaderValue(), "1234");
  EXPECT_EQ(encoder.headerData(), platform::Bytes(std::string_view("MIME-Version: 1.0\r\n").begin(),
                                                  std::string_view("MIME-Version: 1.0\r\n").end()));
  const std::string footer = "--b--\r\n";
  EXPECT_EQ(encoder.footerData(), platform::Bytes(footer.begin(), footer.end()));
}

TEST(MultipartMimeStreamEncoderTest, ShortWritesAreLoggedAndNotCounted) {
  BCNConsoleCapture console;
  auto stream = std::make_shared<ShortStream>(19 + 5);  // the header and five more bytes
  BCNMultipartMimeStreamEncoder encoder(stream, "B");
  encoder.encode([](BCNMultipartMimeStreamEncoder& enc) { enc.addValue("v", "f"); });
  EXPECT_EQ(encoder.length(), 19u);
  EXPECT_GE(console.count("[Beacon] Failed to write data to stream"), 1u);

  auto closed = std::make_shared<MemoryOutputStream>();  // never opened: every write fails
  BCNMultipartMimeStreamEncoder direct(closed, "B");
  const std::uint8_t byte = 1;
  EXPECT_FALSE(direct.writeBytes(&byte, 1));
  EXPECT_EQ(direct.length(), 0u);
  EXPECT_TRUE(console.contains("[Beacon] Failed to write bytes to stream"));
}

TEST(MultipartMimeStreamEncoderTest, LengthStartsAgainAtEachEncoding) {
  auto stream = std::make_shared<MemoryOutputStream>();
  BCNMultipartMimeStreamEncoder encoder(stream, "B");
  stream->open();
  const std::uint8_t bytes[100] = {};
  ASSERT_TRUE(encoder.writeBytes(bytes, sizeof bytes));
  encoder.encode(nullptr);
  EXPECT_EQ(encoder.length(), 25u + 1u);
}

TEST(MultipartMimeStreamEncoderTest, PopulateRequestSetsTypeLengthAndBody) {
  platform::urlloading::URLRequest request(platform::URL("https://127.0.0.1/x"));
  BCNMultipartMimeStreamEncoder::populateRequest(
      request, [](BCNMultipartMimeStreamEncoder& enc) { enc.addValue("v", "f"); });
  const auto type = request.valueForHTTPHeaderField("Content-Type");
  ASSERT_TRUE(type);
  ASSERT_TRUE(type->starts_with("multipart/form-data; boundary="));
  const std::string boundary = type->substr(std::string("multipart/form-data; boundary=").size());
  EXPECT_EQ(boundary.size(), 36u);
  const std::string body(request.HTTPBody().begin(), request.HTTPBody().end());
  EXPECT_EQ(request.valueForHTTPHeaderField("Content-Length"), std::to_string(body.size()));
  EXPECT_TRUE(body.ends_with("--" + boundary + "--\r\n"));
  EXPECT_NE(body.find("name=\"f\"\r\nContent-Type: text/plain\r\n\r\nv\r\n"), std::string::npos);
}

}  // namespace
}  // namespace sdk
