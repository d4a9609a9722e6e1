// Streamed multipart/form-data bodies: NKStreamingMultipartFormData (the
// builder handed to the caller's block), NKMultipartBodyStream (the input
// stream the request body is read from) and NKHTTPBodyPart (one part).
//
// Wire format, B the boundary "Boundary+" and sixteen upper-case hex
// digits: the first part opens with "--B\r\n", later ones with
// "\r\n--B\r\n"; each part's header lines follow ("Name: value\r\n", then
// "\r\n"), then its body; the last part ends with "\r\n--B--\r\n".
//
// Guarantees:
//  1. The "Content-Length" set at finalisation equals the number of bytes
//     the body stream delivers: a part delivers exactly its announced body
//     length. A part whose stream fails, or ends before its length, fails
//     the body stream's read (-1, with the part's error in streamError()),
//     so the request fails instead of sending a short body.
//  2. A caller buffer smaller than a boundary or header block receives it
//     over several reads.
//  3. Throttling (packet size, delay) makes a read return once it placed at
//     least the packet size, pausing the reading thread after each part read.
// Part streams are opened and closed on the thread that reads the body (the
// "NKNetworking" thread): they are synchronous streams and need no run loop.
//
// Thread safety: a builder is used by one thread; the body stream is read
// by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/string_encoding.h"
#include "platform/foundation/url.h"
#include "platform/urlloading/stream.h"
#include "platform/urlloading/url_request.h"

namespace net::http {

class NKHTTPBodyPart {
 public:
  using Body = std::variant<platform::Bytes, platform::URL,
                            std::shared_ptr<platform::urlloading::InputStream>>;
  NKHTTPBodyPart(platform::StringEncoding encoding, platform::urlloading::HeaderFields headers,
                 Body body, std::uint64_t bodyContentLength, std::string boundary);
  ~NKHTTPBodyPart();

  std::string stringForHeaders() const;
  std::uint64_t contentLength() const;
  bool hasBytesAvailable() const;
  // Places up to `maxLength` bytes; -1 when the part's body cannot be read.
  long read(std::uint8_t* buffer, std::size_t maxLength);
  std::shared_ptr<NKHTTPBodyPart> copy() const;

  const platform::urlloading::HeaderFields& headers() const { return headers_; }
  std::uint64_t bodyContentLength() const { return bodyContentLength_; }
  bool hasInitialBoundary = false;
  bool hasFinalBoundary = false;
  const platform::Error& error() const { return error_; }

 private:
  std::string openingBoundary() const;
  std::string closingBoundary() const;
  std::size_t readData(const std::string& data, std::uint8_t* buffer, std::size_t maxLength);
  void transitionToNextPhase();
  std::shared_ptr<platform::urlloading::InputStream> inputStream();
  std::string encoded(const std::string& text) const;

  platform::StringEncoding encoding_;
  platform::urlloading::HeaderFields headers_;
  Body body_;
  std::uint64_t bodyContentLength_;
  std::string boundary_;
  int phase_ = 1;
  std::uint64_t phaseReadOffset_ = 0;
  std::uint64_t bodyRead_ = 0;
  bool done_ = false;
  std::shared_ptr<platform::urlloading::InputStream> inputStream_;
  platform::Error error_;
};

class NKMultipartBodyStream : public platform::urlloading::InputStream {
 public:
  explicit NKMultipartBodyStream(platform::StringEncoding encoding) : encoding_(encoding) {}
  void appendHTTPBodyPart(std::shared_ptr<NKHTTPBodyPart> part);
  bool isEmpty() const { return parts_.empty(); }
  void setInitialAndFinalBoundaries();
  std::uint64_t contentLength() const;
  const std::vector<std::shared_ptr<NKHTTPBodyPart>>& HTTPBodyParts() const { return parts_; }

  void setNumberOfBytesInPacket(std::uint64_t n) { packetSize_ = n; }
  void setDelay(double seconds) { delay_ = seconds; }
  std::uint64_t numberOfBytesInPacket() const { return packetSize_; }
  double delay() const { return delay_; }

