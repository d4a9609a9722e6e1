#include "ipc/xpc_parse.h"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <limits>

#include "ipc/xpc_log.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/xpc/wire_codec.h"

namespace ipc {

using platform::Value;
using platform::ValueKind;
using platform::xpc::ChannelType;
using platform::xpc::ChannelValue;

namespace {

// Class names of the closed list of archived classes.
constexpr const char* kURLClass = "NSURL";
constexpr const char* kErrorClass = "NSError";
constexpr const char* kNullClass = "NSNull";
constexpr const char* kClassKey = "$class";
constexpr const char* kValueKey = "$value";

std::int64_t nanosecondsFor(double seconds) {
  double ns = std::trunc(seconds * 1e9);
  if (std::isnan(ns)) return 0;
  if (ns >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
  if (ns <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(ns);
}

ChannelValue archiveOf(const std::string& className, const Value& payload) {
  ChannelValue root = ChannelValue::dictionary();
  root.set(kClassKey, ChannelValue::string(className));
  if (!payload.isNone()) root.set(kValueKey, XPCParse::newXPCObject(payload));
  auto encoded = platform::xpc::wire::encode(root);
  if (!encoded) return {};
  return ChannelValue::data(std::move(encoded->bytes), true);
}

Value archiveOfError(const platform::Error& e) {
  Value d = Value::mutableDictionary();
  d.set("domain", Value(e.domain()));
  d.set("code", Value(e.code()));
  d.set("userInfo", e.userInfo().isNone() ? Value::dictionary() : e.userInfo());
  if (e.underlying()) d.set("underlying", archiveOfError(*e.underlying()));
  return d.copy();
}

platform::Error errorFromArchive(const Value& d, int depth = 0) {
  if (!d.isDictionary() || !d["domain"].isString() || depth > 16) return {};
  Value userInfo = d["userInfo"].isDictionary() ? d["userInfo"] : Value::dictionary();
  if (d["underlying"].isDictionary()) {
    platform::Error under = errorFromArchive(d["underlying"], depth + 1);
    if (under) return platform::Error(d["domain"].asString(), d["code"].asInt64(), userInfo, under);
  }
  return platform::Error(d["domain"].asString(), d["code"].asInt64(), userInfo);
}

// The budget of the conversion running on this thread (see the header). The
// outermost conversion call opens it; the calls nested in it, archives
// included, draw on it.
struct Budget {
  std::size_t maxBytes = kConversionMaxBytes;
  std::size_t depth = 0;
  std::size_t bytes = 0;
  const char* exceeded = nullptr;  // the reason, once exceeded
  // Counting only (fitsConversionBudget): the same levels and bytes are
  // charged, but strings, data and collections are not copied and no
  // descriptor is duplicated. Archives are still unpacked for real, since
  // what they hold decides what else is charged.
  bool countOnly = false;
};

thread_local Budget* tBudget = nullptr;

class BudgetScope {
 public:
  explicit BudgetScope(std::size_t maxBytes = kConversionMaxBytes) {
    if (tBudget) return;
    own_.maxBytes = maxBytes;
    tBudget = &own_;
    outermost_ = true;
  }
  ~BudgetScope() {
    if (outermost_) tBudget = nullptr;
  }
  BudgetScope(const BudgetScope&) = delete;
  BudgetScope& operator=(const BudgetScope&) = delete;
  // True when this is the outermost scope and the budget ran out.
  bool failed() const { return outermost_ && own_.exceeded; }
  const char* reason() const { return own_.exceeded; }

 private:
  Budget own_;
  bool outermost_ = false;
};

bool exhausted() { return tBudget && tBudget->exceeded; }

bool countingOnly() { return tBudget && tBudget->countOnly; }

// Unpacks for real for its life, within a counting-only check.
class RealConversion {
 public:
  RealConversion() : b_(tBudget), was_(b_ && b_->countOnly) {
    if (b_) b_->countOnly = false;
  }
  ~RealConversion() {
    if (b_) b_->countOnly = was_;
  }
  RealConversion(const RealConversion&) = delete;
  RealConversion& operator=(const RealConversion&) = delete;

 private:
  Budget* b_;
  bool was_;
};

// Takes `n` bytes from the budget; false (and the budget spent) when they do
// not fit.
bool charge(std::size_t n) {
  Budget* b = tBudget;
  if (!b) return true;
  if (b->exceeded) return false;
  if (n > b->maxBytes - b->bytes) {
    b->exceeded = "too many bytes";
    return false;
  }
  b->bytes += n;
  return true;
}

// One level deeper for the life of the object.
class Level {
 public:
  Level() : b_(tBudget) {
    if (!b_) return;
    if (++b_->depth > kConversionMaxDepth && !b_->exceeded) b_->exceeded = "nesting too deep";
  }
  ~Level() {
    if (b_) --b_->depth;
  }
  Level(const Level&) = delete;
  Level& operator=(const Level&) = delete;
  bool ok() const { return !b_ || !b_->exceeded; }
  // Levels still allowed below this one.
  std::size_t left() const {
    return !b_ ? platform::xpc::wire::kMaxDepth
               : (b_->depth >= kConversionMaxDepth ? 0 : kConversionMaxDepth - b_->depth);
  }

 private:
  Budget* b_;
};

// Unarchives a marked archive into a known class; nil when it is not one.
Object unarchive(const std::vector<std::uint8_t>& bytes) {
  RealConversion real;
  Level level;
  if (!level.ok() || !charge(bytes.size())) return {};
  std::string reason;
  // The archive's root dictionary is the next level: its containers get what
  // is left of the depth.
  const std::size_t left = level.left();
  if (left == 0) {
    tBudget->exceeded = "nesting too deep";
    return {};
  }
  auto root = platform::xpc::wire::decode(bytes.data(), bytes.size(), {}, &reason, left - 1);
  if (!root && tBudget && reason == "nesting too deep") {
    tBudget->exceeded = "nesting too deep";
    return {};
  }
  if (!root || root->type() != ChannelType::Dictionary) {
    if (channelLogLevel() >= 2) {
      channelLog(platform::format(
          "NSData object is not an object archive (this is not necessarily an error). Reason: %@",
          reason.empty() ? std::string("not a dictionary") : reason));
    }
    return {};
  }
  const std::string& cls = root->get(kClassKey).stringValue();
  Object payload = XPCParse::objectWithXPCObject(root->get(kValueKey));
  Value v = payload.value();
  if (cls == kNullClass) return Object(Value::null());
  if (cls == kURLClass && v.isString()) {
    platform::URL url(v.asString());
    if (url.isValid()) return Object(url);
  }
  if (cls == kErrorClass) {
    platform::Error e = errorFromArchive(v);
    if (e) return Object(e);
  }
  if (channelLogLevel() >= 2) {
    channelLog(platform::format(
        "NSData object is not an object archive (this is not necessarily an error). Reason: %@",
        "class \"" + cls + "\" cannot be unarchived"));
  }
  return {};
}

}  // namespace

// --- FileHandle -------------------------------------------------------------

std::shared_ptr<FileHandle> FileHandle::duplicating(int fd) {
  if (fd < 0) return nullptr;
  int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return nullptr;
  return std::make_shared<FileHandle>(copy);
}

FileHandle::~FileHandle() {
  if (fd_ >= 0) ::close(fd_);
}

std::string FileHandle::description() const { return platform::format("<FileHandle: fd %d>", fd_); }

// --- Object -----------------------------------------------------------------

Object::Object(platform::Value v) {
  if (!v.isNone()) v_ = std::move(v);
}
Object::Object(std::shared_ptr<FileHandle> h) {
  if (h) v_ = std::move(h);
}
Object::Object(std::shared_ptr<XPCUUID> u) {
  if (u) v_ = std::move(u);
}
Object::Object(platform::URL url) : v_(std::move(url)) {}
Object::Object(platform::Error error) {
  if (error) v_ = std::move(error);
}
Object::Object(std::shared_ptr<const Codable> object) {
  if (object) v_ = std::move(object);
}

Value Object::value() const {
  auto* p = std::get_if<Value>(&v_);
  return p ? *p : Value();
}
std::shared_ptr<FileHandle> Object::fileHandle() const {
  auto* p = std::get_if<std::shared_ptr<FileHandle>>(&v_);
  return p ? *p : nullptr;
}
std::shared_ptr<XPCUUID> Object::uuid() const {
  auto* p = std::get_if<std::shared_ptr<XPCUUID>>(&v_);
  return p ? *p : nullptr;
}
const platform::URL* Object::url() const { return std::get_if<platform::URL>(&v_); }
const platform::Error* Object::error() const { return std::get_if<platform::Error>(&v_); }
std::shared_ptr<const Codable> Object::codable() const {
  auto* p = std::get_if<std::shared_ptr<const Codable>>(&v_);
  return p ? *p : nullptr;
}

std::string Object::description() const {
  switch (kind()) {
    case Kind::Nil:
      return "(null)";
    case Kind::Value:
      return value().description();
    case Kind::FileHandle:
      return fileHandle()->description();
    case Kind::UUID:
      return uuid()->description();
    case Kind::URL:
      return url()->description();
    case Kind::Error:
      return error()->description();
    case Kind::Codable:
      return codable()->description();
  }
  return "";
}

// --- object to channel --------------------------------------------------------

ChannelValue XPCParse::newXPCObject(const Value& v) {
  switch (v.kind()) {
    case ValueKind::None:
      return {};
    case ValueKind::Null:
      return archiveOf(kNullClass, Value());
    case ValueKind::Bool:
      return ChannelValue::boolean(v.asBool());
    case ValueKind::Int:
    case ValueKind::UInt:
    case ValueKind::Real: {
      char type = v.numberType();
      if (type == 'c') return ChannelValue::boolean(v.asBool());
      if (type == 'Q') return ChannelValue::uint64(v.asUInt64());
      if (type == 'q') return ChannelValue::int64(v.asInt64());
      return ChannelValue::real(v.asDouble());
    }
    case ValueKind::String:
      return ChannelValue::string(v.stringView());
    case ValueKind::Data:
      return ChannelValue::data(v.asData());
    case ValueKind::Date:
      return ChannelValue::date(nanosecondsFor(v.asDate().timeIntervalSince1970()));
    case ValueKind::Array: {
      ChannelValue a = ChannelValue::array();
      for (const Value& e : v.elements()) {
        ChannelValue c = newXPCObject(e);
        if (c) a.append(c);
      }
      return a;
    }
    case ValueKind::Dictionary: {
      ChannelValue d = ChannelValue::dictionary();
      v.forEach([&](const Value& key, const Value& e) {
        if (!key.isString()) return true;
        ChannelValue c = newXPCObject(e);
        if (c) d.set(key.asString(), c);
        return true;
      });
      return d;
    }
  }
  return {};
}

ChannelValue XPCParse::newXPCObject(const Object& o) {
  switch (o.kind()) {
    case Object::Kind::Nil:
      return {};
    case Object::Kind::Value:
      return newXPCObject(o.value());
    case Object::Kind::FileHandle:
      return ChannelValue::fileDescriptor(o.fileHandle()->fileDescriptor());
    case Object::Kind::UUID:
      return o.uuid()->newXPCObject();
    case Object::Kind::URL:
      return archiveOf(kURLClass, Value(o.url()->absoluteString()));
    case Object::Kind::Error:
      return archiveOf(kErrorClass, archiveOfError(*o.error()));
    case Object::Kind::Codable: {
      auto c = o.codable();
      Value archived = c->archive();
      if (archived.isNone()) {
        throw platform::Exception(
            kXPCNotNSCodingConformantException,
            platform::format("Object %@ is not convertible into xpc_object_t type because it is "
                             "not NSCoding conformant",
                             c->description()));
      }
      return archiveOf(c->className(), archived);
    }
  }
  return {};
}

// --- channel to object --------------------------------------------------------

Object XPCParse::objectWithXPCObject(const ChannelValue& c) {
  BudgetScope scope;
  if (exhausted()) return {};
  Object o = objectOf(c);
  if (scope.failed()) return {};
  return o;
}

bool XPCParse::fitsConversionBudget(const ChannelValue& object, std::string* reason,
                                    std::size_t maxBytes) {
  // A conversion already running on this thread must not lend its budget.
  Budget* outer = tBudget;
  tBudget = nullptr;
  bool fits;
  {
    BudgetScope scope(maxBytes);
    // The whole conversion's walk and charges, without building its result.
    tBudget->countOnly = true;
    objectOf(object);
    fits = !scope.failed();
    if (!fits && reason) *reason = scope.reason();
  }
  tBudget = outer;
  return fits;
}

Object XPCParse::objectOf(const ChannelValue& c) {
  switch (c.type()) {
    case ChannelType::Dictionary:
      return Object(dictionaryWithContentsOfXPCObject(c));
    case ChannelType::Array:
      return Object(arrayWithContentsOfXPCObject(c));
    case ChannelType::Date:
      return Object(dateWithXPCObject(c));
    case ChannelType::Data:
    case ChannelType::SharedMemory:
      return objectWithXPCData(c);
    case ChannelType::String:
      return Object(stringWithXPCObject(c));
    case ChannelType::UUID:
      return Object(XPCUUID::uuidWithXPCObject(c));
    case ChannelType::FileDescriptor:
      return Object(fileHandleWithXPCObject(c));
    case ChannelType::Bool:
    case ChannelType::Int64:
    case ChannelType::UInt64:
    case ChannelType::Double:
      return Object(numberWithXPCObject(c));
    default:
      return {};
  }
}

Object XPCParse::objectWithXPCData(const ChannelValue& c) {
  BudgetScope scope;
  if (exhausted() || c.type() != ChannelType::Data) return {};
  if (c.isArchive()) {
    Object o = unarchive(c.bytes());
    if (scope.failed() || exhausted()) return {};
    if (o) return o;
  }
  Value data = dataWithXPCObject(c);
  if (scope.failed()) return {};
  return Object(data);
}

Value XPCParse::dictionaryWithContentsOfXPCObject(const ChannelValue& c) {
  BudgetScope scope;
  if (c.type() != ChannelType::Dictionary || exhausted()) return {};
  Level level;
  if (!level.ok()) return {};
  const bool count = countingOnly();
  std::vector<std::pair<Value, Value>> pairs;
  // Read in place: a conversion never changes what it converts.
  for (std::size_t i = 0, n = c.count(); i < n; ++i) {
    const std::string& key = c.keyAt(i);
    if (!charge(key.size())) break;
    Value v = objectOf(c.valueAt(i)).value();
    if (exhausted()) break;
    if (!count && !v.isNone()) pairs.emplace_back(Value(key), v);
  }
  if (scope.failed() || exhausted() || count) return {};
  return Value::dictionary(std::move(pairs));
}

Value XPCParse::arrayWithContentsOfXPCObject(const ChannelValue& c) {
  BudgetScope scope;
  if (c.type() != ChannelType::Array || exhausted()) return {};
  Level level;
  if (!level.ok()) return {};
  const bool count = countingOnly();
  std::vector<Value> elements;
  for (std::size_t i = 0, n = c.count(); i < n; ++i) {
    Value v = objectOf(c.valueAt(i)).value();
    if (exhausted()) return {};
    if (!count && !v.isNone()) elements.push_back(v);
  }
  if (scope.failed() || count) return {};
  return Value::array(std::move(elements));
}

Value XPCParse::dateWithXPCObject(const ChannelValue& c) {
  if (c.type() != ChannelType::Date) return {};
  return Value(platform::Date(static_cast<double>(c.dateValue()) / 1000000000.0));
}

Value XPCParse::dataWithXPCObject(const ChannelValue& c) {
  if (c.type() != ChannelType::Data || !charge(c.bytes().size()) || countingOnly()) return {};
  return Value::data(c.bytes());
}

Value XPCParse::stringWithXPCObject(const ChannelValue& c) {
  if (c.type() != ChannelType::String || !charge(c.stringValue().size()) || countingOnly()) {
    return {};
  }
  return Value(c.stringValue());
}

Value XPCParse::numberWithXPCObject(const ChannelValue& c) {
  switch (c.type()) {
    case ChannelType::Bool:
      return Value(c.boolValue());
    case ChannelType::UInt64:
      return Value(c.uint64Value());
    case ChannelType::Int64:
      return Value(c.int64Value());
    case ChannelType::Double:
      return Value(c.doubleValue());
    default:
      return {};
  }
}

std::shared_ptr<FileHandle> XPCParse::fileHandleWithXPCObject(const ChannelValue& c) {
  if (c.type() != ChannelType::FileDescriptor || countingOnly()) return nullptr;
  return FileHandle::duplicating(c.fd());
}

}  // namespace ipc
