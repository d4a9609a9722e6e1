#include "codecs/json_encoder.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "codecs/json_collections.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/foundation/value_collections.h"

namespace codecs {

using platform::Error;
using platform::Exception;
using platform::Value;
using platform::ValueKind;

namespace {

const char* className(const Value& v) {
  switch (v.kind()) {
    case ValueKind::None:
      return "nil";
    case ValueKind::Null:
      return "NSNull";
    case ValueKind::Bool:
    case ValueKind::Int:
    case ValueKind::UInt:
    case ValueKind::Real:
      return "NSNumber";
    case ValueKind::String:
      return "NSString";
    case ValueKind::Data:
      return "NSData";
    case ValueKind::Date:
      return "NSDate";
    case ValueKind::Array:
      return "NSArray";
    case ValueKind::Dictionary:
      return "NSDictionary";
  }
  return "NSObject";
}

// 0: copy the byte; otherwise the byte needs an escape.
struct EscapeTable {
  std::uint8_t v[256];
  constexpr EscapeTable() : v() {
    for (int i = 0; i < 0x20; ++i) v[i] = 1;
    v['"'] = 1;
    v['\\'] = 1;
    v['/'] = 2;  // only with JTSerializeOptionEscapeSlash
    for (int i = 0x80; i < 256; ++i) v[i] = 3;
  }
};
constexpr EscapeTable kEscape;

// Well-formed UTF-8 (noncharacters allowed, surrogates not). Returns the
// sequence length, or 0 when the bytes at p are not a sequence.
int utf8Sequence(const std::uint8_t* p, const std::uint8_t* end, std::uint32_t* cp) {
  const std::uint8_t lead = *p;
  int length;
  std::uint32_t c;
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    c = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    c = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (end - p < length) return 0;
  for (int i = 1; i < length; ++i) {
    const std::uint8_t b = p[i];
    if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF)) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  *cp = c;
  return length;
}

constexpr std::size_t kCacheSize = 1024;

// The kinds the encoder writes without a formatter.
bool isNative(const Value& v) {
  const ValueKind k = v.kind();
  return k != ValueKind::Data && k != ValueKind::Date && k != ValueKind::None;
}

}  // namespace

struct JTSerializer::State {
  struct CacheSlot {
    const platform::ValueNode* object = nullptr;
    std::size_t offset = 0;
    std::size_t length = 0;
  };

  std::string out;
  CacheSlot cache[kCacheSize];
  std::uint64_t options = 0;
  std::uint64_t encodeOption = 0;
  std::size_t depth = 0;    // pretty-printing depth
  std::size_t nesting = 0;  // arrays and objects open
  Error error;
  const JTUnsupportedFormatter* formatter = nullptr;
  std::vector<Value> keepAlive;  // formatter results, so their addresses stay unique

  void fail(std::string_view message, std::int64_t code = kJTErrorCodeInvalid) {
    if (!error.isNone()) return;
    error = Error(kJTErrorDomain, code,
                  Value::dictionary({{platform::kLocalizedDescriptionKey, Value(message)}}));
  }

  static std::size_t slotFor(const void* p) {
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    return (((a >> 9) ^ (a >> 21)) + (a >> 4)) & (kCacheSize - 1);
  }

  void indent() {
    out.push_back('\n');
    out.append(depth * 2, ' ');
  }

  void structural(char c) {
    if ((options & JTSerializeOptionPretty) == 0) {
      out.push_back(c);
      return;
    }
    switch (c) {
      case '[':
      case '{':
        ++depth;
        out.push_back(c);
        indent();
        break;
      case ']':
      case '}':
        --depth;
        indent();
        out.push_back(c);
        break;
      case ',':
        out.push_back(c);
        indent();
        break;
      case ':':
        out.append(": ");
        break;
      default:
        out.push_back(c);
    }
  }