  void open() override;
  void close() override;
  long read(std::uint8_t* buffer, std::size_t maxLength) override;
  bool hasBytesAvailable() const override;
  platform::urlloading::StreamStatus streamStatus() const override { return status_; }
  platform::Error streamError() const override { return error_; }
  // A new unopened stream with copies of the parts (throttling not copied).
  std::shared_ptr<NKMultipartBodyStream> copy() const;

 private:
  platform::StringEncoding encoding_;
  std::vector<std::shared_ptr<NKHTTPBodyPart>> parts_;
  std::size_t next_ = 0;
  std::shared_ptr<NKHTTPBodyPart> current_;
  std::uint64_t packetSize_ = 9223372036854775807ULL;
  double delay_ = 0;
  platform::urlloading::StreamStatus status_ = platform::urlloading::StreamStatus::kNotOpen;
  platform::Error error_;
};

// What the caller's block receives.
class NKMultipartFormData {
 public:
  virtual ~NKMultipartFormData() = default;
  virtual void appendPartWithFormData(const platform::Bytes& data, const std::string& name) = 0;
  virtual void appendPartWithFileData(const platform::Bytes& data, const std::string& name,
                                      const std::string& fileName, const std::string& mimeType) = 0;
  virtual bool appendPartWithFileURL(const platform::URL& fileURL, const std::string& name,
                                     platform::Error* error) = 0;
  virtual bool appendPartWithFileURL(const platform::URL& fileURL, const std::string& name,
                                     const std::string& fileName, const std::string& mimeType,
                                     platform::Error* error) = 0;
  virtual void appendPartWithInputStream(std::shared_ptr<platform::urlloading::InputStream> stream,
                                         const std::string& name, const std::string& fileName,
                                         std::uint64_t length, const std::string& mimeType) = 0;
  virtual void appendPartWithHeaders(const platform::urlloading::HeaderFields& headers,
                                     const platform::Bytes& body) = 0;
  virtual void throttleBandwidthWithPacketSize(std::uint64_t numberOfBytes, double delay) = 0;
};

class NKStreamingMultipartFormData : public NKMultipartFormData {
 public:
  NKStreamingMultipartFormData(platform::urlloading::URLRequest request,
                               platform::StringEncoding encoding);

  void appendPartWithFormData(const platform::Bytes& data, const std::string& name) override;
  void appendPartWithFileData(const platform::Bytes& data, const std::string& name,
                              const std::string& fileName, const std::string& mimeType) override;
  bool appendPartWithFileURL(const platform::URL& fileURL, const std::string& name,
                             platform::Error* error) override;
  bool appendPartWithFileURL(const platform::URL& fileURL, const std::string& name,
                             const std::string& fileName, const std::string& mimeType,
                             platform::Error* error) override;
  void appendPartWithInputStream(std::shared_ptr<platform::urlloading::InputStream> stream,
                                 const std::string& name, const std::string& fileName,
                                 std::uint64_t length, const std::string& mimeType) override;
  void appendPartWithHeaders(const platform::urlloading::HeaderFields& headers,
                             const platform::Bytes& body) override;
  void throttleBandwidthWithPacketSize(std::uint64_t numberOfBytes, double delay) override;

  platform::urlloading::URLRequest requestByFinalizingMultipartFormData();
  const std::string& boundary() const { return boundary_; }
  const std::shared_ptr<NKMultipartBodyStream>& bodyStream() const { return bodyStream_; }

  // The preferred MIME type of a file extension, else "application/octet-stream".
  static std::string MIMETypeForPathExtension(const std::string& extension);

 private:
  platform::urlloading::URLRequest request_;
  platform::StringEncoding encoding_;
  std::string boundary_;
  std::shared_ptr<NKMultipartBodyStream> bodyStream_;
};

}  // namespace net::http
