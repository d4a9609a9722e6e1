// XPCMessage: one dictionary message of the channel between the client and
// the privileged helper.
//
// A message wraps one channel dictionary; every property is a key in it.
// Copies of an XPCMessage share the dictionary (like retaining it). Getters
// convert through XPCParse and return nil, NO or 0 for a missing key or a
// value of another type; misuse (wrong dictionary type, mismatched counts,
// non-string keys, unconvertible values) raises platform::Exception
// "NSInvalidArgumentException" with fixed texts.
//
// Remote invocation ("selector", "target", "object1") performs only
// operations registered with `registerOperation`; anything else is not an
// invocation. Nothing is registered by default.
//
// Thread safety: a message is not locked; build it on one thread, then hand
// it to a send and leave it alone. The operation registry may be used from
// any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ipc/xpc_parse.h"
#include "platform/foundation/error.h"
#include "platform/foundation/url.h"
#include "platform/xpc/channel_value.h"

namespace ipc {

inline constexpr const char* kXPCChannelErrorDomain = "com.quillmoor.xpcchannel";
inline constexpr std::int64_t kXPCConnectionInterruptedCode = 1001;
inline constexpr std::int64_t kXPCConnectionInvalidCode = 1002;
inline constexpr std::int64_t kXPCTerminationImminentCode = 2001;

// Reserved keys.
inline constexpr const char* kXPCDirectReplyKey = "__directReply";
inline constexpr const char* kXPCLogLevelKey = "__logLevel";
inline constexpr const char* kXPCErrorKey = "__XPCError";
inline constexpr const char* kXPCDebugLogKey = "XPCDebugLog";
inline constexpr const char* kXPCSelectorKey = "selector";
inline constexpr const char* kXPCTargetKey = "target";
inline constexpr const char* kXPCObject1Key = "object1";
inline constexpr const char* kXPCResultKey = "result";
inline constexpr const char* kXPCErrorResultKey = "error";

class XPCMessage {
 public:
  using ChannelValue = platform::xpc::ChannelValue;
  // A registered operation: called with the target, the argument (nullptr
  // when the message has none) and a place for an error; returns its result.
  using Operation =
      std::function<Object(const Object& target, const Object* argument, platform::Error* error)>;

  // An empty message over a new dictionary.
  XPCMessage();
  // Wraps `dictionary` (a None value gives a new empty one); raises when it
  // is not a dictionary.
  explicit XPCMessage(ChannelValue dictionary);

  static XPCMessage message() { return XPCMessage(); }
  static XPCMessage messageWithXPCDictionary(ChannelValue dictionary) {
    return XPCMessage(std::move(dictionary));
  }
  // Stores objects[i] under keys[i]. Raises "Objects and keys don't match in
  // numbers" when the counts differ and "Trying to initialize %@ with %@
  // key. Key must be of NSString" at the first key that is not a string.
  static XPCMessage messageWithObjects(const std::vector<Object>& objects,
                                       const std::vector<Object>& keys);
  static XPCMessage messageWithObject(const Object& object, const Object& key);
  // object, key, object, key, ...; the first nil ends the list.
  static XPCMessage messageWithObjectsAndKeys(std::initializer_list<Object> list);
  // "target", "selector" and "object1" (left out when `object` is nil); a nil
  // target gives an empty message.
  static XPCMessage messageWithSelector(const std::string& selector, const Object& target,
                                        const Object& object);
  // A reply to a received request: bound to it when it asked for a direct
  // reply, else over a new empty dictionary. nullptr gives an empty message.
  static XPCMessage messageReplyForMessage(const XPCMessage* request);

  const ChannelValue& XPCDictionary() const { return dictionary_; }
  const ChannelValue& getXPCDictionary() const { return dictionary_; }
  // Raises "Argument must be of type XPC_TYPE_DICTIONARY" for anything else.
  void setXPCDictionary(ChannelValue dictionary);

  Object objectForKey(std::string_view key) const;
  platform::Value arrayForKey(std::string_view key) const;
  platform::Value dictionaryForKey(std::string_view key) const;
  platform::Value stringForKey(std::string_view key) const;
  platform::Value dataForKey(std::string_view key) const;
  std::optional<platform::URL> URLForKey(std::string_view key) const;
  bool boolForKey(std::string_view key) const;
  float floatForKey(std::string_view key) const;
  std::int64_t integerForKey(std::string_view key) const;
  double doubleForKey(std::string_view key) const;

  // Raises "Object %@ is not convertible into xpc_object_t type. ..." for nil,
  // and "XPCNotNSCodingConformantException" for an object without archiving.
  void setObject(const Object& object, std::string_view key);
  void setBool(bool value, std::string_view key);
  void setInteger(std::int64_t value, std::string_view key);
  void setFloat(float value, std::string_view key);
  void setDouble(double value, std::string_view key);

  bool needsDirectReply() const;
  void setNeedsDirectReply(bool value);
  std::uint32_t logLevel() const;  // 1 when absent
  void setLogLevel(std::uint32_t level);

  // "result", and "error" into `error` when given (untouched when the reply
  // carries no error).
  Object invocationReturnValue(platform::Error* error) const;
  // True when "selector" names a registered operation and "target" is present.
  bool invocable() const;
  // Performs the operation and returns the reply holding "result" and
  // "error" (each when present); nullopt when the message is not invocable.
  std::optional<XPCMessage> invoke() const;

  static void registerOperation(const std::string& selector, Operation operation);
  static void unregisterOperation(const std::string& selector);

  // An error of the channel's domain for an error value; an empty Error for
  // anything else.
  static platform::Error errorForXPCObject(const ChannelValue& object);

  // "\n{\n", "    key: value\n" per convertible entry, "}\n".
  std::string description() const;

 private:
  // The number under `key` as objectForKey gives it; None when absent. A
  // value of another type goes through objectForKey.
  platform::Value numberForKey(std::string_view key) const;

  ChannelValue dictionary_;
};

}  // namespace ipc
