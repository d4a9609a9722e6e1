#include "platform/urlloading/url_request.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "platform/foundation/format.h"
#include "platform/urlloading/stream.h"

namespace platform::urlloading {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const unsigned char x = static_cast<unsigned char>(a[i]);
    const unsigned char y = static_cast<unsigned char>(b[i]);
    if (x == y) continue;
    // Equal but for case only when both are letters that differ in 0x20.
    if ((x ^ y) != 0x20) return false;
    const unsigned char lower = x | 0x20;
    if (lower < 'a' || lower > 'z') return false;
  }
  return true;
}

bool isValidHeaderFieldName(std::string_view name) {
  if (name.empty()) return false;
  for (const char ch : name) {
    const unsigned char c = static_cast<unsigned char>(ch);
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alnum && std::string_view("!#$%&'*+-.^_`|~").find(ch) == std::string_view::npos) {
      return false;
    }
  }
  return true;
}

bool isValidHeaderFieldValue(std::string_view value) {
  for (const char ch : value) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if ((c < 0x20 && c != '\t') || c == 0x7f) return false;
  }
  return true;
}

HeaderFields::HeaderFields(std::initializer_list<Field> fields) {
  for (const Field& f : fields) set(f.first, f.second);
}

std::optional<std::string> HeaderFields::get(std::string_view name) const {
  if (const std::string* value = find(name)) return *value;
  return std::nullopt;
}

const std::string* HeaderFields::find(std::string_view name) const {
  for (const Field& f : fields_) {
    if (equalsIgnoringCase(f.first, name)) return &f.second;
  }
  return nullptr;
}

void HeaderFields::set(std::string_view name, std::string_view value) {
  bool placed = false;
  for (auto it = fields_.begin(); it != fields_.end();) {
    if (equalsIgnoringCase(it->first, name)) {
      if (!placed) {
        it->second = std::string(value);
        placed = true;
        ++it;
      } else {
        it = fields_.erase(it);
      }
    } else {
      ++it;
    }
  }
  if (!placed) fields_.emplace_back(std::string(name), std::string(value));
}

void HeaderFields::add(std::string_view name, std::string_view value) {
  fields_.emplace_back(std::string(name), std::string(value));
}

void HeaderFields::remove(std::string_view name) {
  std::erase_if(fields_, [&](const Field& f) { return equalsIgnoringCase(f.first, name); });
}

Value HeaderFields::toValue() const {
  Value dict = Value::mutableDictionary();
  for (const Field& f : fields_) dict.set(f.first, Value(f.second));
  return dict;
}

HeaderFields HeaderFields::fromValue(const Value& dictionary) {
  HeaderFields headers;
  dictionary.forEach([&](const Value& k, const Value& v) {
    if (k.isString()) headers.set(k.asString(), v.isString() ? v.asString() : v.description());
    return true;
  });
  return headers;
}

void URLRequest::setValueForHTTPHeaderField(std::string_view name, std::string_view value) {
  if (value.empty()) {
    headers_.remove(name);
  } else {
    headers_.set(name, value);
  }
}

void URLRequest::setHTTPBody(Bytes body) {
  body_ = std::move(body);
  bodyStream_.reset();
}

void URLRequest::setHTTPBodyStream(std::shared_ptr<InputStream> stream) {
  bodyStream_ = std::move(stream);
  body_.clear();
}

std::string URLRequest::description() const {
  return platform::format("<URLRequest: %p> { URL: %@ }", static_cast<const void*>(this),
                          url_.absoluteString());
}

Value URLRequest::toValue() const {
  Value dict = Value::mutableDictionary();
  dict.set("URL", Value(url_.absoluteString()));
  dict.set("method", Value(method_));
  dict.set("headers", headers_.toValue());
  if (!bodyStream_) dict.set("body", Value::data(body_));
  dict.set("timeout", Value(timeoutInterval_));
  dict.set("maximumResponseLength", Value(maximumResponseLength_));
  dict.set("maximumDuration", Value(maximumDuration_));
  return dict;
}

