#include "net/http/streaming_multipart_form_data.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "net/http/http_request_operation.h"
#include "platform/foundation/format.h"

namespace net::http {

using platform::Error;
using platform::Value;
using platform::urlloading::StreamStatus;

namespace {

constexpr const char* kCRLF = "\r\n";

std::string makeBoundary() {
  static std::random_device device;
  std::uniform_int_distribution<std::uint32_t> dist;
  return platform::format("Boundary+%08X%08X", dist(device), dist(device));
}

Error partError(const std::string& text) {
  return Error(kNKNetworkingErrorDomain, -1,
               Value::dictionary({{platform::kLocalizedDescriptionKey, Value(text)}}));
}

}  // namespace

// --- NKHTTPBodyPart -----------------------------------------------------------------

NKHTTPBodyPart::NKHTTPBodyPart(platform::StringEncoding encoding,
                               platform::urlloading::HeaderFields headers, Body body,
                               std::uint64_t bodyContentLength, std::string boundary)
    : encoding_(encoding),
      headers_(std::move(headers)),
      body_(std::move(body)),
      bodyContentLength_(bodyContentLength),
      boundary_(std::move(boundary)) {}

NKHTTPBodyPart::~NKHTTPBodyPart() {
  if (inputStream_) inputStream_->close();
}

std::string NKHTTPBodyPart::encoded(const std::string& text) const {
  if (encoding_ == platform::StringEncoding::UTF8) return text;
  auto out = platform::encodeString(text, encoding_);
  return out ? *out : text;
}

std::string NKHTTPBodyPart::openingBoundary() const {
  return encoded(hasInitialBoundary ? platform::format("--%@%@", boundary_, kCRLF)
                                    : platform::format("%@--%@%@", kCRLF, boundary_, kCRLF));
}

std::string NKHTTPBodyPart::closingBoundary() const {
  return hasFinalBoundary ? encoded(platform::format("%@--%@--%@", kCRLF, boundary_, kCRLF)) : "";
}

std::string NKHTTPBodyPart::stringForHeaders() const {
  std::string out;
  for (const auto& [name, value] : headers_.fields()) {
    out += platform::format("%@: %@%@", name, value, kCRLF);
  }
  out += kCRLF;
  return encoded(out);
}

std::uint64_t NKHTTPBodyPart::contentLength() const {
  return openingBoundary().size() + stringForHeaders().size() + bodyContentLength_ +
         closingBoundary().size();
}

bool NKHTTPBodyPart::hasBytesAvailable() const { return !done_; }

std::shared_ptr<platform::urlloading::InputStream> NKHTTPBodyPart::inputStream() {
  if (!inputStream_) {
    if (auto* data = std::get_if<platform::Bytes>(&body_)) {
      inputStream_ = std::make_shared<platform::urlloading::DataInputStream>(*data);
    } else if (auto* url = std::get_if<platform::URL>(&body_)) {
      inputStream_ = std::make_shared<platform::urlloading::FileInputStream>(url->decodedPath());
    } else {
      inputStream_ = std::get<std::shared_ptr<platform::urlloading::InputStream>>(body_);
    }
  }
  return inputStream_;
}

std::size_t NKHTTPBodyPart::readData(const std::string& data, std::uint8_t* buffer,
                                     std::size_t maxLength) {
  const std::size_t n =
      std::min<std::size_t>(data.size() - static_cast<std::size_t>(phaseReadOffset_), maxLength);
  if (n) std::memcpy(buffer, data.data() + phaseReadOffset_, n);
  phaseReadOffset_ += n;
  if (phaseReadOffset_ >= data.size()) transitionToNextPhase();
  return n;
}

void NKHTTPBodyPart::transitionToNextPhase() {
  switch (phase_) {
    case 1:
      phase_ = 2;
      break;
    case 2:
      phase_ = 3;
      inputStream()->open();
      break;
    case 3:
      inputStream()->close();
      phase_ = 4;
      break;
    default:
      phase_ = 1;
      done_ = true;
      break;
  }
  phaseReadOffset_ = 0;
}

long NKHTTPBodyPart::read(std::uint8_t* buffer, std::size_t maxLength) {
  std::size_t total = 0;
  if (phase_ == 1) total += readData(openingBoundary(), buffer, maxLength);
  if (phase_ == 2) total += readData(stringForHeaders(), buffer + total, maxLength - total);
  if (phase_ == 3) {
    const std::uint64_t remaining = bodyContentLength_ - bodyRead_;
    if (remaining == 0) {
      transitionToNextPhase();
    } else if (total < maxLength) {
      auto stream = inputStream();
      const std::size_t room =
          static_cast<std::size_t>(std::min<std::uint64_t>(maxLength - total, remaining));
      long n = stream->read(buffer + total, room);
      if (n < 0) {
        error_ = stream->streamError();
        if (!error_) error_ = partError("A part of the multipart body could not be read.");
        return -1;
      }
      if (n == 0) {
        // The stream ended before the length announced in Content-Length.
        error_ = partError("A part of the multipart body ended before its announced length.");
        return -1;
      }
      total += static_cast<std::size_t>(n);
      bodyRead_ += static_cast<std::uint64_t>(n);
      if (bodyRead_ == bodyContentLength_) transitionToNextPhase();
    }
  }
  if (phase_ == 4) total += readData(closingBoundary(), buffer + total, maxLength - total);
  return static_cast<long>(total);
}

std::shared_ptr<NKHTTPBodyPart> NKHTTPBodyPart::copy() const {
  return std::make_shared<NKHTTPBodyPart>(encoding_, headers_, body_, bodyContentLength_,
                                          boundary_);
}

// --- NKMultipartBodyStream -------------------------------------------------------------

void NKMultipartBodyStream::appendHTTPBodyPart(std::shared_ptr<NKHTTPBodyPart> part) {
  parts_.push_back(std::move(part));
}

void NKMultipartBodyStream::setInitialAndFinalBoundaries() {
  if (parts_.empty()) return;
  for (auto& p : parts_) {
    p->hasInitialBoundary = false;
    p->hasFinalBoundary = false;
  }
  parts_.front()->hasInitialBoundary = true;
  parts_.back()->hasFinalBoundary = true;
}

std::uint64_t NKMultipartBodyStream::contentLength() const {
  std::uint64_t total = 0;
  for (const auto& p : parts_) total += p->contentLength();
  return total;
}

void NKMultipartBodyStream::open() {
  if (status_ == StreamStatus::kOpen) return;
  status_ = StreamStatus::kOpen;
  setInitialAndFinalBoundaries();
  next_ = 0;
  current_.reset();
}

void NKMultipartBodyStream::close() { status_ = StreamStatus::kClosed; }

bool NKMultipartBodyStream::hasBytesAvailable() const { return status_ == StreamStatus::kOpen; }

long NKMultipartBodyStream::read(std::uint8_t* buffer, std::size_t maxLength) {
  if (status_ == StreamStatus::kClosed) return 0;
  if (status_ == StreamStatus::kError) return -1;
  std::size_t total = 0;
  const std::size_t limit =
      static_cast<std::size_t>(std::min<std::uint64_t>(maxLength, packetSize_));
  while (total < limit) {
    if (!current_ || !current_->hasBytesAvailable()) {
      if (next_ >= parts_.size()) break;
      current_ = parts_[next_++];
      continue;
    }
    long n = current_->read(buffer + total, maxLength - total);
    if (n < 0) {
      error_ = current_->error();
      status_ = StreamStatus::kError;
      return -1;
    }
    total += static_cast<std::size_t>(n);
    if (delay_ > 0) std::this_thread::sleep_for(std::chrono::duration<double>(delay_));
  }
  return static_cast<long>(total);
}

std::shared_ptr<NKMultipartBodyStream> NKMultipartBodyStream::copy() const {
  auto other = std::make_shared<NKMultipartBodyStream>(encoding_);
  for (const auto& p : parts_) other->appendHTTPBodyPart(p->copy());
  other->setInitialAndFinalBoundaries();
  return other;
}

// --- NKStreamingMultipartFormData ---------------------------------------------------------

NKStreamingMultipartFormData::NKStreamingMultipartFormData(platform::urlloading::URLRequest request,
                                                           platform::StringEncoding encoding)
    : request_(std::move(request)),
      encoding_(encoding),
      boundary_(makeBoundary()),
      bodyStream_(std::make_shared<NKMultipartBodyStream>(encoding)) {}

void NKStreamingMultipartFormData::appendPartWithHeaders(
    const platform::urlloading::HeaderFields& headers, const platform::Bytes& body) {
  bodyStream_->appendHTTPBodyPart(
      std::make_shared<NKHTTPBodyPart>(encoding_, headers, body, body.size(), boundary_));
}

void NKStreamingMultipartFormData::appendPartWithFormData(const platform::Bytes& data,
                                                          const std::string& name) {
  platform::urlloading::HeaderFields headers;
  headers.set("Content-Disposition", platform::format("form-data; name=\"%@\"", name));
  appendPartWithHeaders(headers, data);
}

void NKStreamingMultipartFormData::appendPartWithFileData(const platform::Bytes& data,
                                                          const std::string& name,
                                                          const std::string& fileName,
                                                          const std::string& mimeType) {
  platform::urlloading::HeaderFields headers;
  headers.set("Content-Disposition",
              platform::format("form-data; name=\"%@\"; filename=\"%@\"", name, fileName));
  headers.set("Content-Type", mimeType);
  appendPartWithHeaders(headers, data);
}

std::string NKStreamingMultipartFormData::MIMETypeForPathExtension(const std::string& extension) {
  static const std::pair<const char*, const char*> table[] = {
      {"txt", "text/plain"},        {"html", "text/html"},
      {"htm", "text/html"},         {"css", "text/css"},
      {"csv", "text/csv"},          {"xml", "application/xml"},
      {"json", "application/json"}, {"plist", "application/x-plist"},
      {"pdf", "application/pdf"},   {"zip", "application/zip"},
      {"gz", "application/gzip"},   {"png", "image/png"},
      {"jpg", "image/jpeg"},        {"jpeg", "image/jpeg"},
      {"gif", "image/gif"},         {"tif", "image/tiff"},
      {"tiff", "image/tiff"},       {"bmp", "image/bmp"},
      {"ico", "image/x-icon"},      {"mp3", "audio/mpeg"},
      {"mp4", "video/mp4"},         {"ovpn", "application/x-openvpn-profile"}};
  std::string lower = extension;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const auto& [ext, type] : table) {
    if (lower == ext) return type;
  }
  return "application/octet-stream";
}

