#include "ipc/xpc_message.h"

#include <map>
#include <mutex>

#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"

namespace ipc {

using platform::Value;
using platform::xpc::ChannelType;

namespace {

std::mutex gRegistryMutex;
std::map<std::string, XPCMessage::Operation>& registry() {
  static std::map<std::string, XPCMessage::Operation> r;
  return r;
}

XPCMessage::Operation findOperation(const std::string& selector) {
  std::lock_guard<std::mutex> lock(gRegistryMutex);
  auto it = registry().find(selector);
  return it == registry().end() ? nullptr : it->second;
}

[[noreturn]] void invalidArgument(std::string reason) {
  throw platform::Exception(platform::kInvalidArgumentException, std::move(reason));
}

}  // namespace

// Room for the few keys a message usually has, so that filling it does not
// grow the dictionary key by key.
XPCMessage::XPCMessage() : dictionary_(ChannelValue::dictionary(4)) {}

XPCMessage::XPCMessage(ChannelValue dictionary) {
  setXPCDictionary(dictionary ? std::move(dictionary) : ChannelValue::dictionary());
}

XPCMessage XPCMessage::messageWithObjects(const std::vector<Object>& objects,
                                          const std::vector<Object>& keys) {
  if (objects.size() != keys.size()) invalidArgument("Objects and keys don't match in numbers");
  XPCMessage m;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    Value key = keys[i].value();
    if (!key.isString()) {
      invalidArgument(
          platform::format("Trying to initialize %@ with %@ key. Key must be of NSString",
                           "XPCMessage", keys[i].description()));
    }
    m.setObject(objects[i], key.asString());
  }
  return m;
}

XPCMessage XPCMessage::messageWithObject(const Object& object, const Object& key) {
  return messageWithObjects({object}, {key});
}

XPCMessage XPCMessage::messageWithObjectsAndKeys(std::initializer_list<Object> list) {
  std::vector<Object> objects, keys;
  bool wantObject = true;
  for (const Object& o : list) {
    if (o.isNil()) break;
    (wantObject ? objects : keys).push_back(o);
    wantObject = !wantObject;
  }
  return messageWithObjects(objects, keys);
}

XPCMessage XPCMessage::messageWithSelector(const std::string& selector, const Object& target,
                                           const Object& object) {
  if (target.isNil()) return XPCMessage();
  if (object.isNil()) {
    return messageWithObjectsAndKeys({target, kXPCTargetKey, Object(selector), kXPCSelectorKey});
  }
  return messageWithObjectsAndKeys(
      {target, kXPCTargetKey, Object(selector), kXPCSelectorKey, object, kXPCObject1Key});
}

XPCMessage XPCMessage::messageReplyForMessage(const XPCMessage* request) {
  if (!request) return XPCMessage();
  if (request->needsDirectReply()) {
    return XPCMessage(ChannelValue::createReply(request->dictionary_));
  }
  return XPCMessage();
}

void XPCMessage::setXPCDictionary(ChannelValue dictionary) {
  if (dictionary.type() != ChannelType::Dictionary) {
    invalidArgument("Argument must be of type XPC_TYPE_DICTIONARY");
  }
  dictionary_ = std::move(dictionary);
}

Object XPCMessage::objectForKey(std::string_view key) const {
  return XPCParse::objectWithXPCObject(dictionary_.get(key));
}

Value XPCMessage::arrayForKey(std::string_view key) const {
  Value v = objectForKey(key).value();
  return v.isArray() ? v : Value();
}

Value XPCMessage::dictionaryForKey(std::string_view key) const {
  Value v = objectForKey(key).value();
  return v.isDictionary() ? v : Value();
}

Value XPCMessage::stringForKey(std::string_view key) const {
  Value v = objectForKey(key).value();
  return v.isString() ? v : Value();
}

Value XPCMessage::dataForKey(std::string_view key) const {
  Value v = objectForKey(key).value();
  return v.isData() ? v : Value();
}

std::optional<platform::URL> XPCMessage::URLForKey(std::string_view key) const {
  Object o = objectForKey(key);
  if (const platform::URL* u = o.url()) return *u;
  return std::nullopt;
}

Value XPCMessage::numberForKey(std::string_view key) const {
  const ChannelValue c = dictionary_.get(key);
  switch (c.type()) {
    case ChannelType::Bool:
    case ChannelType::Int64:
    case ChannelType::UInt64:
    case ChannelType::Double:
      // What objectForKey gives for a number, without the budget of a
      // conversion (a number costs none).
      return XPCParse::numberWithXPCObject(c);
    case ChannelType::None:
      return {};
    default:
      return objectForKey(key).value();
  }
}

bool XPCMessage::boolForKey(std::string_view key) const {
  const ChannelValue c = dictionary_.get(key);
  if (c.type() == ChannelType::Bool) return c.boolValue();
  Value v = numberForKey(key);
  return v.isNumber() && v.asBool();
}

float XPCMessage::floatForKey(std::string_view key) const {
  Value v = numberForKey(key);
  return v.isNumber() ? static_cast<float>(v.asDouble()) : 0.0f;
}

