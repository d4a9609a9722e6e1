#include "ipc/xpc_message.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "platform/foundation/exception.h"

using ipc::Object;
using ipc::XPCMessage;
using platform::Value;
using platform::xpc::ChannelError;
using platform::xpc::ChannelValue;

namespace {

std::string reasonOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), platform::kInvalidArgumentException);
    return e.reason();
  }
  return "(no exception)";
}

TEST(XPCMessage, TypedGettersReadWhatIsThereAndNothingElse) {
  XPCMessage m = XPCMessage::messageWithObject(Object("LogUpdate"), Object("operation"));
  EXPECT_EQ(m.getXPCDictionary().count(), 1u);
  EXPECT_EQ(m.stringForKey("operation").asString(), "LogUpdate");
  EXPECT_EQ(m.integerForKey("operation"), 0);
  EXPECT_FALSE(m.boolForKey("operation"));
  EXPECT_TRUE(m.objectForKey("missing").isNil());
  EXPECT_TRUE(m.arrayForKey("operation").isNone());

  m.setBool(true, "flag");
  m.setInteger(-3, "n");
  m.setDouble(2.5, "d");
  m.setFloat(0.5f, "f");
  EXPECT_TRUE(m.boolForKey("flag"));
  EXPECT_EQ(m.integerForKey("n"), -3);
  EXPECT_EQ(m.doubleForKey("d"), 2.5);
  EXPECT_EQ(m.floatForKey("f"), 0.5f);
  m.setObject(Object(platform::URL("file:///tmp/x")), "url");
  ASSERT_TRUE(m.URLForKey("url"));
  EXPECT_EQ(m.URLForKey("url")->path(), "/tmp/x");
  EXPECT_TRUE(m.dataForKey("url").isNone());
}

TEST(XPCMessage, ReservedKeys) {
  XPCMessage m;
  EXPECT_EQ(m.logLevel(), 1u);
  m.setLogLevel(4);
  EXPECT_EQ(m.logLevel(), 4u);
  EXPECT_FALSE(m.needsDirectReply());
  m.setNeedsDirectReply(true);
  EXPECT_TRUE(m.needsDirectReply());
}

// The getters and the reserved keys read numbers straight from the channel
// value; they must answer exactly what the conversion (objectForKey) gives,
// for every kind of number and for whatever else may sit under the key.
TEST(XPCMessage, NumberGettersAnswerAsTheConversionDoes) {
  const std::vector<ChannelValue> values = {
      ChannelValue::boolean(true),
      ChannelValue::boolean(false),
      ChannelValue::int64(-7),
      ChannelValue::int64(5000000000),
      ChannelValue::uint64(~0ull),
      ChannelValue::uint64(3),
      ChannelValue::real(2.75),
      ChannelValue::real(-1.5),
      ChannelValue::real(1e300),
      ChannelValue::real(4294967296.0),
      ChannelValue::real(std::nan("")),
      ChannelValue::string("12"),
      ChannelValue::data({1, 2}),
      ChannelValue::null(),
      ChannelValue::date(5),
      ChannelValue::dictionary(),
  };
  for (const ChannelValue& v : values) {
    SCOPED_TRACE(v.debugDescription());
    ChannelValue d = ChannelValue::dictionary();
    d.set("k", v);
    d.set(ipc::kXPCLogLevelKey, v);
    d.set(ipc::kXPCDirectReplyKey, v);
    XPCMessage m(d);
    const Value converted = m.objectForKey("k").value();
    const bool number = converted.isNumber();
    EXPECT_EQ(m.boolForKey("k"), number && converted.asBool());
    EXPECT_EQ(m.integerForKey("k"), number ? converted.asInt64() : 0);
    const double real = number ? converted.asDouble() : 0.0;
    if (std::isnan(real)) {
      EXPECT_TRUE(std::isnan(m.doubleForKey("k")));
    } else {
      EXPECT_EQ(m.doubleForKey("k"), real);
      EXPECT_EQ(m.floatForKey("k"), static_cast<float>(real));
    }
    EXPECT_EQ(m.needsDirectReply(), number && converted.asBool());
    EXPECT_EQ(m.logLevel(), number ? static_cast<std::uint32_t>(converted.asUInt64()) : 1u);
  }
  // What the setters write is what the generic conversion makes of the
  // same values.
  XPCMessage m;
  m.setLogLevel(7);
  m.setNeedsDirectReply(true);
  XPCMessage generic;
  generic.setObject(Value(std::uint32_t{7}), ipc::kXPCLogLevelKey);
  generic.setBool(true, ipc::kXPCDirectReplyKey);
  for (const char* key : {ipc::kXPCLogLevelKey, ipc::kXPCDirectReplyKey}) {
    EXPECT_EQ(m.getXPCDictionary().get(key).debugDescription(),
              generic.getXPCDictionary().get(key).debugDescription());
  }
}

