#include "platform/system/property_list.h"

#include <expat.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "platform/foundation/string_encoding.h"
#include "platform/system/binary_property_list.h"
#include "platform/system/file_util.h"

namespace platform::plist {
namespace {

// --- Base64 ---------------------------------------------------------------

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64Encode(const Bytes& bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    std::uint32_t n = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out += kBase64Alphabet[(n >> 18) & 63];
    out += kBase64Alphabet[(n >> 12) & 63];
    out += kBase64Alphabet[(n >> 6) & 63];
    out += kBase64Alphabet[n & 63];
  }
  if (i < bytes.size()) {
    std::uint32_t n = bytes[i] << 16;
    if (i + 1 < bytes.size()) n |= bytes[i + 1] << 8;
    out += kBase64Alphabet[(n >> 18) & 63];
    out += kBase64Alphabet[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? kBase64Alphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

int base64Digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Decodes Base64, skipping white space; padding is optional. False on any
// other character, on data after padding, or on a dangling single digit.
bool base64Decode(std::string_view text, Bytes* out) {
  std::uint32_t acc = 0;
  int bits = 0, digits = 0;
  bool padded = false;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
    if (c == '=') {
      padded = true;
      continue;
    }
    int d = base64Digit(c);
    if (d < 0 || padded) return false;
    acc = (acc << 6) | static_cast<std::uint32_t>(d);
    bits += 6;
    ++digits;
    if (bits >= 8) {
      bits -= 8;
      out->push_back(static_cast<std::uint8_t>((acc >> bits) & 0xff));
    }
  }
  return digits % 4 != 1;
}

// --- dates ----------------------------------------------------------------

// The dates a property list can carry: four-digit years, 0001-01-01T00:00:00Z
// through 9999-12-31T23:59:59Z. The reader and the writer keep to the same
// range, so whatever is read can be written again.
constexpr double kEarliestDate = -62135596800.0;
constexpr double kLatestDate = 253402300799.0;

bool isWritableDate(double t) { return t >= kEarliestDate && t < kLatestDate + 1; }

std::string formatISODate(Date date) {
  double t = std::floor(date.timeIntervalSince1970());
  std::time_t secs = static_cast<std::time_t>(t);
  std::tm tm{};
  ::gmtime_r(&secs, &tm);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buffer;
}

bool parseISODate(std::string_view text, Date* out) {
  int year, month, day, hour, minute, second;
  char z = 0;
  std::string s(text);
  int consumed = 0;
  if (std::sscanf(s.c_str(), "%d-%d-%dT%d:%d:%d%c%n", &year, &month, &day, &hour, &minute, &second,
                  &z, &consumed) != 7 ||
      z != 'Z' || static_cast<std::size_t>(consumed) != s.size()) {
    return false;
  }
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 ||
      hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60) {
    return false;
  }
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  const double t = static_cast<double>(::timegm(&tm));
  if (!isWritableDate(t)) return false;
  *out = Date(t);
  return true;
}

// --- numbers --------------------------------------------------------------

std::string_view trim(std::string_view s) {
  while (!s.empty() &&
         (s.front() == ' ' || s.front() == '\t' || s.front() == '\n' || s.front() == '\r')) {
    s.remove_prefix(1);
  }
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

bool parseInteger(std::string_view text, Value* out) {
  text = trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  std::int64_t i = 0;
  auto r = std::from_chars(text.data(), end, i);
  if (r.ec == std::errc() && r.ptr == end) {
    *out = Value(i);
    return true;
  }
  if (r.ec == std::errc::result_out_of_range && text.front() != '-') {
    std::uint64_t u = 0;
    auto ru = std::from_chars(text.data(), end, u);
    if (ru.ec == std::errc() && ru.ptr == end) {
      *out = Value(u);
      return true;
    }
  }
  return false;
}

bool parseReal(std::string_view text, double* out) {
  text = trim(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return false;
  double d = 0;
  const char* end = text.data() + text.size();
  auto r = std::from_chars(text.data(), end, d);
  if (r.ec != std::errc() || r.ptr != end) return false;
  *out = negative ? -d : d;
  return true;
}

std::string formatReal(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "+infinity" : "-infinity";
  char buffer[64];
  for (int precision = 15; precision <= 17; ++precision) {
    std::snprintf(buffer, sizeof buffer, "%.*g", precision, d);
    double back = 0;
    if (parseReal(buffer, &back) && back == d) break;
  }
  // snprintf honours the locale's decimal point; the format always uses '.'.
  for (char* p = buffer; *p; ++p) {
    if (*p == ',') *p = '.';
  }
  return buffer;
}

// --- reading --------------------------------------------------------------

Error corrupt(const std::string& message) {
  return Error(kCocoaErrorDomain, kReadCorruptError,
               Value::dictionary({{kLocalizedDescriptionKey, Value(message)}}));
}

class Reader {
 public:
  Reader() : parser_(XML_ParserCreate(nullptr)) {
    XML_SetUserData(parser_, this);
    XML_SetElementHandler(parser_, &Reader::onStart, &Reader::onEnd);
    XML_SetCharacterDataHandler(parser_, &Reader::onText);
    XML_SetEntityDeclHandler(parser_, &Reader::onEntityDecl);
    XML_SetExternalEntityRefHandler(parser_, &Reader::onExternalEntity);
    XML_SetParamEntityParsing(parser_, XML_PARAM_ENTITY_PARSING_NEVER);
  }
  ~Reader() { XML_ParserFree(parser_); }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  Value run(std::string_view xml, Error* error) {
    if (!parser_) {
      if (error) *error = corrupt("cannot create the XML parser");
      return Value();
    }
    // Feed in chunks so that no length has to fit an int.
    constexpr std::size_t kChunk = 1 << 20;
    bool ok = true;
    do {
      std::size_t n = std::min(kChunk, xml.size());
      bool last = n == xml.size();
      if (XML_Parse(parser_, xml.data(), static_cast<int>(n), last) != XML_STATUS_OK) {
        ok = false;
        break;
      }
      xml.remove_prefix(n);
    } while (!xml.empty());
    if (ok && failure_.empty() && root_.isNone()) failure_ = "the document holds no value";
    if (!ok || !failure_.empty()) {
      if (error) {
        std::string message =
            failure_.empty() ? XML_ErrorString(XML_GetErrorCode(parser_)) : failure_;
        *error =
            corrupt("line " + std::to_string(XML_GetCurrentLineNumber(parser_)) + ": " + message);
      }
      return Value();
    }
    return root_;
  }

 private:
  enum class FrameKind { Plist, Array, Dict };
  struct Frame {
    FrameKind kind;
    Value container;
    std::optional<std::string> key;
  };

  void fail(std::string message) {
    if (failure_.empty()) failure_ = std::move(message);
    XML_StopParser(parser_, XML_FALSE);
  }

  void add(Value v) {
    if (frames_.empty() || frames_.back().kind == FrameKind::Plist) {
      if (!root_.isNone()) return fail("more than one top-level value");
      root_ = std::move(v);
      return;
    }
    Frame& top = frames_.back();
    if (top.kind == FrameKind::Array) {
      top.container.append(std::move(v));
    } else {
      if (!top.key) return fail("a dictionary value without a key");
      top.container.set(Value(*top.key), std::move(v));
      top.key.reset();
    }
  }

  void start(std::string_view name) {
    if (!leaf_.empty())
      return fail("unexpected element <" + std::string(name) + "> in <" + leaf_ + ">");
    if (!frames_.empty() && frames_.back().kind == FrameKind::Dict) {
      bool wantsKey = !frames_.back().key;
      if (wantsKey && name != "key")
        return fail("expected <key>, found <" + std::string(name) + ">");
      if (!wantsKey && name == "key") return fail("two keys in a row");
    } else if (name == "key") {
      return fail("<key> outside a dictionary");
    }
    if (name == "plist") {
      if (!frames_.empty() || !root_.isNone()) return fail("unexpected <plist>");
      frames_.push_back({FrameKind::Plist, Value(), std::nullopt});
      return;
    }
    if (name == "dict" || name == "array") {
      if (frames_.size() >= static_cast<std::size_t>(kMaxDepth)) return fail("nested too deeply");
      if (name == "dict") {
        frames_.push_back({FrameKind::Dict, Value::mutableDictionary(), std::nullopt});
      } else {
        frames_.push_back({FrameKind::Array, Value::mutableArray(), std::nullopt});
      }
      return;
    }
    if (name == "key" || name == "string" || name == "integer" || name == "real" ||
        name == "date" || name == "data" || name == "true" || name == "false") {
      leaf_ = std::string(name);
      text_.clear();
      return;
    }
    fail("unknown element <" + std::string(name) + ">");
  }

  void end(std::string_view name) {
    if (!leaf_.empty()) {
      std::string leaf = std::move(leaf_);
      leaf_.clear();
      if (leaf == "key") {
        frames_.back().key = std::move(text_);
      } else if (leaf == "string") {
        add(Value(std::move(text_)));
      } else if (leaf == "integer") {
        Value v;
        if (!parseInteger(text_, &v)) return fail("bad integer \"" + text_ + "\"");
        add(std::move(v));
      } else if (leaf == "real") {
        double d = 0;
        if (!parseReal(text_, &d)) return fail("bad real \"" + text_ + "\"");
        add(Value(d));
      } else if (leaf == "date") {
        Date d;
        if (!parseISODate(trim(text_), &d)) return fail("bad date \"" + text_ + "\"");
        add(Value(d));
      } else if (leaf == "data") {
        Bytes bytes;
        if (!base64Decode(text_, &bytes)) return fail("bad Base64 data");
        add(Value::data(std::move(bytes)));
      } else if (leaf == "true" || leaf == "false") {
        if (!trim(text_).empty()) return fail("text inside <" + leaf + "/>");
        add(Value(leaf == "true"));
      }
      text_.clear();
      return;
    }
    if (frames_.empty()) return fail("unbalanced </" + std::string(name) + ">");
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    if (frame.kind == FrameKind::Plist) return;
    if (frame.key) return fail("a key without a value");
    add(frame.container.copy());
  }

  void text(std::string_view s) {
    if (!leaf_.empty()) {
      text_.append(s);
    } else if (!trim(s).empty()) {
      fail("unexpected text \"" + std::string(trim(s)) + "\"");
    }
  }

  static void XMLCALL onStart(void* self, const XML_Char* name, const XML_Char**) {
    static_cast<Reader*>(self)->start(name);
  }
  static void XMLCALL onEnd(void* self, const XML_Char* name) {
    static_cast<Reader*>(self)->end(name);
  }
  static void XMLCALL onText(void* self, const XML_Char* s, int len) {
    static_cast<Reader*>(self)->text(std::string_view(s, static_cast<std::size_t>(len)));
  }
  static void XMLCALL onEntityDecl(void* self, const XML_Char*, int, const XML_Char*, int,
                                   const XML_Char*, const XML_Char*, const XML_Char*,
                                   const XML_Char*) {
    static_cast<Reader*>(self)->fail("entity declarations are not allowed");
  }
  static int XMLCALL onExternalEntity(XML_Parser, const XML_Char*, const XML_Char*, const XML_Char*,
                                      const XML_Char*) {
    return XML_STATUS_ERROR;
  }

  XML_Parser parser_;
  std::vector<Frame> frames_;
  std::string leaf_;
  std::string text_;
  Value root_;
  std::string failure_;
};

// --- writing and validation -------------------------------------------------

Error invalid(const std::string& message) {
  return Error(kCocoaErrorDomain, kWriteInvalidError,
               Value::dictionary({{kLocalizedDescriptionKey, Value(message)}}));
}

// Checks that `s` is valid UTF-8 holding only characters XML 1.0 can carry.
bool isWritableString(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    std::uint32_t cp;
    int extra;
    if (c < 0x80) {
      cp = c;
      extra = 0;
    } else if ((c & 0xe0) == 0xc0) {
      cp = c & 0x1f;
      extra = 1;
    } else if ((c & 0xf0) == 0xe0) {
      cp = c & 0x0f;
      extra = 2;
    } else if ((c & 0xf8) == 0xf0) {
      cp = c & 0x07;
      extra = 3;
    } else {
      return false;
    }
    if (i + static_cast<std::size_t>(extra) >= s.size()) return false;
    for (int k = 1; k <= extra; ++k) {
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3f);
    }
    static constexpr std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    if (cp < 0x20 && cp != '\t' && cp != '\n' && cp != '\r') return false;
    if (cp == 0xfffe || cp == 0xffff) return false;
    i += static_cast<std::size_t>(extra) + 1;
  }
  return true;
}

void appendEscaped(std::string& out, std::string_view s) {
  appendXMLEscaped(out, s, kXMLEscapeCarriageReturn);
}

class Writer {
 public:
  bool write(const Value& v, int depth, std::string* out) {
    if (depth > kMaxDepth) return fail("nested too deeply");
    std::string indent(static_cast<std::size_t>(depth), '\t');
    switch (v.kind()) {
      case ValueKind::None:
        return fail("a missing value cannot be written");
      case ValueKind::Null:
        return fail("null cannot be written in a property list");
      case ValueKind::Bool:
        *out += indent + (v.asBool() ? "<true/>\n" : "<false/>\n");
        return true;
      case ValueKind::Int:
        *out += indent + "<integer>" + std::to_string(v.asInt64()) + "</integer>\n";
        return true;
      case ValueKind::UInt:
        *out += indent + "<integer>" + std::to_string(v.asUInt64()) + "</integer>\n";
        return true;
      case ValueKind::Real:
        *out += indent + "<real>" + formatReal(v.asDouble()) + "</real>\n";
        return true;
      case ValueKind::String:
        if (!isWritableString(v.stringView())) {
          return fail("a string is not valid UTF-8 or holds control characters");
        }
        *out += indent + "<string>";
        appendEscaped(*out, v.stringView());
        *out += "</string>\n";
        return true;
      case ValueKind::Date: {
        const double t = v.asDate().timeIntervalSince1970();
        if (!isWritableDate(t)) {
          return fail("a date is out of range");
        }
        *out += indent + "<date>" + formatISODate(v.asDate()) + "</date>\n";
        return true;
      }
      case ValueKind::Data: {
        *out += indent + "<data>\n";
        std::string encoded = base64Encode(v.asData());
        for (std::size_t i = 0; i < encoded.size(); i += 68) {
          *out += indent + encoded.substr(i, 68) + "\n";
        }
        *out += indent + "</data>\n";
        return true;
      }
      case ValueKind::Array: {
        if (v.count() == 0) {
          *out += indent + "<array/>\n";
          return true;
        }
        *out += indent + "<array>\n";
        for (const Value& e : v.elements()) {
          if (!write(e, depth + 1, out)) return false;
        }
        *out += indent + "</array>\n";
        return true;
      }
      case ValueKind::Dictionary: {
        if (v.count() == 0) {
          *out += indent + "<dict/>\n";
          return true;
        }
        *out += indent + "<dict>\n";
        bool ok = true;
        v.forEach([&](const Value& key, const Value& value) {
          if (!key.isString()) {
            ok = fail("a dictionary key is not a string");
            return false;
          }
          if (!isWritableString(key.stringView())) {
            ok = fail("a dictionary key is not valid UTF-8 or holds control characters");
            return false;
          }
          *out += indent + "\t<key>";
          appendEscaped(*out, key.stringView());
          *out += "</key>\n";
          ok = write(value, depth + 1, out);
          return ok;
        });
        if (!ok) return false;
        *out += indent + "</dict>\n";
        return true;
      }
    }
    return fail("unknown value kind");
  }

