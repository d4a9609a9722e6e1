#include "platform/xpc/channel_value.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "platform/foundation/keyed_hash.h"
#include "platform/foundation/uuid.h"

namespace platform::xpc {

namespace {

// Lets the key index be searched with a string_view without building a string.
struct KeyHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return channelKeyHash(s); }
};

// Dictionaries up to this size are searched in order; larger ones keep an
// index from key to position, so that building one from n entries (as the
// decoder does) is linear rather than quadratic.
constexpr std::size_t kIndexedFrom = 8;

}  // namespace

std::size_t channelKeyHash(std::string_view key) {
  return static_cast<std::size_t>(platform::keyedHash(key));
}

struct ChannelNode {
  ChannelType type = ChannelType::Null;
  std::int64_t i = 0;
  std::uint64_t u = 0;
  double d = 0;
  bool archive = false;
  std::string s;
  std::vector<std::uint8_t> bytes;
  UUIDBytes uuid{};
  int fd = -1;
  ChannelError error = ChannelError::ConnectionInvalid;
  std::vector<ChannelValue> elements;
  std::vector<std::pair<std::string, ChannelValue>> entries;
  // Position of each key in `entries`; empty while the dictionary is small.
  std::unordered_map<std::string, std::size_t, KeyHash, std::equal_to<>> index;
  std::optional<ReplyContext> context;
  bool reply = false;

  ~ChannelNode() {
    if (fd >= 0) ::close(fd);
  }

  // The position of `key` in `entries`, or entries.size().
  std::size_t position(std::string_view key) const {
    if (!index.empty()) {
      auto it = index.find(key);
      return it == index.end() ? entries.size() : it->second;
    }
    for (std::size_t at = 0; at < entries.size(); ++at)
      if (entries[at].first == key) return at;
    return entries.size();
  }

  void reindexFrom(std::size_t first) {
    if (entries.size() <= kIndexedFrom) {
      index.clear();
      return;
    }
    if (index.empty()) first = 0;
    for (std::size_t at = first; at < entries.size(); ++at) index[entries[at].first] = at;
  }
};

namespace {

std::shared_ptr<ChannelNode> make(ChannelType t) {
  auto n = std::make_shared<ChannelNode>();
  n->type = t;
  return n;
}

const std::string& emptyString() {
  static const std::string s;
  return s;
}

const std::vector<std::uint8_t>& emptyBytes() {
  static const std::vector<std::uint8_t> b;
  return b;
}

}  // namespace

// The shared null, true and false objects, like the error objects below,
// are never destroyed: other threads may still use them during exit.
ChannelValue ChannelValue::null() {
  static const ChannelValue* const v = new ChannelValue(make(ChannelType::Null));
  return *v;
}

ChannelValue ChannelValue::boolean(bool b) {
  static const ChannelValue* const t = [] {
    auto n = make(ChannelType::Bool);
    n->u = 1;
    return new ChannelValue(n);
  }();
  static const ChannelValue* const f = new ChannelValue(make(ChannelType::Bool));
  return b ? *t : *f;
}

ChannelValue ChannelValue::int64(std::int64_t v) {
  auto n = make(ChannelType::Int64);
  n->i = v;
  return ChannelValue(n);
}

ChannelValue ChannelValue::uint64(std::uint64_t v) {
  auto n = make(ChannelType::UInt64);
  n->u = v;
  return ChannelValue(n);
}

ChannelValue ChannelValue::real(double v) {
  auto n = make(ChannelType::Double);
  n->d = v;
  return ChannelValue(n);
}

ChannelValue ChannelValue::string(std::string_view s) {
  auto n = make(ChannelType::String);
  n->s.assign(s);
  return ChannelValue(n);
}

ChannelValue ChannelValue::data(std::vector<std::uint8_t> bytes, bool isArchive) {
  auto n = make(ChannelType::Data);
  n->bytes = std::move(bytes);
  n->archive = isArchive;
  return ChannelValue(n);
}

ChannelValue ChannelValue::sharedMemory(std::vector<std::uint8_t> bytes) {
  auto n = make(ChannelType::SharedMemory);
  n->bytes = std::move(bytes);
  return ChannelValue(n);
}

ChannelValue ChannelValue::date(std::int64_t ns) {
  auto n = make(ChannelType::Date);
  n->i = ns;
  return ChannelValue(n);
}