TEST(XPCMessage, MisuseRaisesWithFixedTexts) {
  EXPECT_EQ(reasonOf([] {
              XPCMessage::messageWithObjects({Object("a"), Object("b")}, {"k"});
            }),
            "Objects and keys don't match in numbers");
  EXPECT_EQ(reasonOf([] { XPCMessage::messageWithObjects({Object("a")}, {Value(5)}); }),
            "Trying to initialize XPCMessage with 5 key. Key must be of NSString");
  EXPECT_EQ(reasonOf([] { XPCMessage(ChannelValue::string("x")); }),
            "Argument must be of type XPC_TYPE_DICTIONARY");
  EXPECT_EQ(reasonOf([] { XPCMessage().setObject(Object(), "k"); }),
            "Object (null) is not convertible into xpc_object_t type. If you make it conform to "
            "NSCoding it will be. For further insight have a look at -newXPCObject.");
  // An object without its key makes the counts differ.
  EXPECT_EQ(reasonOf([] {
              XPCMessage::messageWithObjectsAndKeys({Object("a"), "k", Object("b")});
            }),
            "Objects and keys don't match in numbers");
  EXPECT_EQ(XPCMessage::messageWithObjectsAndKeys({Object(), "k"}).getXPCDictionary().count(), 0u);
}

TEST(XPCMessage, RepliesAreBoundOnlyToRequestsThatWaitForThem) {
  XPCMessage plain;
  EXPECT_FALSE(XPCMessage::messageReplyForMessage(&plain).getXPCDictionary().isReply());
  EXPECT_EQ(XPCMessage::messageReplyForMessage(nullptr).getXPCDictionary().count(), 0u);

  // A received request with a reply context.
  ChannelValue received = ChannelValue::dictionary();
  received.setReplyContext({{}, 7});
  XPCMessage request(received);
  request.setNeedsDirectReply(true);
  XPCMessage reply = XPCMessage::messageReplyForMessage(&request);
  EXPECT_TRUE(reply.getXPCDictionary().isReply());
  EXPECT_EQ(reply.getXPCDictionary().replyContext()->serial, 7u);
  // Made locally (no context): a plain new dictionary.
  XPCMessage local;
  local.setNeedsDirectReply(true);
  EXPECT_FALSE(XPCMessage::messageReplyForMessage(&local).getXPCDictionary().isReply());
}

TEST(XPCMessage, OnlyRegisteredOperationsAreInvoked) {
  XPCMessage none;
  EXPECT_FALSE(none.invoke());
  XPCMessage call = XPCMessage::messageWithSelector("uppercase:error:", Object("abc"), Object("!"));
  EXPECT_FALSE(call.invocable());
  EXPECT_FALSE(call.invoke());  // nothing is registered by default

  XPCMessage::registerOperation(
      "uppercase:error:", [](const Object& target, const Object* argument, platform::Error* error) {
        std::string s = target.value().asString();
        for (auto& ch : s) ch = static_cast<char>(std::toupper(ch));
        if (argument) s += argument->value().asString();
        if (s.empty()) *error = platform::Error("Test", 1);
        return s.empty() ? Object() : Object(s);
      });
  ASSERT_TRUE(call.invocable());
  auto reply = call.invoke();
  ASSERT_TRUE(reply);
  platform::Error error;
  EXPECT_EQ(reply->invocationReturnValue(&error).value().asString(), "ABC!");
  EXPECT_FALSE(error);
  EXPECT_TRUE(reply->objectForKey("error").isNil());

  auto failed = XPCMessage::messageWithSelector("uppercase:error:", Object(""), Object()).invoke();
  ASSERT_TRUE(failed);
  EXPECT_TRUE(failed->invocationReturnValue(&error).isNil());
  EXPECT_EQ(error.code(), 1);
  XPCMessage::unregisterOperation("uppercase:error:");
  EXPECT_FALSE(call.invocable());
}

TEST(XPCMessage, ChannelErrorsAndDescription) {
  auto e = XPCMessage::errorForXPCObject(ChannelValue::error(ChannelError::ConnectionInterrupted));
  EXPECT_EQ(e.domain(), "com.quillmoor.xpcchannel");
  EXPECT_EQ(e.code(), 1001);
  EXPECT_EQ(e.localizedDescription(), "XPC connection was interrupted");
  EXPECT_EQ(
      XPCMessage::errorForXPCObject(ChannelValue::error(ChannelError::TerminationImminent)).code(),
      2001);
  EXPECT_FALSE(XPCMessage::errorForXPCObject(ChannelValue::dictionary()));

  XPCMessage m = XPCMessage::messageWithObject(Object("LogUpdate"), Object("operation"));
  EXPECT_EQ(m.description(), "\n{\n    operation: LogUpdate\n}\n");
}

}  // namespace