  bool encodeString(std::string_view s) {
    const bool quotes = (encodeOption & JTEncodeOptionStringObjTrimQuotes) == 0;
    const bool escapeSlash = (options & JTSerializeOptionEscapeSlash) != 0;
    const bool escapeNonASCII = (options & JTSerializeOptionEscapeNonASCII) != 0;
    out.reserve(out.size() + s.size() + 2);
    if (quotes) out.push_back('"');
    const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
      // Copy the run of plain bytes at once.
      const std::uint8_t* run = p;
      while (p < end && kEscape.v[*p] == 0) ++p;
      if (p > run)
        out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
      if (p >= end) break;
      const std::uint8_t c = *p;
      switch (kEscape.v[c]) {
        case 1:
          switch (c) {
            case '\b':
              out.append("\\b");
              break;
            case '\t':
              out.append("\\t");
              break;
            case '\n':
              out.append("\\n");
              break;
            case '\f':
              out.append("\\f");
              break;
            case '\r':
              out.append("\\r");
              break;
            case '"':
              out.append("\\\"");
              break;
            case '\\':
              out.append("\\\\");
              break;
            default: {
              char buf[8];
              std::snprintf(buf, sizeof buf, "\\u%4.4x", c);
              out.append(buf);
            }
          }
          ++p;
          break;
        case 2:
          if (escapeSlash) out.push_back('\\');
          out.push_back('/');
          ++p;
          break;
        default: {
          std::uint32_t cp = 0;
          const int n = utf8Sequence(p, end, &cp);
          if (n == 0) {
            fail(escapeNonASCII
                     ? "Error converting UTF8."
                     : "An error occurred converting the contents of a NSString to UTF8.");
            return false;
          }
          if (!escapeNonASCII) {
            out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n));
          } else {
            char buf[16];
            if (cp <= 0xFFFF) {
              std::snprintf(buf, sizeof buf, "\\u%4.4x", static_cast<unsigned>(cp));
            } else {
              std::snprintf(buf, sizeof buf, "\\u%4.4x\\u%4.4x",
                            static_cast<unsigned>((cp >> 10) + 0xD7C0),
                            static_cast<unsigned>((cp & 0x3FF) | 0xDC00));
            }
            out.append(buf);
          }
          p += n;
        }
      }
    }
    if (quotes) out.push_back('"');
    return true;
  }

  bool encodeNumber(const Value& v) {
    char buf[40];
    std::to_chars_result r{};
    switch (v.kind()) {
      case ValueKind::Bool:
        out.append(v.asBool() ? "true" : "false");
        return true;
      case ValueKind::Int:
        r = std::to_chars(buf, buf + sizeof buf, v.asInt64());
        break;
      case ValueKind::UInt:
        r = std::to_chars(buf, buf + sizeof buf, v.asUInt64());
        break;
      default: {
        const double d = v.asDouble();
        if (!std::isfinite(d)) {
          fail("Floating point values must be finite.  JSON does not support NaN or Infinity.");
          return false;
        }
        r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 17);
      }
    }
    if (r.ec != std::errc()) {
      fail("Unable to get scalar value from number object.");
      return false;
    }
    out.append(buf, static_cast<std::size_t>(r.ptr - buf));
    return true;
  }

  bool enter() {
    if (++nesting > kJTMaximumNestingDepth) {
      fail(platform::format("Nesting deeper than %lu arrays and objects.", kJTMaximumNestingDepth),
           kJTErrorCodeNestingTooDeep);
      return false;
    }
    return true;
  }

  [[noreturn]] static void mutated(const char* cls) {
    throw Exception(
        platform::kGenericException,
        platform::format("*** Collection <%@> was mutated while being enumerated.", cls));
  }

  bool encodeArray(const Value& v) {
    if (!enter()) return false;
    const auto* a = static_cast<const platform::ArrayStorage*>(v.node());
    const std::uint64_t mutations = a->mutations();
    structural('[');
    // Immutable arrays of the known kinds are walked in place.
    std::span<const Value> elements;
    bool inPlace = false;
    const JTArray* jt = nullptr;
    if (mutations == 0) {
      if ((jt = dynamic_cast<const JTArray*>(a)) != nullptr) {
        elements = jt->objects();
        inPlace = true;
      } else if (const auto* st = dynamic_cast<const platform::StandardArray*>(a)) {
        elements = st->elements();
        inPlace = true;
      }
    }
    if (inPlace) {
      bool firstElement = true;
      for (const Value& e : elements) {
        if (!firstElement) structural(',');
        firstElement = false;
        // Only a formatter may keep what it is shown: give it an owning handle.
        if (!encode(jt != nullptr && !isNative(e) ? jt->owning(e) : e, nullptr)) return false;
      }
    } else {
      const std::size_t n = a->count();
      for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) structural(',');
        if (!encode(a->at(i), nullptr)) return false;
        if (a->mutations() != mutations || a->count() != n) mutated("NSArray");
      }
    }
    structural(']');
    --nesting;
    return true;
  }

  bool encodeDictionary(const Value& v) {
    if (!enter()) return false;
    const auto* d = static_cast<const platform::DictionaryStorage*>(v.node());
    structural('{');
    bool ok = true;
    bool first = true;
    auto pair = [&](const Value& key, const Value& value) {
      if (!key.isString()) {
        fail("Key must be a string object.");
        ok = false;
        return false;
      }
      if (!first) structural(',');
      first = false;
      if (!encode(key, nullptr)) {
        ok = false;
        return false;
      }
      structural(':');
      if (!encode(value, nullptr)) {
        ok = false;
        return false;
      }
      return true;
    };
    if ((options & JTSerializeOptionPretty) != 0) {
      std::vector<std::pair<Value, Value>> pairs;
      pairs.reserve(d->count());
      d->forEach([&](const Value& k, const Value& val) {
        pairs.emplace_back(k, val);
        return true;
      });
      for (const auto& [k, val] : pairs) {
        if (!k.isString()) {
          fail("Key must be a string object.");
          return false;
        }
      }
      std::stable_sort(pairs.begin(), pairs.end(), [](const auto& x, const auto& y) {
        return x.first.stringView() < y.first.stringView();
      });
      for (const auto& [k, val] : pairs) {
        if (!pair(k, val)) break;
      }
    } else if (const auto* jt = dynamic_cast<const JTDictionary*>(d); jt && !jt->isMutable()) {
      for (const JTDictionary::Entry& e : jt->entries()) {
        if (e.key.isNone()) continue;
        if (!pair(e.key, isNative(e.object) ? e.object : jt->owning(e.object))) break;
      }
    } else {
      d->forEach(pair);
    }
    if (!ok) return false;
    structural('}');
    --nesting;
    return true;
  }

  // `replaced`: the object a formatter replaced with `v`, if any.
  bool encode(const Value& v, const Value* replaced) {
    const platform::ValueNode* node = v.node();
    const ValueKind kind = v.kind();
    const bool cacheable = kind == ValueKind::String || kind == ValueKind::Null ||
                           kind == ValueKind::Int || kind == ValueKind::UInt ||
                           kind == ValueKind::Real || kind == ValueKind::Bool;
    std::size_t slot = 0;
    if (cacheable && node != nullptr) {
      slot = slotFor(node);
      const CacheSlot& c = cache[slot];
      if (c.object == node) {
        out.reserve(out.size() + c.length);
        out.append(out.data() + c.offset, c.length);
        return true;
      }
    }
    const std::size_t start = out.size();
    bool ok;
    switch (kind) {
      case ValueKind::String:
        ok = encodeString(v.stringView());
        break;
      case ValueKind::Bool:
      case ValueKind::Int:
      case ValueKind::UInt:
      case ValueKind::Real:
        ok = encodeNumber(v);
        break;
      case ValueKind::Null:
        out.append("null");
        ok = true;
        break;
      case ValueKind::Array:
        return encodeArray(v);
      case ValueKind::Dictionary:
        return encodeDictionary(v);
      default: {
        if (replaced != nullptr) {
          fail(
              platform::format("Unable to serialize object class %@ that was returned by the "
                               "unsupported class formatter.  Original object class was %@.",
                               className(v), className(*replaced)));
          return false;
        }
        Value replacement;
        if (formatter != nullptr && *formatter) replacement = (*formatter)(v);
        if (replacement.isNone()) {
          fail(platform::format("Unable to serialize object class %@.", className(v)));
          return false;
        }
        keepAlive.push_back(replacement);
        return encode(replacement, &v);
      }
    }
    if (ok && cacheable && node != nullptr) {
      cache[slot] = CacheSlot{node, start, out.size() - start};
    }
    return ok;
  }
};

