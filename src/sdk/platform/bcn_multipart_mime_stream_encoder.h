// sdk::BCNMultipartMimeStreamEncoder: writes a multipart/form-data body to
// an output stream, part by part, and counts the bytes it wrote so that the
// caller can send an exact "Content-Length". The SDK's one multipart writer.
//
// Body (every line ends in CR LF; B the boundary):
//   "MIME-Version: 1.0"
//   per text field:  "--B", "Content-Disposition: form-data; name=\"F\"",
//                    "Content-Type: text/plain", "", the text
//   per file field:  "--B", "Content-Disposition: form-data; name=\"F\";
//                    filename=\"N\"", "Content-Type: M",
//                    "Content-Transfer-Encoding: binary", "", the bytes
//                    (without a media type: "application/octet-stream" and
//                    no transfer-encoding line)
//   footer:          "--B--"
//
// Guarantees:
//  1. A field with a bad name or value is skipped with a "[Beacon] " console
//     line; the rest of the body is still written.
//  2. length() counts the bytes of every complete write since the last
//     beginEncoding(); a short or failed write is logged, is not counted,
//     and ends the piece (header, value, bytes) being written. A body with
//     a failed write is therefore incomplete; the caller sees it from the
//     stream's status.
//  3. The encoder opens the stream in beginEncoding() and closes it in
//     endEncoding(); it never keeps a copy of the body.
//
// Thread safety: one encoder is used by one operation on one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "platform/urlloading/stream.h"
#include "platform/urlloading/url_request.h"

namespace sdk {

class BCNMultipartMimeStreamEncoder {
 public:
  using OutputStream = platform::urlloading::OutputStream;

  // A new boundary: a random UUID, 36 upper-case characters with hyphens.
  static std::string generateBoundary();
  // "multipart/form-data; boundary=B".
  static std::string contentTypeHTTPHeaderValueWithBoundary(std::string_view boundary);

  // An encoder on `stream` (owned); no boundary gets generateBoundary().
  // nullptr when there is no stream.
  static std::shared_ptr<BCNMultipartMimeStreamEncoder> encoderWithStream(
      std::shared_ptr<OutputStream> stream, std::optional<std::string> boundary = std::nullopt);
  BCNMultipartMimeStreamEncoder(std::shared_ptr<OutputStream> stream,
                                std::optional<std::string> boundary = std::nullopt);

  const std::shared_ptr<OutputStream>& outputStream() const { return outputStream_; }
  const std::string& boundary() const { return boundary_; }
  std::uint64_t length() const { return length_; }

  // beginEncoding(), then `block` (which adds the fields), then endEncoding().
  void encode(const std::function<void(BCNMultipartMimeStreamEncoder&)>& block);
  // Sets length() to 0, opens the stream and writes the header.
  void beginEncoding();
  // Writes the footer and closes the stream.
  void endEncoding();

  // A text field with the value's description (a number gives its decimal
  // form). Nothing but a console line for a None or null value or an empty
  // field name.
  void addValue(const platform::Value& value, std::string_view fieldName);
  void addValue(std::string_view value, std::string_view fieldName);
  void addValue(const std::string& value, std::string_view fieldName);
  void addValue(const char* value, std::string_view fieldName);  // nullptr: invalid
  // A file field. Nothing but a console line for empty bytes, or an empty
  // field or file name. No media type: "application/octet-stream".
  void addFileData(const platform::Bytes& data, std::string_view fileName,
                   std::optional<std::string_view> mimeType, std::string_view fieldName);
  // Reads the whole file into memory and adds it with addFileData (an
  // unreadable file adds nothing, as empty data does).
  void addFile(const platform::URL& fileURL, std::string_view fileName,
               std::optional<std::string_view> mimeType, std::string_view fieldName);

  std::string contentTypeHTTPHeaderValue() const;
  // The decimal text of length().
  std::string contentLengthHTTPHeaderValue() const;
  platform::Bytes headerData() const;
  platform::Bytes footerData() const;

  // Writes every byte range of `data`; after a short write logs "[Beacon]
  // Failed to write data to stream" and stops (earlier ranges stay counted).
  void writeData(const platform::Bytes& data);
  void writeData(std::string_view data);
  // One write; false after a short write ("[Beacon] Failed to write bytes to
  // stream"), leaving length() unchanged; else adds the count.
  bool writeBytes(const std::uint8_t* bytes, std::size_t length);

  // Encodes into memory with a fresh boundary and sets the request's
  // "Content-Type", "Content-Length" and body.
  static void populateRequest(platform::urlloading::URLRequest& request,
                              const std::function<void(BCNMultipartMimeStreamEncoder&)>& block);

 private:
  std::shared_ptr<OutputStream> outputStream_;
  std::string boundary_;
  std::uint64_t length_ = 0;
};

}  // namespace sdk
