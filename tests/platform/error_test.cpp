#include "platform/foundation/error.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/foundation/exception.h"

namespace platform {
namespace {

TEST(ErrorTest, EmptyErrorMeansNoError) {
  Error none;
  EXPECT_TRUE(none.isNone());
  EXPECT_FALSE(static_cast<bool>(none));
  EXPECT_TRUE(none.userInfo().isNone());
}

TEST(ErrorTest, DefaultDescriptionAndUserInfo) {
  Error e("VRTestDomain", -7);
  EXPECT_TRUE(static_cast<bool>(e));
  EXPECT_TRUE(e.userInfo().isDictionary());
  EXPECT_EQ(e.userInfo().count(), 0u);
  EXPECT_EQ(e.localizedDescription(),
            "The operation couldn\u2019t be completed. (VRTestDomain error -7.)");
  EXPECT_EQ(e.localizedFailureReason(), "");
  EXPECT_EQ(e.localizedRecoverySuggestion(), "");
  EXPECT_EQ(e.description(),
            "Error Domain=VRTestDomain Code=-7 \"The operation couldn\u2019t be completed. "
            "(VRTestDomain error -7.)\"");
  // A userInfo that is not a dictionary is replaced by an empty one.
  EXPECT_EQ(Error("D", 1, Value("oops")).userInfo().count(), 0u);
}

TEST(ErrorTest, UserInfoTextsAndUnderlyingError) {
  Error cause = Error::posix(ENOENT);
  Error e(kURLErrorDomain, -1004,
          Value::dictionary({{kLocalizedDescriptionKey, "Could not connect to the server."},
                             {kLocalizedFailureReasonErrorKey, "Refused"},
                             {kLocalizedRecoverySuggestionErrorKey, "Try again"}}),
          cause);
  EXPECT_EQ(e.localizedDescription(), "Could not connect to the server.");
  EXPECT_EQ(e.localizedFailureReason(), "Refused");
  EXPECT_EQ(e.localizedRecoverySuggestion(), "Try again");
  ASSERT_NE(e.underlying(), nullptr);
  EXPECT_EQ(e.underlying()->code(), ENOENT);
  EXPECT_EQ(e.description(),
            "Error Domain=NSURLErrorDomain Code=-1004 \"Could not connect to the server.\" "
            "UserInfo={NSLocalizedDescription=Could not connect to the server., "
            "NSLocalizedFailureReason=Refused, NSLocalizedRecoverySuggestion=Try again, "
            "NSUnderlyingError={Error Domain=NSPOSIXErrorDomain Code=2 \"No such file or "
            "directory\" UserInfo={NSLocalizedDescription=No such file or directory}}}");
  Error copy = e;
  EXPECT_EQ(copy, e);
  EXPECT_EQ(copy.underlying(), e.underlying());
  EXPECT_EQ(Error("D", 1, Value(), Error()).underlying(), nullptr);
}

TEST(ErrorTest, PosixErrors) {
  Error e = Error::posix(EACCES, "open /tmp/x");
  EXPECT_EQ(e.domain(), kPOSIXErrorDomain);
  EXPECT_EQ(e.code(), EACCES);
  EXPECT_EQ(e.localizedDescription(), "open /tmp/x: Permission denied");
  EXPECT_EQ(Error::posix(EACCES).localizedDescription(), "Permission denied");
  EXPECT_NE(Error::posix(EACCES), Error::posix(ENOENT));
}

TEST(ExceptionTest, CarriesNameReasonAndUserInfo) {
  try {
    throw Exception(kInvalidArgumentException, "bad thing", Value::dictionary({{"k", 1}}));
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "NSInvalidArgumentException: bad thing");
    const auto& ex = dynamic_cast<const Exception&>(e);
    EXPECT_EQ(ex.name(), kInvalidArgumentException);
    EXPECT_EQ(ex.reason(), "bad thing");
    EXPECT_EQ(ex.userInfo()["k"], Value(1));
  }
}

}  // namespace
}  // namespace platform