JTSerializer::JTSerializer() = default;
JTSerializer::~JTSerializer() { releaseState(); }

void JTSerializer::releaseState() { state_.reset(); }

Value JTSerializer::serializeObject(const Value& object, std::uint64_t options,
                                    std::uint64_t encodeOption,
                                    const JTUnsupportedFormatter& formatter, Error* error) {
  JTSerializer serializer;
  return serializer.serialize(object, options, encodeOption, formatter, error);
}

Value JTSerializer::serialize(const Value& object, std::uint64_t options,
                              std::uint64_t encodeOption, const JTUnsupportedFormatter& formatter,
                              Error* error) {
  auto precondition = [](bool ok, const char* condition) {
    if (!ok) {
      throw Exception(platform::kInternalInconsistencyException,
                      platform::format("Invalid parameter not satisfying: %@", condition));
    }
  };
  precondition(!object.isNone(), "object != NULL");
  precondition(!((encodeOption & JTEncodeOptionCollectionObj) &&
                 (encodeOption & (JTEncodeOptionStringObj | JTEncodeOptionStringObjTrimQuotes))),
               "(encodeOption & JTEncodeOptionCollectionObj) excludes the string options");
  precondition(!((encodeOption & JTEncodeOptionStringObjTrimQuotes) &&
                 !(encodeOption & JTEncodeOptionStringObj)),
               "JTEncodeOptionStringObjTrimQuotes requires JTEncodeOptionStringObj");

  releaseState();
  state_ = std::make_unique<State>();
  State& s = *state_;
  s.options = options;
  s.encodeOption = encodeOption;
  s.formatter = &formatter;
  s.out.reserve(4096);

  Value result;
  bool ok = true;
  if ((encodeOption & JTEncodeOptionCollectionObj) && !object.isArray() && !object.isDictionary()) {
    s.fail(
        platform::format("Unable to serialize object class %@, expected a NSArray or NSDictionary.",
                         className(object)));
    ok = false;
  } else if ((encodeOption & JTEncodeOptionStringObj) && !object.isString()) {
    s.fail(platform::format("Unable to serialize object class %@, expected a NSString.",
                            className(object)));
    ok = false;
  }
  if (ok) ok = s.encode(object, nullptr);
  if (ok) {
    switch (encodeOption & JTEncodeOptionAsTypeMask) {
      case JTEncodeOptionReturnData:
        result = Value::data(s.out.data(), s.out.size());
        break;
      case JTEncodeOptionReturnString:
        result = Value(std::move(s.out));
        break;
      default:
        s.fail("Unknown encode as type.");
    }
  }
  if (result.isNone() && error != nullptr) *error = s.error;
  releaseState();
  return result;
}