bool NKStreamingMultipartFormData::appendPartWithFileURL(const platform::URL& fileURL,
                                                         const std::string& name,
                                                         platform::Error* error) {
  return appendPartWithFileURL(fileURL, name, fileURL.lastPathComponent(),
                               MIMETypeForPathExtension(fileURL.pathExtension()), error);
}

bool NKStreamingMultipartFormData::appendPartWithFileURL(const platform::URL& fileURL,
                                                         const std::string& name,
                                                         const std::string& fileName,
                                                         const std::string& mimeType,
                                                         platform::Error* error) {
  auto fail = [&](const char* reason) {
    if (error) {
      *error =
          Error(kNKNetworkingErrorDomain, -1000,
                Value::dictionary({{platform::kLocalizedFailureReasonErrorKey, Value(reason)}}));
    }
    return false;
  };
  if (!fileURL.isFileURL()) return fail("Expected URL to be a file URL");
  struct stat st {};
  if (::stat(fileURL.decodedPath().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return fail("File URL not reachable.");
  }
  platform::urlloading::HeaderFields headers;
  headers.set("Content-Disposition",
              platform::format("form-data; name=\"%@\"; filename=\"%@\"", name, fileName));
  headers.set("Content-Type", mimeType);
  bodyStream_->appendHTTPBodyPart(std::make_shared<NKHTTPBodyPart>(
      encoding_, headers, fileURL, static_cast<std::uint64_t>(st.st_size), boundary_));
  return true;
}

void NKStreamingMultipartFormData::appendPartWithInputStream(
    std::shared_ptr<platform::urlloading::InputStream> stream, const std::string& name,
    const std::string& fileName, std::uint64_t length, const std::string& mimeType) {
  platform::urlloading::HeaderFields headers;
  headers.set("Content-Disposition",
              platform::format("form-data; name=\"%@\"; filename=\"%@\"", name, fileName));
  headers.set("Content-Type", mimeType);
  bodyStream_->appendHTTPBodyPart(
      std::make_shared<NKHTTPBodyPart>(encoding_, headers, std::move(stream), length, boundary_));
}

void NKStreamingMultipartFormData::throttleBandwidthWithPacketSize(std::uint64_t numberOfBytes,
                                                                   double delay) {
  bodyStream_->setNumberOfBytesInPacket(numberOfBytes);
  bodyStream_->setDelay(delay);
}

platform::urlloading::URLRequest
NKStreamingMultipartFormData::requestByFinalizingMultipartFormData() {
  if (bodyStream_->isEmpty()) return request_;
  bodyStream_->setInitialAndFinalBoundaries();
  request_.setValueForHTTPHeaderField(
      "Content-Type", platform::format("multipart/form-data; boundary=%@", boundary_));
  request_.setValueForHTTPHeaderField(
      "Content-Length",
      platform::format("%llu", static_cast<unsigned long long>(bodyStream_->contentLength())));
  request_.setHTTPBodyStream(bodyStream_);
  return request_;
}

}  // namespace net::http
