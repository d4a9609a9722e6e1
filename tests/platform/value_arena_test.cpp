#include "platform/foundation/value_arena.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory_resource>
#include <string>
#include <thread>
#include <vector>

namespace platform {
namespace {

// A node that reports its destruction.
class Probe final : public ValueNode {
 public:
  explicit Probe(int* destroyed) : destroyed_(destroyed) {}
  ~Probe() override { ++*destroyed_; }
  ValueKind kind() const override { return ValueKind::Null; }

 private:
  int* destroyed_;
};

TEST(ValueArena, LeavesBehaveAsOrdinaryValues) {
  ValueArena arena;
  const std::string longText(300, 'x');  // beyond any inline string buffer
  Value s = arena.string("short");
  Value l = arena.string(longText);
  Value i = arena.integer(-5);
  Value u = arena.unsignedInteger(UINT64_MAX);
  Value r = arena.real(2.5);
  EXPECT_EQ(s, Value("short"));
  EXPECT_EQ(l.asString(), longText);
  EXPECT_EQ(i, Value(-5));
  EXPECT_EQ(i.numberType(), 'q');
  EXPECT_EQ(u.asUInt64(), UINT64_MAX);
  EXPECT_EQ(u.numberType(), 'Q');
  EXPECT_EQ(r.asDouble(), 2.5);
  EXPECT_EQ(s.hash(), Value("short").hash());
  EXPECT_FALSE(ValueArena::isBorrowed(s));
}

TEST(ValueArena, AnyHandleKeepsTheWholeArena) {
  std::weak_ptr<ValueArenaCore> weak;
  Value survivor;
  {
    ValueArena arena(64);  // tiny blocks: the leaves span several
    weak = arena.weak();
    std::vector<Value> many;
    for (int n = 0; n < 200; ++n) many.push_back(arena.string(std::string(40, 'a' + n % 26)));
    survivor = many[7];
  }
  EXPECT_FALSE(weak.expired());
  EXPECT_EQ(survivor.asString(), std::string(40, 'h'));
  survivor = Value();
  EXPECT_TRUE(weak.expired());
}

TEST(ValueArena, BorrowedHandlesShareIdentityButNotOwnership) {
  ValueArena arena;
  const ValueNode* node = arena.newString("leaf");
  Value borrowed = ValueArena::borrow(node);
  Value owned = arena.own(node);
  EXPECT_TRUE(ValueArena::isBorrowed(borrowed));
  EXPECT_FALSE(ValueArena::isBorrowed(owned));
  EXPECT_TRUE(borrowed.isSameObject(owned));
  EXPECT_EQ(borrowed, owned);
  EXPECT_FALSE(ValueArena::isBorrowed(Value()));

  // `owned` turns a borrowed handle into one that keeps the arena.
  std::weak_ptr<ValueArenaCore> weak = arena.weak();
  Value kept = ValueArena::owned(arena.core(), borrowed);
  EXPECT_FALSE(ValueArena::isBorrowed(kept));
  owned = Value();
  arena = ValueArena();
  EXPECT_FALSE(weak.expired());
  EXPECT_EQ(kept.asString(), "leaf");
  kept = Value();
  EXPECT_TRUE(weak.expired());
  // An ordinary value passes through unchanged.
  Value plain("plain");
  EXPECT_TRUE(ValueArena::owned(arena.core(), plain).isSameObject(plain));
}

TEST(ValueArena, DestructorsAndPinsRunWhenTheArenaDies) {
  int tracked = 0, untracked = 0, pinned = 0;
  {
    ValueArena arena;
    arena.make<Probe>(&tracked);
    arena.makeUntracked<Probe>(&untracked);
    Value outside = Value::fromNode(std::make_shared<Probe>(&pinned));
    Value borrowed = arena.pin(outside);
    EXPECT_TRUE(ValueArena::isBorrowed(borrowed));
    EXPECT_TRUE(borrowed.isSameObject(outside));
    EXPECT_TRUE(arena.pin(borrowed).isSameObject(borrowed)) << "borrowed handles pass through";
    outside = Value();
    EXPECT_EQ(pinned, 0) << "the pin keeps it";
    EXPECT_EQ(tracked, 0);
  }
  EXPECT_EQ(tracked, 1);
  EXPECT_EQ(untracked, 0) << "untracked nodes are only freed";
  EXPECT_EQ(pinned, 1);
}

TEST(ValueArena, PinningItsOwnNodeMakesNoCycle) {
  std::weak_ptr<ValueArenaCore> weak;
  {
    ValueArena arena;
    weak = arena.weak();
    Value own = arena.string("mine");
    Value borrowed = arena.pin(own);
    EXPECT_TRUE(ValueArena::isBorrowed(borrowed));
    EXPECT_TRUE(borrowed.isSameObject(own));
  }
  EXPECT_TRUE(weak.expired());
}

TEST(ValueArena, AllocationsAreAlignedAndMayExceedABlock) {
  ValueArena arena(128);
  ValueArenaCore& core = *arena.core();
  for (std::size_t align : {1u, 2u, 8u, 16u, 64u}) {
    void* p = core.allocate(3, align);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % align, 0u) << align;
  }
  auto* big = static_cast<char*>(core.allocate(1 << 20, 16));
  big[0] = 1;
  big[(1 << 20) - 1] = 2;  // the whole range is ours (ASan checks)
  EXPECT_GE(core.bytesReserved(), std::size_t{1} << 20);

  std::pmr::vector<int> numbers(arena.resource());
  for (int n = 0; n < 1000; ++n) numbers.push_back(n);
  EXPECT_EQ(numbers[999], 999);
}

TEST(ValueArena, HandlesMayBeReleasedOnManyThreads) {
  std::weak_ptr<ValueArenaCore> weak;
  std::vector<std::thread> threads;
  {
    ValueArena arena;
    weak = arena.weak();
    for (int t = 0; t < 4; ++t) {
      std::vector<Value> mine;
      for (int n = 0; n < 100; ++n) mine.push_back(arena.string(std::string(32, 'a' + t)));
      threads.emplace_back([mine = std::move(mine)]() mutable {
        for (Value& v : mine) {
          EXPECT_EQ(v.asString().size(), 32u);
          v = Value();
        }
      });
    }
  }
  for (auto& t : threads) t.join();
  EXPECT_TRUE(weak.expired());
}

}  // namespace
}  // namespace platform
