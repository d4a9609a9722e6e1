// URLRequest and URLResponse: the values that the URL loading layer
// (platform/urlloading/url_connection.h) takes and hands back, and
// HeaderFields, an ordered list of header fields looked up without regard
// to letter case.
//
// A request carries its body either as bytes or as an input stream (never
// both: setting one clears the other). A response records the status code,
// the header fields and what follows from them: the MIME type, the text
// encoding name (the "charset" parameter) and the expected content length
// (-1 when unknown).
//
// Thread safety: values; a copy may be used on another thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/url.h"
#include "platform/foundation/value.h"

namespace platform::urlloading {

class InputStream;

class HeaderFields {
 public:
  using Field = std::pair<std::string, std::string>;
  HeaderFields() = default;
  HeaderFields(std::initializer_list<Field> fields);

  // The value of the first field named `name` (any letter case).
  std::optional<std::string> get(std::string_view name) const;
  // The same without a copy: the value in place, or nullptr; valid until the
  // fields change.
  const std::string* find(std::string_view name) const;
  bool contains(std::string_view name) const { return get(name).has_value(); }
  // Replaces every field named `name` with one field (kept at the place of
  // the first one, else appended).
  void set(std::string_view name, std::string_view value);
  // Appends a field even when one of that name exists.
  void add(std::string_view name, std::string_view value);
  void remove(std::string_view name);
  void clear() { fields_.clear(); }
  const std::vector<Field>& fields() const { return fields_; }
  bool empty() const { return fields_.empty(); }
  std::size_t size() const { return fields_.size(); }
  // The fields as a dictionary Value (name to value, in order).
  Value toValue() const;
  static HeaderFields fromValue(const Value& dictionary);

 private:
  std::vector<Field> fields_;
};

// ASCII letters in either case are equal (field names and schemes are
// ASCII); other bytes must match exactly.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

// What may go on the wire as a header field. A name is an HTTP token (letters,
// digits and !#$%&'*+-.^_`|~, at least one). A value holds no control
// character but the horizontal tab: CR or LF would start another field or
// another request, NUL would cut the field short. The loading layer leaves
// out every field that fails either test (the rest of the request goes as
// asked), so no text from outside the program can add to what is sent.
bool isValidHeaderFieldName(std::string_view name);
bool isValidHeaderFieldValue(std::string_view value);

class URLRequest {
 public:
  static constexpr double kDefaultTimeoutInterval = 60.0;
  // Bounds every load has unless its owner sets its own: no reply of this
  // program comes near them, and memory and time stay bounded whatever a
  // server sends.
  static constexpr std::int64_t kDefaultMaximumResponseLength = std::int64_t{64} << 20;
  static constexpr double kDefaultMaximumDuration = 300.0;

  URLRequest() = default;
  explicit URLRequest(URL url, double timeoutInterval = kDefaultTimeoutInterval)
      : url_(std::move(url)), timeoutInterval_(timeoutInterval) {}

  const URL& url() const { return url_; }
  void setURL(URL url) { url_ = std::move(url); }
  // "GET" by default.
  const std::string& HTTPMethod() const { return method_; }
  void setHTTPMethod(std::string method) { method_ = std::move(method); }
  const HeaderFields& allHTTPHeaderFields() const { return headers_; }
  HeaderFields& allHTTPHeaderFields() { return headers_; }
  void setAllHTTPHeaderFields(HeaderFields headers) { headers_ = std::move(headers); }
  std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const {
    return headers_.get(name);
  }
  // An empty value removes the field.
  void setValueForHTTPHeaderField(std::string_view name, std::string_view value);

  const Bytes& HTTPBody() const { return body_; }
  void setHTTPBody(Bytes body);
  const std::shared_ptr<InputStream>& HTTPBodyStream() const { return bodyStream_; }
  void setHTTPBodyStream(std::shared_ptr<InputStream> stream);

  // Seconds without progress after which the load fails with "timed out".
  double timeoutInterval() const { return timeoutInterval_; }
  void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }
  // Body bytes the final response may carry: a larger "Content-Length" is
  // refused before any body byte is read, and a body that grows past it
  // fails the load, both with kURLErrorDataLengthExceedsMaximum. A negative
  // value means no limit.
  std::int64_t maximumResponseLength() const { return maximumResponseLength_; }
  void setMaximumResponseLength(std::int64_t bytes) { maximumResponseLength_ = bytes; }
  // Seconds the whole load may take, from its start to the last body byte
  // (redirects and authentication rounds included), however steadily the
  // server sends; past it the load fails with "timed out". Zero or less
  // means no such deadline (the idle time-out still holds).
  double maximumDuration() const { return maximumDuration_; }
  void setMaximumDuration(double seconds) { maximumDuration_ = seconds; }

  // "<URLRequest: %p> { URL: ... }" style text.
  std::string description() const;
  // The request as a dictionary: "URL", "method", "headers", "body" (data,
  // absent for a stream), "timeout", "maximumResponseLength",
  // "maximumDuration" (absent keys read back as the defaults).
  Value toValue() const;
  static URLRequest fromValue(const Value& dictionary);

 private:
  URL url_;
  std::string method_ = "GET";
  HeaderFields headers_;
  Bytes body_;
  std::shared_ptr<InputStream> bodyStream_;
  double timeoutInterval_ = kDefaultTimeoutInterval;
  std::int64_t maximumResponseLength_ = kDefaultMaximumResponseLength;
  double maximumDuration_ = kDefaultMaximumDuration;
};

class URLResponse {
 public:
  // An empty non-HTTP response (no URL, no type, unknown length).
  URLResponse() = default;
  // An HTTP response: the MIME type, the text encoding name and the expected
  // length come from the header fields.
  URLResponse(URL url, long statusCode, HeaderFields headers);
  // A response of another kind (no status code, no header fields).
  static URLResponse nonHTTP(URL url, std::string mimeType, std::int64_t expectedLength,
                             std::string textEncodingName = {});

  const URL& url() const { return fields().url; }
  bool isHTTP() const { return fields().http; }
  // The status code of an HTTP response; 0 otherwise.
  long statusCode() const { return fields().status; }
  const HeaderFields& allHeaderFields() const { return fields().headers; }
  // Lower-cased MIME type of "Content-Type" without parameters; "" when none.
  const std::string& MIMEType() const { return fields().mimeType; }
  // The "charset" parameter as sent; "" when none.
  const std::string& textEncodingName() const { return fields().textEncodingName; }
  // "Content-Length", or -1 when unknown.
  std::int64_t expectedContentLength() const { return fields().expectedLength; }

  std::string description() const;
  Value toValue() const;
  static URLResponse fromValue(const Value& dictionary);

 private:
  // A response never changes once made, so copies share one set of fields:
  // handing a response to a delegate, an operation or a cache costs no
  // copies of its URL and header fields.
  struct Fields {
    URL url;
    bool http = false;
    long status = 0;
    HeaderFields headers;
    std::string mimeType;
    std::string textEncodingName;
    std::int64_t expectedLength = -1;
  };
  const Fields& fields() const;
  std::shared_ptr<const Fields> fields_;
};

// Parses "type/subtype; charset=x" into the lower-cased MIME type and the
// charset parameter (quotes removed).
std::pair<std::string, std::string> parseContentType(std::string_view contentType);

}  // namespace platform::urlloading
