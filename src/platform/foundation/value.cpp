#include "platform/foundation/value.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>

#include "platform/foundation/exception.h"
#include "platform/foundation/value_arena.h"
#include "platform/foundation/value_collections.h"

namespace platform {

namespace {

class NullNode final : public ValueNode {
 public:
  ValueKind kind() const override { return ValueKind::Null; }
};

class NumberNode final : public ValueNode {
 public:
  NumberNode(ValueKind k, char type) : kind_(k), type_(type) {}
  ValueKind kind() const override { return kind_; }
  ValueKind kind_;
  char type_;
  union {
    std::int64_t i;
    std::uint64_t u;
    double d;
  } v_{};
};

// Every string node: `size_` bytes at `data_`, reachable without a virtual
// call, and the std::string that asString hands out, which a node either
// holds from the start or makes on first demand.
class StringNode : public ValueNode {
 public:
  ValueKind kind() const final { return ValueKind::String; }
  std::string_view view() const { return {data_, size_}; }
  const std::string& string() const {
    const std::string* s = string_.load(std::memory_order_acquire);
    return s != nullptr ? *s : materialise();
  }

 protected:
  StringNode() = default;
  // Makes the std::string when none is set yet. Several threads may race
  // here: one installs its copy, the others free theirs and use the winner's.
  virtual const std::string& materialise() const = 0;
  // Installs `text` unless another thread was first; true when it won.
  bool install(const std::string* text) const {
    const std::string* expected = nullptr;
    return string_.compare_exchange_strong(expected, text, std::memory_order_acq_rel,
                                           std::memory_order_acquire);
  }

  const char* data_ = nullptr;
  std::size_t size_ = 0;
  mutable std::atomic<const std::string*> string_{nullptr};
};

// A string with a std::string of its own.
class OwnedStringNode final : public StringNode {
 public:
  explicit OwnedStringNode(std::string s) : s_(std::move(s)) {
    data_ = s_.data();
    size_ = s_.size();
    string_.store(&s_, std::memory_order_relaxed);
  }

 private:
  const std::string& materialise() const override { return s_; }
  std::string s_;
};

// memcpy(to, from, n) without a call for the short strings most leaves are.
inline void copyBytes(char* to, const char* from, std::size_t n) {
  if (n > 16) {
    std::memcpy(to, from, n);
  } else if (n >= 8) {
    std::uint64_t a, b;
    std::memcpy(&a, from, 8);
    std::memcpy(&b, from + n - 8, 8);
    std::memcpy(to, &a, 8);
    std::memcpy(to + n - 8, &b, 8);
  } else if (n >= 4) {
    std::uint32_t a, b;
    std::memcpy(&a, from, 4);
    std::memcpy(&b, from + n - 4, 4);
    std::memcpy(to, &a, 4);
    std::memcpy(to + n - 4, &b, 4);
  } else {
    for (std::size_t i = 0; i < n; ++i) to[i] = from[i];
  }
}

// A string whose bytes follow the node in a ValueArena; the arena adopts
// the std::string once one is made.
class ArenaStringNode final : public StringNode {
 public:
  ArenaStringNode(ValueArenaCore* core, std::string_view bytes) : core_(core) {
    char* copy = reinterpret_cast<char*>(this + 1);
    copyBytes(copy, bytes.data(), bytes.size());
    data_ = copy;
    size_ = bytes.size();
  }

 private:
  const std::string& materialise() const override {
    auto fresh = std::make_unique<ValueArenaCore::Adopted>(
        ValueArenaCore::Adopted{nullptr, std::string(data_, size_)});
    if (install(&fresh->text)) {
      ValueArenaCore::Adopted* won = fresh.release();
      core_->adopt(won);
      return won->text;
    }
    return *string_.load(std::memory_order_acquire);
  }
  ValueArenaCore* core_;
};

// A string that only refers to bytes owned elsewhere, for a probe that
// lives on the stack (a dictionary lookup by key text).
class ProbeStringNode final : public StringNode {
 public:
  explicit ProbeStringNode(std::string_view bytes) {
    data_ = bytes.data();
    size_ = bytes.size();
  }
  ~ProbeStringNode() override { delete string_.load(std::memory_order_acquire); }