std::int64_t XPCMessage::integerForKey(std::string_view key) const {
  Value v = numberForKey(key);
  return v.isNumber() ? v.asInt64() : 0;
}

double XPCMessage::doubleForKey(std::string_view key) const {
  Value v = numberForKey(key);
  return v.isNumber() ? v.asDouble() : 0.0;
}

void XPCMessage::setObject(const Object& object, std::string_view key) {
  ChannelValue c = XPCParse::newXPCObject(object);
  if (!c) {
    invalidArgument(platform::format(
        "Object %@ is not convertible into xpc_object_t type. If you make it conform to NSCoding "
        "it will be. For further insight have a look at -newXPCObject.",
        object.description()));
  }
  dictionary_.set(key, std::move(c));
}

void XPCMessage::setBool(bool value, std::string_view key) { setObject(Value(value), key); }
void XPCMessage::setInteger(std::int64_t value, std::string_view key) {
  setObject(Value(value), key);
}
void XPCMessage::setFloat(float value, std::string_view key) {
  setObject(Value(static_cast<double>(value)), key);
}
void XPCMessage::setDouble(double value, std::string_view key) { setObject(Value(value), key); }

bool XPCMessage::needsDirectReply() const { return boolForKey(kXPCDirectReplyKey); }

// The two keys every message carries are written straight as the channel
// values that setBool and setObject(Value(level)) make of them (a boolean;
// a 32-bit number travels as a double).
void XPCMessage::setNeedsDirectReply(bool value) {
  dictionary_.set(kXPCDirectReplyKey, ChannelValue::boolean(value));
}

std::uint32_t XPCMessage::logLevel() const {
  // The form setLogLevel writes, read without making a Value.
  const ChannelValue c = dictionary_.get(kXPCLogLevelKey);
  if (c.type() == ChannelType::Double) {
    const double d = c.doubleValue();
    if (d >= 0 && d < 4294967296.0) return static_cast<std::uint32_t>(d);
  }
  Value v = numberForKey(kXPCLogLevelKey);
  if (!v.isNumber()) return 1;
  return static_cast<std::uint32_t>(v.asUInt64());
}

void XPCMessage::setLogLevel(std::uint32_t level) {
  dictionary_.set(kXPCLogLevelKey, ChannelValue::real(static_cast<double>(level)));
}

Object XPCMessage::invocationReturnValue(platform::Error* error) const {
  if (error) {
    Object e = objectForKey(kXPCErrorResultKey);
    if (e.error()) *error = *e.error();
  }
  return objectForKey(kXPCResultKey);
}

bool XPCMessage::invocable() const {
  Value selector = stringForKey(kXPCSelectorKey);
  return selector.isString() && findOperation(selector.asString()) &&
         !objectForKey(kXPCTargetKey).isNil();
}

std::optional<XPCMessage> XPCMessage::invoke() const {
  Value selector = stringForKey(kXPCSelectorKey);
  Object target = objectForKey(kXPCTargetKey);
  Object argument = objectForKey(kXPCObject1Key);
  Operation op = selector.isString() ? findOperation(selector.asString()) : nullptr;
  if (!op || target.isNil()) return std::nullopt;
  XPCMessage reply = messageReplyForMessage(this);
  platform::Error error;
  Object result = op(target, dictionary_.get(kXPCObject1Key) ? &argument : nullptr, &error);
  if (!result.isNil()) reply.setObject(result, kXPCResultKey);
  if (error) reply.setObject(Object(error), kXPCErrorResultKey);
  return reply;
}

void XPCMessage::registerOperation(const std::string& selector, Operation operation) {
  std::lock_guard<std::mutex> lock(gRegistryMutex);
  if (operation) {
    registry()[selector] = std::move(operation);
  } else {
    registry().erase(selector);
  }
}

void XPCMessage::unregisterOperation(const std::string& selector) {
  registerOperation(selector, nullptr);
}

platform::Error XPCMessage::errorForXPCObject(const ChannelValue& object) {
  if (object.type() != ChannelType::Error) return {};
  auto make = [](std::int64_t code, const char* text) {
    return platform::Error(kXPCChannelErrorDomain, code,
                           Value::dictionary({{platform::kLocalizedDescriptionKey, text}}));
  };
  switch (object.errorValue()) {
    case platform::xpc::ChannelError::ConnectionInterrupted:
      return make(kXPCConnectionInterruptedCode, "XPC connection was interrupted");
    case platform::xpc::ChannelError::ConnectionInvalid:
      return make(kXPCConnectionInvalidCode, "XPC connection is invalid");
    case platform::xpc::ChannelError::TerminationImminent:
      return make(kXPCTerminationImminentCode, "XPC service termination is imminent");
  }
  return platform::Error(kXPCChannelErrorDomain, 0);
}

std::string XPCMessage::description() const {
  std::string out = "\n{\n";
  dictionary_.forEach([&](const std::string& key, const ChannelValue& v) {
    Object o = XPCParse::objectWithXPCObject(v);
    if (!o.isNil()) out += platform::format("    %@: %@\n", key, o.description());
    return true;
  });
  out += "}\n";
  return out;
}

}  // namespace ipc