  bool fail(std::string message) {
    if (message_.empty()) message_ = std::move(message);
    return false;
  }
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};

Value copyDeep(const Value& v) {
  switch (v.kind()) {
    case ValueKind::Array: {
      std::vector<Value> elements;
      elements.reserve(v.count());
      for (const Value& e : v.elements()) elements.push_back(copyDeep(e));
      return Value::array(std::move(elements));
    }
    case ValueKind::Dictionary: {
      std::vector<std::pair<Value, Value>> pairs;
      pairs.reserve(v.count());
      v.forEach([&](const Value& key, const Value& value) {
        pairs.emplace_back(key, copyDeep(value));
        return true;
      });
      return Value::dictionary(std::move(pairs));
    }
    default:
      return v;  // scalars are immutable
  }
}

}  // namespace

Value parse(std::string_view bytes, Error* error, Format* format) {
  if (bytes.starts_with(kBinaryHeader)) {
    Value value = readBinary(bytes, error);
    if (!value.isNone() && format) *format = kBinaryFormat;
    return value;
  }
  Reader reader;
  Value value = reader.run(bytes, error);
  if (!value.isNone() && format) *format = kXMLFormat;
  return value;
}

std::optional<std::string> serialize(const Value& value, Error* error) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<plist version=\"1.0\">\n";
  Writer writer;
  if (!writer.write(value, 0, &out)) {
    if (error) *error = invalid(writer.message());
    return std::nullopt;
  }
  out += "</plist>\n";
  return out;
}

bool isPropertyList(const Value& value) {
  std::string scratch;
  Writer writer;
  return writer.write(value, 0, &scratch);
}

Value immutableCopy(const Value& value, Error* error) {
  std::string scratch;
  Writer writer;
  if (!writer.write(value, 0, &scratch)) {
    if (error) *error = invalid(writer.message());
    return Value();
  }
  return copyDeep(value);
}

Value readFile(const std::string& path, Error* error, Format* format) {
  auto text = files::readFile(path, error);
  if (!text) return Value();
  return parse(*text, error, format);
}

bool writeFile(const std::string& path, const Value& value, unsigned mode, Error* error) {
  auto text = serialize(value, error);
  if (!text) return false;
  return files::writeFileAtomically(path, *text, mode, error);
}

}  // namespace platform::plist