 private:
  const std::string& materialise() const override {
    auto fresh = std::make_unique<std::string>(data_, size_);
    if (install(fresh.get())) return *fresh.release();
    return *string_.load(std::memory_order_acquire);
  }
};

const StringNode* stringOf(const ValueNode* n) {
  return n && n->kind() == ValueKind::String ? static_cast<const StringNode*>(n) : nullptr;
}

class DataNode final : public ValueNode {
 public:
  explicit DataNode(Bytes b) : b_(std::move(b)) {}
  ValueKind kind() const override { return ValueKind::Data; }
  Bytes b_;
};

class DateNode final : public ValueNode {
 public:
  explicit DateNode(Date d) : d_(d) {}
  ValueKind kind() const override { return ValueKind::Date; }
  Date d_;
};

const NumberNode* number(const ValueNode* n) {
  if (!n) return nullptr;
  switch (n->kind()) {
    case ValueKind::Bool:
    case ValueKind::Int:
    case ValueKind::UInt:
    case ValueKind::Real:
      return static_cast<const NumberNode*>(n);
    default:
      return nullptr;
  }
}

const ArrayStorage* arrayOf(const ValueNode* n) {
  return n && n->kind() == ValueKind::Array ? static_cast<const ArrayStorage*>(n) : nullptr;
}

const DictionaryStorage* dictionaryOf(const ValueNode* n) {
  return n && n->kind() == ValueKind::Dictionary ? static_cast<const DictionaryStorage*>(n)
                                                 : nullptr;
}

const std::string& emptyString() {
  static const std::string s;
  return s;
}

const Bytes& emptyBytes() {
  static const Bytes b;
  return b;
}

constexpr double kTwo63 = 9223372036854775808.0;
constexpr double kTwo64 = 18446744073709551616.0;

std::int64_t realToInt64(double d) {
  if (std::isnan(d)) return 0;
  if (d >= kTwo63) return std::numeric_limits<std::int64_t>::max();
  if (d < -kTwo63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(d);
}

std::uint64_t realToUInt64(double d) {
  if (std::isnan(d)) return 0;
  if (d < 0) return static_cast<std::uint64_t>(realToInt64(d));
  if (d >= kTwo64) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(d);
}

// A number reduced to one exact form for comparison and hashing: an integer
// in [INT64_MIN, UINT64_MAX] when the value is integral and in range,
// otherwise a real.
struct Canonical {
  enum { Neg, NonNeg, Real } form;
  std::int64_t neg = 0;      // form Neg: a negative integer
  std::uint64_t nonneg = 0;  // form NonNeg: a non-negative integer
  double real = 0;           // form Real
};

Canonical canonical(const NumberNode* n) {
  Canonical c{Canonical::NonNeg};
  switch (n->kind_) {
    case ValueKind::Bool:
    case ValueKind::Int:
      if (n->v_.i < 0) {
        c.form = Canonical::Neg;
        c.neg = n->v_.i;
      } else {
        c.nonneg = static_cast<std::uint64_t>(n->v_.i);
      }
      return c;
    case ValueKind::UInt:
      c.nonneg = n->v_.u;
      return c;
    default: {
      const double d = n->v_.d;
      if (std::isfinite(d) && std::trunc(d) == d && d >= -kTwo63 && d < kTwo64) {
        if (d < 0) {
          c.form = Canonical::Neg;
          c.neg = static_cast<std::int64_t>(d);
        } else {
          c.nonneg = static_cast<std::uint64_t>(d);
        }
      } else {
        c.form = Canonical::Real;
        c.real = d;
      }
      return c;
    }
  }
}

bool numbersEqual(const NumberNode* a, const NumberNode* b) {
  const Canonical x = canonical(a), y = canonical(b);
  if (x.form != y.form) return false;
  switch (x.form) {
    case Canonical::Neg:
      return x.neg == y.neg;
    case Canonical::NonNeg:
      return x.nonneg == y.nonneg;
    default:
      return x.real == y.real;
  }
}

std::size_t mix(std::size_t h, std::size_t v) {
  return h ^ (v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
}

// Parses the leading decimal integer of `s` the way the platform's
// integer accessors do: leading blanks, an optional sign, digits; clamps on
// overflow; 0 when there is no number.
template <class T>
T parseLeadingInteger(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  std::uint64_t magnitude = 0;
  bool overflow = false;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    const unsigned digit = static_cast<unsigned>(s[i] - '0');
    if (magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
      overflow = true;
      break;
    }
    magnitude = magnitude * 10 + digit;
  }
  if constexpr (std::is_signed_v<T>) {
    constexpr std::uint64_t kMaxPos = static_cast<std::uint64_t>(INT64_MAX);
    if (negative) {
      if (overflow || magnitude > kMaxPos + 1) return std::numeric_limits<std::int64_t>::min();
      return static_cast<std::int64_t>(0 - magnitude);
    }
    if (overflow || magnitude > kMaxPos) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(magnitude);
  } else {
    if (overflow) return std::numeric_limits<std::uint64_t>::max();
    return negative ? 0 - magnitude : magnitude;
  }
}

double parseLeadingReal(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
  if (i < s.size() && s[i] == '+') ++i;
  double d = 0;
  auto result = std::from_chars(s.data() + i, s.data() + s.size(), d);
  if (result.ec == std::errc::result_out_of_range) {
    // from_chars leaves d untouched; give the platform's answer of ±inf or 0.
    std::string copy(s.substr(i));
    return std::strtod(copy.c_str(), nullptr);
  }
  return result.ec == std::errc() ? d : 0;
}

// --- description ------------------------------------------------------------

void indent(std::string& out, int level) { out.append(static_cast<std::size_t>(level) * 4, ' '); }

bool needsQuotes(std::string_view s) {
  if (s.empty()) return true;
  for (unsigned char c : s) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '.' || c == '/' || c == '$';
    if (!plain) return true;
  }
  return false;
}

void appendQuoted(std::string& out, std::string_view s) {
  if (!needsQuotes(s)) {
    out += s;
    return;
  }
  out += '"';
  for (char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  out += '"';
}

std::string realDescription(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 16);
  return std::string(buf, r.ptr);
}

std::string dateDescription(Date date) {
  const double t = std::floor(date.timeIntervalSince1970());
  std::time_t secs = static_cast<std::time_t>(t);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d +0000", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

std::string dataDescription(const Bytes& b) {
  static const char* hex = "0123456789abcdef";
  std::string out = "<";
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (i && i % 4 == 0) out += ' ';
    out += hex[b[i] >> 4];
    out += hex[b[i] & 15];
  }
  out += '>';
  return out;
}

// Writes `v` as an element of a collection at nesting `level`: strings are
// quoted when needed and nested collections open with their own indent.
void describe(std::string& out, const Value& v, int level, bool topLevel) {
  switch (v.kind()) {
    case ValueKind::String:
      if (topLevel) {
        out += v.stringView();
      } else {
        appendQuoted(out, v.stringView());
      }
      return;
    case ValueKind::Null:
      out += topLevel ? "<null>" : "\"<null>\"";
      return;
    case ValueKind::Date:
      if (topLevel) {
        out += dateDescription(v.asDate());
      } else {
        out += '"' + dateDescription(v.asDate()) + '"';
      }
      return;
    case ValueKind::Array: {
      const auto* a = arrayOf(v.node());
      indent(out, level);
      out += "(\n";
      const std::size_t n = a->count();
      for (std::size_t i = 0; i < n; ++i) {
        indent(out, level + 1);
        describe(out, a->at(i), level + 1, false);
        out += i + 1 < n ? ",\n" : "\n";
      }
      indent(out, level);
      out += ')';
      return;
    }
    case ValueKind::Dictionary: {
      indent(out, level);
      out += "{\n";
      dictionaryOf(v.node())->forEach([&](const Value& key, const Value& value) {
        indent(out, level + 1);
        describe(out, key, level + 1, false);
        out += " = ";
        describe(out, value, level + 1, false);
        out += ";\n";
        return true;
      });
      indent(out, level);
      out += '}';
      return;
    }
    default:
      out += v.description();
  }
}

}  // namespace

// --- construction -------------------------------------------------------------

Value Value::null() {
  static const std::shared_ptr<ValueNode> node = std::make_shared<NullNode>();
  return Value(node);
}

Value::Value(bool b) {
  static const std::shared_ptr<ValueNode> yes = [] {
    auto n = std::make_shared<NumberNode>(ValueKind::Bool, 'c');
    n->v_.i = 1;
    return n;
  }();
  static const std::shared_ptr<ValueNode> no = [] {
    auto n = std::make_shared<NumberNode>(ValueKind::Bool, 'c');
    n->v_.i = 0;
    return n;
  }();
  node_ = b ? yes : no;
}

Value::Value(double d) {
  auto n = std::make_shared<NumberNode>(ValueKind::Real, 'd');
  n->v_.d = d;
  node_ = std::move(n);
}

Value::Value(const char* s) {
  if (s) node_ = std::make_shared<OwnedStringNode>(std::string(s));
}

Value::Value(std::string s) : node_(std::make_shared<OwnedStringNode>(std::move(s))) {}

Value::Value(std::string_view s) : node_(std::make_shared<OwnedStringNode>(std::string(s))) {}

Value::Value(Date d) : node_(std::make_shared<DateNode>(d)) {}

Value Value::fromInt64(std::int64_t n, char type) {
  auto node = std::make_shared<NumberNode>(ValueKind::Int, type);
  node->v_.i = n;
  return Value(std::shared_ptr<ValueNode>(std::move(node)));
}

Value Value::fromUInt64(std::uint64_t n, char type) {
  auto node = std::make_shared<NumberNode>(ValueKind::UInt, type);
  node->v_.u = n;
  return Value(std::shared_ptr<ValueNode>(std::move(node)));
}

Value Value::data(Bytes bytes) { return Value(std::make_shared<DataNode>(std::move(bytes))); }

Value Value::data(const void* bytes, std::size_t length) {
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  return data(length ? Bytes(p, p + length) : Bytes());
}

Value Value::array(std::vector<Value> elements) {
  return Value(std::make_shared<StandardArray>(std::move(elements), false));
}

Value Value::array(std::initializer_list<Value> elements) {
  return array(std::vector<Value>(elements));
}

Value Value::dictionary(std::vector<std::pair<Value, Value>> pairs) {
  return Value(std::make_shared<StandardDictionary>(std::move(pairs), false));
}

Value Value::dictionary(std::initializer_list<std::pair<Value, Value>> pairs) {
  return dictionary(std::vector<std::pair<Value, Value>>(pairs));
}

Value Value::mutableArray(std::vector<Value> elements) {
  return Value(std::make_shared<StandardArray>(std::move(elements), true));
}

Value Value::mutableDictionary(std::vector<std::pair<Value, Value>> pairs) {
  return Value(std::make_shared<StandardDictionary>(std::move(pairs), true));
}

// --- arena-made leaves --------------------------------------------------------

namespace {
// Numbers own nothing, so their destructor need not run: they take no
// cleanup link.
NumberNode* arenaNumber(ValueArenaCore* core, ValueKind kind, char type) {
  return new (core->allocate(sizeof(NumberNode), alignof(NumberNode))) NumberNode(kind, type);
}
}  // namespace

const ValueNode* ValueArena::newString(std::string_view s) {
  // The node owns nothing but arena memory (its std::string, once made, is
  // adopted by the arena), so it needs no cleanup link.
  void* memory = core_->allocate(sizeof(ArenaStringNode) + s.size(), alignof(ArenaStringNode));
  return new (memory) ArenaStringNode(core_.get(), s);
}

const ValueNode* ValueArena::newInt(std::int64_t n) {
  NumberNode* node = arenaNumber(core_.get(), ValueKind::Int, 'q');
  node->v_.i = n;
  return node;
}

const ValueNode* ValueArena::newUInt(std::uint64_t n) {
  NumberNode* node = arenaNumber(core_.get(), ValueKind::UInt, 'Q');
  node->v_.u = n;
  return node;
}

const ValueNode* ValueArena::newReal(double d) {
  NumberNode* node = arenaNumber(core_.get(), ValueKind::Real, 'd');
  node->v_.d = d;
  return node;
}

// --- kind -----------------------------------------------------------------------

bool Value::isNumber() const { return number(node_.get()) != nullptr; }

bool Value::isMutable() const { return mutations() != 0; }

char Value::numberType() const {
  const NumberNode* n = number(node_.get());
  return n ? n->type_ : 0;
}

// --- scalar access ----------------------------------------------------------------

bool Value::asBool() const {
  if (const NumberNode* n = number(node_.get())) {
    switch (n->kind_) {
      case ValueKind::Real:
        return n->v_.d != 0;
      case ValueKind::UInt:
        return n->v_.u != 0;
      default:
        return n->v_.i != 0;
    }
  }
  if (!isString()) return false;
  const std::string_view s = stringView();
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  while (i < s.size() && s[i] == '0') ++i;
  if (i >= s.size()) return false;
  const char c = s[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

std::int64_t Value::asInt64() const {
  if (const NumberNode* n = number(node_.get())) {
    switch (n->kind_) {
      case ValueKind::Real:
        return realToInt64(n->v_.d);
      case ValueKind::UInt:
        return static_cast<std::int64_t>(n->v_.u);
      default:
        return n->v_.i;
    }
  }
  return isString() ? parseLeadingInteger<std::int64_t>(stringView()) : 0;
}

std::uint64_t Value::asUInt64() const {
  if (const NumberNode* n = number(node_.get())) {
    switch (n->kind_) {
      case ValueKind::Real:
        return realToUInt64(n->v_.d);
      case ValueKind::UInt:
        return n->v_.u;
      default:
        return static_cast<std::uint64_t>(n->v_.i);
    }
  }
  return isString() ? parseLeadingInteger<std::uint64_t>(stringView()) : 0;
}

double Value::asDouble() const {
  if (const NumberNode* n = number(node_.get())) {
    switch (n->kind_) {
      case ValueKind::Real:
        return n->v_.d;
      case ValueKind::UInt:
        return static_cast<double>(n->v_.u);
      default:
        return static_cast<double>(n->v_.i);
    }
  }
  return isString() ? parseLeadingReal(stringView()) : 0;
}

const std::string& Value::asString() const {
  const StringNode* s = stringOf(node_.get());
  return s ? s->string() : emptyString();
}

std::string_view Value::stringView() const {
  const StringNode* s = stringOf(node_.get());
  return s ? s->view() : std::string_view();
}

const Bytes& Value::asData() const {
  return isData() ? static_cast<const DataNode*>(node_.get())->b_ : emptyBytes();
}

Date Value::asDate() const {
  return isDate() ? static_cast<const DateNode*>(node_.get())->d_ : Date();
}

// --- collections ------------------------------------------------------------------

std::size_t Value::count() const {
  if (const auto* a = arrayOf(node_.get())) return a->count();
  if (const auto* d = dictionaryOf(node_.get())) return d->count();
  return 0;
}

Value Value::operator[](std::size_t index) const {
  const auto* a = arrayOf(node_.get());
  if (!a || index >= a->count()) return Value();
  return a->at(index);
}

Value Value::at(std::size_t index) const {
  const auto* a = arrayOf(node_.get());
  if (!a) {
    throw Exception(kInvalidArgumentException,
                    "-[objectAtIndex:]: unrecognized selector sent to a value that is not an "
                    "array");
  }
  return a->at(index);
}

Value Value::operator[](std::string_view key) const {
  const auto* d = dictionaryOf(node_.get());
  if (!d) return Value();
  // A probe on the stack, handed over borrowed: no allocation per lookup.
  // Implementations of find never keep the key they are asked for.
  ProbeStringNode probe(key);
  return d->find(Value(std::shared_ptr<ValueNode>(std::shared_ptr<ValueNode>(), &probe)));
}

Value Value::get(const Value& key) const {
  const auto* d = dictionaryOf(node_.get());
  if (!d || key.isNone()) return Value();
  return d->find(key);
}

std::vector<Value> Value::elements() const {
  std::vector<Value> out;
  if (const auto* s = dynamic_cast<const StandardArray*>(node_.get())) return s->elements();
  if (const auto* a = arrayOf(node_.get())) {
    const std::size_t n = a->count();
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) out.push_back(a->at(i));
  }
  return out;
}

std::vector<Value> Value::keys() const {
  std::vector<Value> out;
  if (const auto* d = dictionaryOf(node_.get())) {
    out.reserve(d->count());
    d->forEach([&](const Value& k, const Value&) {
      out.push_back(k);
      return true;
    });
  }
  return out;
}

std::vector<std::pair<Value, Value>> Value::pairs() const {
  std::vector<std::pair<Value, Value>> out;
  if (const auto* d = dictionaryOf(node_.get())) {
    out.reserve(d->count());
    d->forEach([&](const Value& k, const Value& v) {
      out.emplace_back(k, v);
      return true;
    });
  }
  return out;
}

void Value::forEach(const std::function<bool(const Value& key, const Value& value)>& fn) const {
  if (const auto* d = dictionaryOf(node_.get())) {
    d->forEach(fn);
    return;
  }
  const auto* a = arrayOf(node_.get());
  if (!a) return;
  const std::uint64_t start = a->mutations();
  for (std::size_t i = 0; i < a->count(); ++i) {
    const bool more = fn(Value(static_cast<std::uint64_t>(i)), a->at(i));
    if (a->mutations() != start) {
      throw Exception(kGenericException,
                      "*** Collection <__NSArrayM> was mutated while being enumerated.");
    }
    if (!more) break;
  }
}

std::uint64_t Value::mutations() const {
  if (const auto* a = arrayOf(node_.get())) return a->mutations();
  if (const auto* d = dictionaryOf(node_.get())) return d->mutations();
  return 0;
}

namespace {

ArrayStorage* mutableArrayOf(const std::shared_ptr<ValueNode>& node, const char* method) {
  if (!node || node->kind() != ValueKind::Array) {
    throw Exception(kInternalInconsistencyException,
                    std::string("*** -[") + method + "]: sent to an object that is not an array");
  }
  return static_cast<ArrayStorage*>(node.get());
}

DictionaryStorage* mutableDictionaryOf(const std::shared_ptr<ValueNode>& node, const char* method) {
  if (!node || node->kind() != ValueKind::Dictionary) {
    throw Exception(kInternalInconsistencyException, std::string("*** -[") + method +
                                                         "]: sent to an object that is not a "
                                                         "dictionary");
  }
  return static_cast<DictionaryStorage*>(node.get());
}

void requireValue(const Value& v, const char* method) {
  if (v.isNone()) {
    throw Exception(kInvalidArgumentException,
                    std::string("*** -[__NSArrayM ") + method + "]: object cannot be nil");
  }
}

}  // namespace

void Value::append(Value value) {
  ArrayStorage* a = mutableArrayOf(node_, "addObject:");
  requireValue(value, "insertObject:atIndex:");
  a->insert(a->count(), std::move(value));
}

void Value::insert(std::size_t index, Value value) {
  ArrayStorage* a = mutableArrayOf(node_, "insertObject:atIndex:");
  requireValue(value, "insertObject:atIndex:");
  a->insert(index, std::move(value));
}

void Value::removeAt(std::size_t index) {
  mutableArrayOf(node_, "removeObjectAtIndex:")->removeAt(index);
}

void Value::replaceAt(std::size_t index, Value value) {
  ArrayStorage* a = mutableArrayOf(node_, "replaceObjectAtIndex:withObject:");
  requireValue(value, "replaceObjectAtIndex:withObject:");
  a->replaceAt(index, std::move(value));
}

void Value::set(const Value& key, Value value) {
  DictionaryStorage* d = mutableDictionaryOf(node_, "setObject:forKey:");
  if (key.isNone()) {
    throw Exception(kInvalidArgumentException,
                    "*** -[__NSDictionaryM setObject:forKey:]: key cannot be nil");
  }
  if (value.isNone()) {
    throw Exception(kInvalidArgumentException,
                    "*** -[__NSDictionaryM setObject:forKey:]: object cannot be nil (key: " +
                        key.description() + ")");
  }
  d->set(key, std::move(value));
}

void Value::remove(const Value& key) {
  DictionaryStorage* d = mutableDictionaryOf(node_, "removeObjectForKey:");
  if (key.isNone()) {
    throw Exception(kInvalidArgumentException,
                    "*** -[__NSDictionaryM removeObjectForKey:]: key cannot be nil");
  }
  d->remove(key);
}

void Value::addEntriesFrom(const Value& dictionary) {
  DictionaryStorage* d = mutableDictionaryOf(node_, "addEntriesFromDictionary:");
  if (dictionary.isSameObject(*this)) return;  // adding a dictionary to itself changes nothing
  // Collected first so that the source may be any implementation.
  for (auto& [k, v] : dictionary.pairs()) d->set(k, v);
}

Value Value::copy() const {
  if (!isMutable()) return *this;
  if (isArray()) return array(elements());
  return dictionary(pairs());
}

Value Value::mutableCopy() const {
  if (isArray()) return mutableArray(elements());
  if (isDictionary()) return mutableDictionary(pairs());
  return *this;
}

// --- equality, hash, description ---------------------------------------------------

bool operator==(const Value& a, const Value& b) {
  if (a.node_ == b.node_) {
    // Same node: equal, except a real NaN, which equals nothing.
    const NumberNode* n = number(a.node_.get());
    return !(n && n->kind_ == ValueKind::Real && std::isnan(n->v_.d));
  }
  if (!a.node_ || !b.node_) return false;
  const NumberNode* na = number(a.node_.get());
  const NumberNode* nb = number(b.node_.get());
  if (na || nb) return na && nb && numbersEqual(na, nb);
  const ValueKind kind = a.kind();
  if (kind != b.kind()) return false;
  switch (kind) {
    case ValueKind::Null:
      return true;
    case ValueKind::String:
      return a.stringView() == b.stringView();
    case ValueKind::Data:
      return a.asData() == b.asData();
    case ValueKind::Date:
      return a.asDate() == b.asDate();
    case ValueKind::Array: {
      const auto* x = arrayOf(a.node());
      const auto* y = arrayOf(b.node());
      const std::size_t n = x->count();
      if (n != y->count()) return false;
      for (std::size_t i = 0; i < n; ++i) {
        if (!(x->at(i) == y->at(i))) return false;
      }
      return true;
    }
    case ValueKind::Dictionary: {
      const auto* x = dictionaryOf(a.node());
      const auto* y = dictionaryOf(b.node());
      if (x->count() != y->count()) return false;
      bool equal = true;
      x->forEach([&](const Value& k, const Value& v) {
        equal = y->find(k) == v;
        return equal;
      });
      return equal;
    }
    default:
      return false;
  }
}

std::size_t Value::hash() const {
  const ValueNode* n = node_.get();
  if (!n) return 0;
  if (const NumberNode* num = number(n)) {
    const Canonical c = canonical(num);
    switch (c.form) {
      case Canonical::Neg:
        return std::hash<std::int64_t>()(c.neg);
      case Canonical::NonNeg:
        return std::hash<std::uint64_t>()(c.nonneg);
      default:
        return std::hash<double>()(c.real);
    }
  }
  switch (n->kind()) {
    case ValueKind::Null:
      return 0x6e756c6cU;
    case ValueKind::String:
      return std::hash<std::string_view>()(stringView());
    case ValueKind::Data: {
      const Bytes& b = asData();
      return std::hash<std::string_view>()(
          std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
    }
    case ValueKind::Date:
      return std::hash<double>()(asDate().timeIntervalSince1970());
    case ValueKind::Array: {
      std::size_t h = 0x61727261U;
      const auto* a = arrayOf(n);
      const std::size_t count = a->count();
      for (std::size_t i = 0; i < count; ++i) h = mix(h, a->at(i).hash());
      return h;
    }
    case ValueKind::Dictionary: {
      // Order-independent: the sum of the pairs' hashes.
      std::size_t h = 0x64696374U + dictionaryOf(n)->count();
      dictionaryOf(n)->forEach([&](const Value& k, const Value& v) {
        h += mix(k.hash(), v.hash());
        return true;
      });
      return h;
    }
    default:
      return 0;
  }
}

std::string Value::description() const {
  const ValueNode* n = node_.get();
  if (!n) return "(null)";
  if (const NumberNode* num = number(n)) {
    switch (num->kind_) {
      case ValueKind::Real:
        return realDescription(num->v_.d);
      case ValueKind::UInt:
        return std::to_string(num->v_.u);
      default:
        return std::to_string(num->v_.i);
    }
  }
  switch (n->kind()) {
    case ValueKind::Null:
      return "<null>";
    case ValueKind::String:
      return std::string(stringView());
    case ValueKind::Data:
      return dataDescription(asData());
    case ValueKind::Date:
      return dateDescription(asDate());
    default: {
      std::string out;
      describe(out, *this, 0, true);
      return out;
    }
  }
}

}  // namespace platform