ChannelValue ChannelValue::uuid(const UUIDBytes& bytes) {
  auto n = make(ChannelType::UUID);
  n->uuid = bytes;
  return ChannelValue(n);
}

ChannelValue ChannelValue::fileDescriptor(int fd) {
  if (fd < 0) return {};
  int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return {};
  return adoptFileDescriptor(copy);
}

ChannelValue ChannelValue::adoptFileDescriptor(int fd) {
  if (fd < 0) return {};
  auto n = make(ChannelType::FileDescriptor);
  n->fd = fd;
  return ChannelValue(n);
}

ChannelValue ChannelValue::array() { return ChannelValue(make(ChannelType::Array)); }

ChannelValue ChannelValue::dictionary() { return ChannelValue(make(ChannelType::Dictionary)); }

ChannelValue ChannelValue::dictionary(std::size_t capacity) {
  auto n = make(ChannelType::Dictionary);
  n->entries.reserve(capacity);
  return ChannelValue(n);
}

ChannelValue ChannelValue::error(ChannelError e) {
  // The three error objects live to the very end of the process (never
  // destroyed): a connection cancelled on a worker thread may still hand one
  // out while the main thread runs the static destructors at exit.
  static const ChannelValue* const interrupted = [] {
    auto n = make(ChannelType::Error);
    n->error = ChannelError::ConnectionInterrupted;
    return new ChannelValue(n);
  }();
  static const ChannelValue* const invalid = [] {
    auto n = make(ChannelType::Error);
    n->error = ChannelError::ConnectionInvalid;
    return new ChannelValue(n);
  }();
  static const ChannelValue* const imminent = [] {
    auto n = make(ChannelType::Error);
    n->error = ChannelError::TerminationImminent;
    return new ChannelValue(n);
  }();
  switch (e) {
    case ChannelError::ConnectionInterrupted:
      return *interrupted;
    case ChannelError::TerminationImminent:
      return *imminent;
    case ChannelError::ConnectionInvalid:
      break;
  }
  return *invalid;
}

ChannelValue ChannelValue::createReply(const ChannelValue& request) {
  ChannelValue reply = dictionary();
  const ReplyContext* ctx = request.replyContext();
  if (ctx && !request.isReply()) {
    reply.node_->context = *ctx;
    reply.node_->reply = true;
  }
  return reply;
}

ChannelType ChannelValue::type() const { return node_ ? node_->type : ChannelType::None; }

bool ChannelValue::boolValue() const { return type() == ChannelType::Bool && node_->u != 0; }

std::int64_t ChannelValue::int64Value() const {
  return type() == ChannelType::Int64 ? node_->i : 0;
}

std::uint64_t ChannelValue::uint64Value() const {
  return type() == ChannelType::UInt64 ? node_->u : 0;
}

double ChannelValue::doubleValue() const { return type() == ChannelType::Double ? node_->d : 0; }

const std::string& ChannelValue::stringValue() const {
  return type() == ChannelType::String ? node_->s : emptyString();
}

const std::vector<std::uint8_t>& ChannelValue::bytes() const {
  auto t = type();
  return (t == ChannelType::Data || t == ChannelType::SharedMemory) ? node_->bytes : emptyBytes();
}

bool ChannelValue::isArchive() const { return type() == ChannelType::Data && node_->archive; }

std::int64_t ChannelValue::dateValue() const { return type() == ChannelType::Date ? node_->i : 0; }

UUIDBytes ChannelValue::uuidValue() const {
  return type() == ChannelType::UUID ? node_->uuid : UUIDBytes{};
}

int ChannelValue::fd() const { return type() == ChannelType::FileDescriptor ? node_->fd : -1; }

ChannelError ChannelValue::errorValue() const {
  return type() == ChannelType::Error ? node_->error : ChannelError::ConnectionInvalid;
}

std::size_t ChannelValue::count() const {
  if (type() == ChannelType::Array) return node_->elements.size();
  if (type() == ChannelType::Dictionary) return node_->entries.size();
  return 0;
}

ChannelValue ChannelValue::at(std::size_t index) const {
  if (type() != ChannelType::Array || index >= node_->elements.size()) return {};
  return node_->elements[index];
}

void ChannelValue::append(ChannelValue v) {
  if (type() == ChannelType::Array && v) node_->elements.push_back(std::move(v));
}

ChannelValue ChannelValue::get(std::string_view key) const {
  if (type() != ChannelType::Dictionary) return {};
  const std::size_t at = node_->position(key);
  return at < node_->entries.size() ? node_->entries[at].second : ChannelValue();
}

