#include "platform/foundation/uuid.h"

#include <gtest/gtest.h>

#include <set>
#include <unordered_set>

namespace platform {
namespace {

TEST(UUIDTest, RandomValuesAreVersion4AndDistinct) {
  std::set<UUID> seen;
  for (int i = 0; i < 1000; ++i) {
    const UUID u = UUID::random();
    EXPECT_EQ(u.bytes()[6] >> 4, 4);
    EXPECT_EQ(u.bytes()[8] >> 6, 2);
    EXPECT_FALSE(u.isNil());
    seen.insert(u);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(UUIDTest, TextForms) {
  const UUID u(UUID::Bytes16{0xe6, 0x21, 0xe1, 0xf8, 0xc3, 0x6c, 0x49, 0x5a, 0x93, 0xfc, 0x0c, 0x24,
                             0x7a, 0x3e, 0x6e, 0x5f});
  EXPECT_EQ(u.string(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_EQ(u.description(), u.string());
  EXPECT_EQ(u.lowerHex(), "e621e1f8c36c495a93fc0c247a3e6e5f");
  EXPECT_EQ(UUID().string(), "00000000-0000-0000-0000-000000000000");
  EXPECT_TRUE(UUID().isNil());

  const UUID r = UUID::random();
  const std::string s = r.string();
  ASSERT_EQ(s.size(), 36u);
  for (char c : s) EXPECT_TRUE(c == '-' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'));
}

TEST(UUIDTest, ParseRoundTripsAndRejectsOtherForms) {
  const UUID r = UUID::random();
  EXPECT_EQ(UUID::parse(r.string()), r);
  EXPECT_EQ(UUID::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f")->string(),
            "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  for (const char* bad :
       {"", "e621e1f8c36c495a93fc0c247a3e6e5f", "e621e1f8-c36c-495a-93fc-0c247a3e6e5",
        "e621e1f8-c36c-495a-93fc-0c247a3e6e5f0", "e621e1f8-c36c-495a-93fc_0c247a3e6e5f",
        "g621e1f8-c36c-495a-93fc-0c247a3e6e5f", "e621e1f-8c36c-495a-93fc-0c247a3e6e5f",
        "{e621e1f8-c36c-495a-93fc-0c247a3e6e5}"}) {
    EXPECT_FALSE(UUID::parse(bad).has_value()) << bad;
  }
}

TEST(UUIDTest, EqualBytesAreEqualWithEqualHashes) {
  const UUID a = UUID::random();
  const UUID b(a.bytes());
  EXPECT_EQ(a, b);
  EXPECT_EQ(UUIDHash()(a), UUIDHash()(b));
  std::unordered_set<UUID, UUIDHash> set{a, b, UUID::random()};
  EXPECT_EQ(set.size(), 2u);
}

}  // namespace
}  // namespace platform