URLRequest URLRequest::fromValue(const Value& d) {
  URLRequest r(URL(d["URL"].asString()),
               d["timeout"].isNumber() ? d["timeout"].asDouble() : kDefaultTimeoutInterval);
  if (d["method"].isString()) r.setHTTPMethod(d["method"].asString());
  r.setAllHTTPHeaderFields(HeaderFields::fromValue(d["headers"]));
  if (d["body"].isData()) r.setHTTPBody(d["body"].asData());
  if (d["maximumResponseLength"].isNumber()) {
    r.setMaximumResponseLength(d["maximumResponseLength"].asInt64());
  }
  if (d["maximumDuration"].isNumber()) r.setMaximumDuration(d["maximumDuration"].asDouble());
  return r;
}

std::pair<std::string, std::string> parseContentType(std::string_view contentType) {
  auto trim = [](std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
  };
  std::size_t semi = contentType.find(';');
  std::string mime(trim(contentType.substr(0, semi)));
  std::transform(mime.begin(), mime.end(), mime.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::string charset;
  while (semi != std::string_view::npos) {
    std::string_view rest = contentType.substr(semi + 1);
    semi = rest.find(';');
    std::string_view param = trim(rest.substr(0, semi));
    contentType = rest;
    std::size_t eq = param.find('=');
    if (eq == std::string_view::npos) continue;
    if (!equalsIgnoringCase(trim(param.substr(0, eq)), "charset")) continue;
    std::string_view v = trim(param.substr(eq + 1));
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    charset = std::string(v);
  }
  return {mime, charset};
}

URLResponse::URLResponse(URL url, long statusCode, HeaderFields headers) {
  auto f = std::make_shared<Fields>();
  f->url = std::move(url);
  f->http = true;
  f->status = statusCode;
  f->headers = std::move(headers);
  if (const std::string* ct = f->headers.find("Content-Type")) {
    auto [mime, charset] = parseContentType(*ct);
    f->mimeType = std::move(mime);
    f->textEncodingName = std::move(charset);
  }
  if (const std::string* len = f->headers.find("Content-Length")) {
    std::int64_t n = -1;
    auto [p, ec] = std::from_chars(len->data(), len->data() + len->size(), n);
    if (ec == std::errc() && p == len->data() + len->size() && n >= 0) f->expectedLength = n;
  }
  fields_ = std::move(f);
}

URLResponse URLResponse::nonHTTP(URL url, std::string mimeType, std::int64_t expectedLength,
                                 std::string textEncodingName) {
  auto f = std::make_shared<Fields>();
  f->url = std::move(url);
  f->mimeType = std::move(mimeType);
  f->expectedLength = expectedLength;
  f->textEncodingName = std::move(textEncodingName);
  URLResponse r;
  r.fields_ = std::move(f);
  return r;
}

const URLResponse::Fields& URLResponse::fields() const {
  static const Fields kEmpty;
  return fields_ ? *fields_ : kEmpty;
}

std::string URLResponse::description() const {
  if (!isHTTP()) return platform::format("<URLResponse> { URL: %@ }", url().absoluteString());
  return platform::format("<HTTPURLResponse> { URL: %@ } { status code: %ld }",
                          url().absoluteString(), statusCode());
}

Value URLResponse::toValue() const {
  Value dict = Value::mutableDictionary();
  dict.set("URL", Value(url().absoluteString()));
  dict.set("HTTP", Value(isHTTP()));
  dict.set("status", Value(static_cast<std::int64_t>(statusCode())));
  dict.set("headers", allHeaderFields().toValue());
  dict.set("MIMEType", Value(MIMEType()));
  dict.set("textEncodingName", Value(textEncodingName()));
  dict.set("expectedContentLength", Value(expectedContentLength()));
  return dict;
}

URLResponse URLResponse::fromValue(const Value& d) {
  if (d["HTTP"].asBool()) {
    return URLResponse(URL(d["URL"].asString()), static_cast<long>(d["status"].asInt64()),
                       HeaderFields::fromValue(d["headers"]));
  }
  return nonHTTP(URL(d["URL"].asString()), d["MIMEType"].asString(),
                 d["expectedContentLength"].asInt64(), d["textEncodingName"].asString());
}

}  // namespace platform::urlloading
