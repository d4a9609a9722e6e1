#include "sdk/platform/bcn_multipart_mime_stream_encoder.h"

#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "sdk/platform/bcn_console.h"
#include "sdk/platform/bcn_encoding.h"

namespace sdk {
namespace {

constexpr std::string_view kCRLF = "\r\n";
constexpr std::string_view kHeader = "MIME-Version: 1.0\r\n";
constexpr std::string_view kDefaultMimeType = "application/octet-stream";

platform::Bytes toBytes(std::string_view text) { return platform::Bytes(text.begin(), text.end()); }

// The head of one part, up to and including the blank line before its
// content: the boundary line, the disposition with the field name (and the
// file name of a file part) and the content type lines.
std::string partHead(std::string_view boundary, std::string_view fieldName,
                     std::optional<std::string_view> fileName, std::string_view contentType) {
  std::string head;
  head += "--";
  head += boundary;
  head += kCRLF;
  head += "Content-Disposition: form-data; name=\"";
  head += fieldName;
  head += "\"";
  if (fileName) {
    head += "; filename=\"";
    head += *fileName;
    head += "\"";
  }
  head += kCRLF;
  head += "Content-Type: ";
  head += contentType;
  head += kCRLF;
  head += kCRLF;
  return head;
}

}  // namespace

std::string BCNMultipartMimeStreamEncoder::generateBoundary() { return BCNGenerateUUIDString(); }

std::string BCNMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary(
    std::string_view boundary) {
  return platform::format("multipart/form-data; boundary=%@", boundary);
}

std::shared_ptr<BCNMultipartMimeStreamEncoder> BCNMultipartMimeStreamEncoder::encoderWithStream(
    std::shared_ptr<OutputStream> stream, std::optional<std::string> boundary) {
  if (!stream) return nullptr;
  return std::make_shared<BCNMultipartMimeStreamEncoder>(std::move(stream), std::move(boundary));
}

BCNMultipartMimeStreamEncoder::BCNMultipartMimeStreamEncoder(std::shared_ptr<OutputStream> stream,
                                                             std::optional<std::string> boundary)
    : outputStream_(std::move(stream)),
      boundary_(boundary ? std::move(*boundary) : generateBoundary()) {}

void BCNMultipartMimeStreamEncoder::encode(
    const std::function<void(BCNMultipartMimeStreamEncoder&)>& block) {
  beginEncoding();
  if (block) block(*this);
  endEncoding();
}

void BCNMultipartMimeStreamEncoder::beginEncoding() {
  length_ = 0;
  if (outputStream_) outputStream_->open();
  writeData(headerData());
}

void BCNMultipartMimeStreamEncoder::endEncoding() {
  writeData(footerData());
  if (outputStream_) outputStream_->close();
}

void BCNMultipartMimeStreamEncoder::addValue(const platform::Value& value,
                                             std::string_view fieldName) {
  if (value.isNone() || value.isNull() || fieldName.empty()) {
    BCNConsoleLog("[Beacon] name (%@) or value (%@) is invalid", fieldName, value);
    return;
  }
  std::string part = partHead(boundary_, fieldName, std::nullopt, "text/plain");
  part += value.isString() ? std::string(value.stringView()) : value.description();
  part += kCRLF;
  writeData(std::string_view(part));
}

void BCNMultipartMimeStreamEncoder::addValue(std::string_view value, std::string_view fieldName) {
  addValue(platform::Value(value), fieldName);
}

void BCNMultipartMimeStreamEncoder::addValue(const std::string& value, std::string_view fieldName) {
  addValue(platform::Value(std::string_view(value)), fieldName);
}

void BCNMultipartMimeStreamEncoder::addValue(const char* value, std::string_view fieldName) {
  addValue(platform::Value(value), fieldName);
}

void BCNMultipartMimeStreamEncoder::addFileData(const platform::Bytes& data,
                                                std::string_view fileName,
                                                std::optional<std::string_view> mimeType,
                                                std::string_view fieldName) {
  if (data.empty()) {
    BCNConsoleLog("[Beacon] Unable to MIME encode data with zero length (%@)", fieldName);
    return;
  }
  if (fieldName.empty() || fileName.empty()) {
    BCNConsoleLog("[Beacon] name (%@) or fieldname (%@) is invalid", fieldName, fileName);
    return;
  }
  std::string contentType(kDefaultMimeType);
  if (mimeType) {
    contentType = *mimeType;
    contentType += kCRLF;
    contentType += "Content-Transfer-Encoding: binary";
  }
  const std::string head = partHead(boundary_, fieldName, fileName, contentType);
  writeData(std::string_view(head));
  writeData(data);
  writeData(kCRLF);
}

void BCNMultipartMimeStreamEncoder::addFile(const platform::URL& fileURL, std::string_view fileName,
                                            std::optional<std::string_view> mimeType,
                                            std::string_view fieldName) {
  platform::Bytes data;
  std::ifstream in(fileURL.decodedPath(), std::ios::binary);
  if (in) data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  addFileData(data, fileName, mimeType, fieldName);
}

std::string BCNMultipartMimeStreamEncoder::contentTypeHTTPHeaderValue() const {
  return contentTypeHTTPHeaderValueWithBoundary(boundary_);
}

std::string BCNMultipartMimeStreamEncoder::contentLengthHTTPHeaderValue() const {
  return platform::format("%lu", length_);
}

platform::Bytes BCNMultipartMimeStreamEncoder::headerData() const { return toBytes(kHeader); }

platform::Bytes BCNMultipartMimeStreamEncoder::footerData() const {
  std::string footer = "--" + boundary_ + "--";
  footer += kCRLF;
  return toBytes(footer);
}

void BCNMultipartMimeStreamEncoder::writeData(const platform::Bytes& data) {
  BCNDataEnumerateByteRanges(data, [this](const std::uint8_t* bytes, BCNRange range, bool* stop) {
    if (range.length == 0) return;
    const long written = outputStream_ ? outputStream_->write(bytes, range.length) : -1;
    if (written < 0 || static_cast<std::size_t>(written) != range.length) {
      BCNConsoleWrite("[Beacon] Failed to write data to stream");
      *stop = true;
      return;
    }
    length_ += range.length;
  });
}

void BCNMultipartMimeStreamEncoder::writeData(std::string_view data) { writeData(toBytes(data)); }

bool BCNMultipartMimeStreamEncoder::writeBytes(const std::uint8_t* bytes, std::size_t length) {
  const long written = outputStream_ ? outputStream_->write(bytes, length) : -1;
  if (written < 0 || static_cast<std::size_t>(written) != length) {
    BCNConsoleWrite("[Beacon] Failed to write bytes to stream");
    return false;
  }
  length_ += length;
  return true;
}

void BCNMultipartMimeStreamEncoder::populateRequest(
    platform::urlloading::URLRequest& request,
    const std::function<void(BCNMultipartMimeStreamEncoder&)>& block) {
  auto stream = std::make_shared<platform::urlloading::MemoryOutputStream>();
  BCNMultipartMimeStreamEncoder encoder(stream, generateBoundary());
  encoder.encode([&](BCNMultipartMimeStreamEncoder& e) {
    if (block) block(e);
  });
  request.setValueForHTTPHeaderField("Content-Type", encoder.contentTypeHTTPHeaderValue());
  request.setValueForHTTPHeaderField("Content-Length", encoder.contentLengthHTTPHeaderValue());
  request.setHTTPBody(stream->dataWrittenToMemory().value_or(platform::Bytes{}));
}

}  // namespace sdk