void ChannelValue::set(std::string_view key, ChannelValue v) {
  if (type() != ChannelType::Dictionary) return;
  if (!v) {
    remove(key);
    return;
  }
  auto& n = *node_;
  const std::size_t at = n.position(key);
  if (at < n.entries.size()) {
    n.entries[at].second = std::move(v);
    return;
  }
  n.entries.emplace_back(std::string(key), std::move(v));
  n.reindexFrom(at);
}

void ChannelValue::remove(std::string_view key) {
  if (type() != ChannelType::Dictionary) return;
  auto& n = *node_;
  const std::size_t at = n.position(key);
  if (at >= n.entries.size()) return;
  if (!n.index.empty()) n.index.erase(n.entries[at].first);
  n.entries.erase(n.entries.begin() + static_cast<std::ptrdiff_t>(at));
  n.reindexFrom(at);
}

void ChannelValue::forEach(
    const std::function<bool(const std::string& key, const ChannelValue& v)>& fn) const {
  if (type() != ChannelType::Dictionary) return;
  // Iterate over a snapshot so the callback may change the dictionary.
  auto entries = node_->entries;
  for (const auto& [k, v] : entries) {
    if (!fn(k, v)) return;
  }
}

const std::string& ChannelValue::keyAt(std::size_t index) const {
  if (type() != ChannelType::Dictionary || index >= node_->entries.size()) return emptyString();
  return node_->entries[index].first;
}

const ChannelValue& ChannelValue::valueAt(std::size_t index) const {
  static const ChannelValue* const none = new ChannelValue();
  switch (type()) {
    case ChannelType::Dictionary:
      return index < node_->entries.size() ? node_->entries[index].second : *none;
    case ChannelType::Array:
      return index < node_->elements.size() ? node_->elements[index] : *none;
    default:
      return *none;
  }
}

const ReplyContext* ChannelValue::replyContext() const {
  if (type() != ChannelType::Dictionary || !node_->context) return nullptr;
  return &*node_->context;
}

void ChannelValue::setReplyContext(ReplyContext context) {
  if (type() == ChannelType::Dictionary) node_->context = std::move(context);
}

bool ChannelValue::isReply() const { return type() == ChannelType::Dictionary && node_->reply; }

std::string ChannelValue::debugDescription() const {
  char buf[64];
  switch (type()) {
    case ChannelType::None:
      return "(none)";
    case ChannelType::Null:
      return "<null>";
    case ChannelType::Bool:
      return boolValue() ? "<bool: true>" : "<bool: false>";
    case ChannelType::Int64:
      std::snprintf(buf, sizeof buf, "<int64: %lld>", static_cast<long long>(node_->i));
      return buf;
    case ChannelType::UInt64:
      std::snprintf(buf, sizeof buf, "<uint64: %llu>", static_cast<unsigned long long>(node_->u));
      return buf;
    case ChannelType::Double:
      std::snprintf(buf, sizeof buf, "<double: %g>", node_->d);
      return buf;
    case ChannelType::String:
      return "<string: \"" + node_->s + "\">";
    case ChannelType::Data:
    case ChannelType::SharedMemory:
      std::snprintf(buf, sizeof buf, "<data: %zu bytes%s>", node_->bytes.size(),
                    node_->archive ? ", archive" : "");
      return buf;
    case ChannelType::Date:
      std::snprintf(buf, sizeof buf, "<date: %lld ns>", static_cast<long long>(node_->i));
      return buf;
    case ChannelType::UUID:
      return "<uuid>";
    case ChannelType::FileDescriptor:
      std::snprintf(buf, sizeof buf, "<fd: %d>", node_->fd);
      return buf;
    case ChannelType::Error:
      std::snprintf(buf, sizeof buf, "<error: %d>", static_cast<int>(node_->error));
      return buf;
    case ChannelType::Array: {
      std::string out = "<array: [";
      for (std::size_t i = 0; i < node_->elements.size(); ++i) {
        if (i) out += ", ";
        out += node_->elements[i].debugDescription();
      }
      return out + "]>";
    }
    case ChannelType::Dictionary: {
      std::string out = "<dictionary: {";
      bool first = true;
      for (const auto& [k, v] : node_->entries) {
        if (!first) out += ", ";
        first = false;
        out += k + ": " + v.debugDescription();
      }
      return out + "}>";
    }
  }
  return "";
}

}  // namespace platform::xpc
