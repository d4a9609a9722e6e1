// platform::xpc::ChannelValue: one value of the message channel.
//
// A ChannelValue is a small handle to a reference-counted node of one of the
// channel's types: dictionary (ordered, UTF-8 keys), array, date (signed
// nanoseconds since 1970), data, shared memory, string, UUID (16 bytes), file
// descriptor, boolean, int64, uint64, double, error and null. Copying the
// handle shares the node, like retaining it.
//
// Guarantees:
//  1. Dictionaries keep insertion order; setting an existing key replaces the
//     value in place.
//  2. A data value remembers whether it holds an archive made by the object
//     conversions (`isArchive`), so raw bytes are never mistaken for one.
//  3. A file-descriptor value owns its descriptor (a duplicate of what it was
//     made from) and closes it when the last handle goes.
//  4. A dictionary received as a request that expects a reply carries a reply
//     context; `createReply` makes a new dictionary bound to it, which the
//     transport routes back to the waiting sender.
//  5. Lookups and insertions in a dictionary take expected constant time
//     whatever keys a peer sends: large dictionaries index their keys under
//     a per-process secret hash (channelKeyHash).
//
// Thread safety: scalars may be shared freely. Arrays and dictionaries are
// not locked: build them on one thread, then hand them over.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::xpc {

enum class ChannelType {
  None,  // no value (a missing key)
  Null,
  Bool,
  Int64,
  UInt64,
  Double,
  String,
  Data,
  SharedMemory,
  Date,
  UUID,
  FileDescriptor,
  Array,
  Dictionary,
  Error,
};

// The channel's error events.
enum class ChannelError {
  ConnectionInterrupted = 1,
  ConnectionInvalid = 2,
  TerminationImminent = 3,
};

using UUIDBytes = std::array<std::uint8_t, 16>;

// The hash of a large dictionary's key index: SipHash-1-3 under a key drawn
// from the kernel's random source once per process. A peer cannot choose
// keys that collide in it (it could under an unkeyed hash, and make each
// lookup and insertion walk all of them). Any thread.
std::size_t channelKeyHash(std::string_view key);

class Connection;
struct ChannelNode;

// Where a reply to a received request goes: the connection it came on and the
// request's serial number.
struct ReplyContext {
  std::weak_ptr<Connection> connection;
  std::uint64_t serial = 0;
};

class ChannelValue {
 public:
  ChannelValue() = default;  // None

  static ChannelValue null();
  static ChannelValue boolean(bool b);
  static ChannelValue int64(std::int64_t n);
  static ChannelValue uint64(std::uint64_t n);
  static ChannelValue real(double d);
  static ChannelValue string(std::string_view s);
  static ChannelValue data(std::vector<std::uint8_t> bytes, bool isArchive = false);
  static ChannelValue sharedMemory(std::vector<std::uint8_t> bytes);
  static ChannelValue date(std::int64_t nanosecondsSince1970);
  static ChannelValue uuid(const UUIDBytes& bytes);
  // Duplicates `fd` (close-on-exec); a None value when dup fails.
  static ChannelValue fileDescriptor(int fd);
  // Takes ownership of `fd` without duplicating it.
  static ChannelValue adoptFileDescriptor(int fd);
  static ChannelValue array();
  static ChannelValue dictionary();
  // An empty dictionary with room for `capacity` entries.
  static ChannelValue dictionary(std::size_t capacity);
  // The three shared error events.
  static ChannelValue error(ChannelError e);
  // A new dictionary bound to `request`'s reply context; a plain new
  // dictionary when the request carries none.
  static ChannelValue createReply(const ChannelValue& request);

  ChannelType type() const;
  bool isNone() const { return !node_; }
  explicit operator bool() const { return node_ != nullptr; }

  // Scalar access; wrong types give false, 0 or empty.
  bool boolValue() const;
  std::int64_t int64Value() const;
  std::uint64_t uint64Value() const;
  double doubleValue() const;
  const std::string& stringValue() const;
  const std::vector<std::uint8_t>& bytes() const;  // data and shared memory
  bool isArchive() const;
  std::int64_t dateValue() const;
  UUIDBytes uuidValue() const;
  int fd() const;  // -1 unless a file descriptor value
  ChannelError errorValue() const;

  // Array access.
  std::size_t count() const;  // elements or entries
  ChannelValue at(std::size_t index) const;
  void append(ChannelValue v);

  // Dictionary access. `set` with a None value removes the key.
  ChannelValue get(std::string_view key) const;
  void set(std::string_view key, ChannelValue v);
  void remove(std::string_view key);
  void forEach(const std::function<bool(const std::string& key, const ChannelValue& v)>& fn) const;
  // Entry `index` of a dictionary (insertion order) or element `index` of
  // an array, read in place: the references stay valid until the container
  // changes (the encoder and the conversions read a received message this
  // way, without a snapshot). An empty key and a None value when there is no
  // such entry or element.
  const std::string& keyAt(std::size_t index) const;
  const ChannelValue& valueAt(std::size_t index) const;

  // Reply routing (dictionaries only).
  const ReplyContext* replyContext() const;
  void setReplyContext(ReplyContext context);
  bool isReply() const;  // made by createReply from a request with a context

  bool isSameObject(const ChannelValue& other) const { return node_ == other.node_; }
  // A short debugging text of the value.
  std::string debugDescription() const;

 private:
  explicit ChannelValue(std::shared_ptr<ChannelNode> n) : node_(std::move(n)) {}
  std::shared_ptr<ChannelNode> node_;
};

}  // namespace platform::xpc