namespace {
Value run(const Value& object, std::uint64_t options, std::uint64_t encodeOption,
          const JTUnsupportedFormatter& formatter, Error* error) {
  return JTSerializer::serializeObject(object, options, encodeOption, formatter, error);
}
const JTUnsupportedFormatter& noFormatter() {
  static const JTUnsupportedFormatter f;
  return f;
}
}  // namespace

Value JSONData(const Value& collection, std::uint64_t options, Error* error) {
  return run(collection, options, JTEncodeOptionReturnData | JTEncodeOptionCollectionObj,
             noFormatter(), error);
}

Value JSONDataWithFormatter(const Value& collection, std::uint64_t options,
                            const JTUnsupportedFormatter& formatter, Error* error) {
  return run(collection, options, JTEncodeOptionReturnData | JTEncodeOptionCollectionObj, formatter,
             error);
}

Value JSONString(const Value& collection, std::uint64_t options, Error* error) {
  return run(collection, options, JTEncodeOptionReturnString | JTEncodeOptionCollectionObj,
             noFormatter(), error);
}

Value JSONStringWithFormatter(const Value& collection, std::uint64_t options,
                              const JTUnsupportedFormatter& formatter, Error* error) {
  return run(collection, options, JTEncodeOptionReturnString | JTEncodeOptionCollectionObj,
             formatter, error);
}

Value stringJSONData(const Value& string, std::uint64_t options, bool includeQuotes, Error* error) {
  return run(string, options,
             JTEncodeOptionReturnData | JTEncodeOptionStringObj |
                 (includeQuotes ? 0 : JTEncodeOptionStringObjTrimQuotes),
             noFormatter(), error);
}

Value stringJSONString(const Value& string, std::uint64_t options, bool includeQuotes,
                       Error* error) {
  return run(string, options,
             JTEncodeOptionReturnString | JTEncodeOptionStringObj |
                 (includeQuotes ? 0 : JTEncodeOptionStringObjTrimQuotes),
             noFormatter(), error);
}

}  // namespace codecs
