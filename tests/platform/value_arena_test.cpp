#include "platform/foundation/value_arena.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory_resource>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/foundation/exception.h"

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

// A thread that frees a block of the default size keeps it for its next
// arena: nothing of the dead arena may show through in the new one, on the
// thread that freed it or elsewhere.
TEST(ValueArena, BlocksFreedOnAnyThreadServeLaterArenasCleanly) {
  auto fill = [](ValueArena& arena, char c, int n) {
    std::vector<Value> leaves;
    for (int i = 0; i < n; ++i) leaves.push_back(arena.string(std::string(40, c)));
    return leaves;
  };
  auto check = [](const std::vector<Value>& leaves, char c) {
    for (const Value& v : leaves) EXPECT_EQ(v.stringView(), std::string(40, c));
  };
  for (int round = 0; round < 3; ++round) {
    std::vector<Value> made = [&] {
      ValueArena arena;
      std::vector<Value> leaves = fill(arena, 'a', 20);
      EXPECT_EQ(arena.core()->bytesReserved(), 4096u);
      return leaves;
    }();
    std::vector<Value> fromThread;
    std::thread([&] {
      // The first arena dies here, then this thread makes two more: the
      // second spills into a larger block, which is not kept.
      made.clear();
      ValueArena arena;
      fromThread = fill(arena, 'b', 20);
      EXPECT_EQ(arena.core()->bytesReserved(), 4096u);
      ValueArena larger;
      std::vector<Value> spilled = fill(larger, 'c', 200);
      EXPECT_GT(larger.core()->bytesReserved(), 4096u);
      check(spilled, 'c');
      spilled.clear();
      ValueArena again;
      std::vector<Value> more = fill(again, 'd', 20);
      check(fromThread, 'b');
      check(more, 'd');
    }).join();
    // The thread has ended (its spare block with it); its leaves live on.
    ValueArena mine;
    std::vector<Value> here = fill(mine, 'e', 20);
    check(fromThread, 'b');
    fromThread.clear();  // this thread keeps that block now
    ValueArena next;
    std::vector<Value> after = fill(next, 'f', 20);
    check(here, 'e');
    check(after, 'f');
  }
}

// --- string leaves: bytes in the arena, std::string made on demand ---------

TEST(ValueArenaStrings, BytesLiveInTheArenaAndTheViewNeverCopies) {
  ValueArena arena(4096);
  Value warm = arena.string("the first block is taken on the first leaf");
  const std::size_t before = arena.core()->bytesReserved();
  const std::string text(1000, 'q');  // far beyond any inline buffer
  Value s = arena.string(text);
  EXPECT_EQ(arena.core()->bytesReserved(), before) << "the bytes fit the first block";
  const std::string_view view = s.stringView();
  EXPECT_EQ(view, text);
  EXPECT_EQ(s.stringView().data(), view.data()) << "the same bytes every time";
  // asString hands out one std::string for the node's whole life.
  const std::string& first = s.asString();
  EXPECT_EQ(first, text);
  EXPECT_EQ(&s.asString(), &first);
  EXPECT_EQ(&arena.own(s.node()).asString(), &first) << "per node, not per handle";
  EXPECT_EQ(s.stringView().data(), view.data()) << "materialising moves nothing";
}

TEST(ValueArenaStrings, EmptyAndEmbeddedNulStrings) {
  ValueArena arena;
  Value empty = arena.string("");
  EXPECT_TRUE(empty.isString());
  EXPECT_TRUE(empty.stringView().empty());
  EXPECT_EQ(empty.asString(), "");
  EXPECT_EQ(empty, Value(""));
  EXPECT_EQ(empty.hash(), Value("").hash());
  EXPECT_EQ(empty.description(), "");

  const std::string withNul("a\0b\0", 4);
  Value nul = arena.string(withNul);
  EXPECT_EQ(nul.stringView().size(), 4u);
  EXPECT_EQ(nul.asString(), withNul);
  EXPECT_EQ(nul, Value(withNul));
  EXPECT_NE(nul, Value("a")) << "the bytes after the NUL count";
  EXPECT_NE(arena.string(std::string_view("a\0c", 3)), Value(std::string("a\0b", 3)));
  EXPECT_EQ(nul.hash(), Value(withNul).hash());
  EXPECT_EQ(nul.description(), withNul);

  // Anything but a string has no bytes.
  EXPECT_TRUE(Value().stringView().empty());
  EXPECT_TRUE(arena.integer(5).stringView().empty());
  EXPECT_TRUE(Value::data("xy", 2).stringView().empty());
}

TEST(ValueArenaStrings, EqualAndHashAlikeWithOrdinaryStrings) {
  ValueArena arena;
  for (const std::string& text : {std::string("k"), std::string("key"), std::string(15, 'm'),
                                  std::string(16, 'm'), std::string(300, 'z')}) {
    Value mine = arena.string(text);
    Value plain(text);
    EXPECT_EQ(mine, plain) << text;
    EXPECT_EQ(plain, mine) << text;
    EXPECT_EQ(mine.hash(), plain.hash()) << text;
    EXPECT_FALSE(mine.isSameObject(plain));
  }
  EXPECT_NE(arena.string("abc"), Value("abd"));
  EXPECT_NE(arena.string("abc"), Value("abcd"));

  // Either kind finds the other as a dictionary key, in either direction.
  Value standard =
      Value::dictionary({{arena.string("host"), Value("a")}, {Value("port"), Value(1)}});
  EXPECT_EQ(standard["host"], Value("a"));
  EXPECT_EQ(standard.get(Value("host")), Value("a"));
  EXPECT_EQ(standard.get(arena.string("port")), Value(1));
  EXPECT_TRUE(standard["missing"].isNone());
  Value withNul = Value::dictionary({{arena.string(std::string_view("a\0b", 3)), Value(2)}});
  EXPECT_EQ(withNul[std::string_view("a\0b", 3)], Value(2));
  EXPECT_TRUE(withNul["a"].isNone());
  EXPECT_EQ(Value::array({arena.string("x"), Value(1)}), Value::array({Value("x"), Value(1)}));
  EXPECT_EQ(Value::array({arena.string("x")}).hash(), Value::array({Value("x")}).hash());
}

TEST(ValueArenaStrings, MaterialisedOnceWhenManyThreadsAskAtOnce) {
  constexpr int kThreads = 8;
  constexpr int kStrings = 64;
  ValueArena arena;
  std::vector<Value> strings;
  for (int n = 0; n < kStrings; ++n) {
    strings.push_back(
        arena.string("a string long enough to need its own buffer #" + std::to_string(n)));
  }
  std::vector<std::vector<const std::string*>> seen(kThreads);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      // Half the threads walk backwards so that both ends are contended.
      for (int i = 0; i < kStrings; ++i) {
        const Value& v = strings[static_cast<std::size_t>(t % 2 ? kStrings - 1 - i : i)];
        const std::string& s = v.asString();
        EXPECT_EQ(s, v.stringView());
        seen[static_cast<std::size_t>(t)].push_back(&s);
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kStrings; ++i) {
    const std::string* expected = &strings[static_cast<std::size_t>(i)].asString();
    for (int t = 0; t < kThreads; ++t) {
      const std::size_t at = static_cast<std::size_t>(t % 2 ? kStrings - 1 - i : i);
      EXPECT_EQ(seen[static_cast<std::size_t>(t)][at], expected) << "thread " << t << " #" << i;
    }
  }
}

TEST(ValueArenaStrings, AStringOutlivesItsArenaAndItsNeighbours) {
  std::weak_ptr<ValueArenaCore> weak;
  Value kept, materialised;
  const std::string* early = nullptr;
  {
    ValueArena arena(64);
    weak = arena.weak();
    std::vector<Value> others;
    for (int n = 0; n < 50; ++n) others.push_back(arena.string(std::string(100, 'a' + n % 26)));
    kept = arena.string("kept beyond the arena, its neighbours and the builder");
    materialised = arena.string("made into a std::string while the arena was whole");
    early = &materialised.asString();
    for (Value& v : others) (void)v.asString();  // adopted by the arena, freed with it
  }
  EXPECT_FALSE(weak.expired());
  EXPECT_EQ(kept.stringView(), "kept beyond the arena, its neighbours and the builder");
  EXPECT_EQ(kept.asString(), "kept beyond the arena, its neighbours and the builder");
  EXPECT_EQ(&materialised.asString(), early);
  EXPECT_EQ(*early, "made into a std::string while the arena was whole");
  kept = Value();
  materialised = Value();
  EXPECT_TRUE(weak.expired()) << "the adopted strings go with the arena (ASan checks leaks)";
}

// A dictionary whose lookup reads the key through asString: a lookup by key
// text (which probes with a stack node) must still work and leak nothing.
class TextKeyedDictionary final : public DictionaryStorage {
 public:
  std::size_t count() const override { return 1; }
  Value find(const Value& key) const override {
    return key.asString() == "only" ? Value(7) : Value();
  }
  std::uint64_t mutations() const override { return 0; }
  void forEach(const std::function<bool(const Value&, const Value&)>& fn) const override {
    fn(Value("only"), Value(7));
  }
  void set(const Value&, Value) override { fail(); }
  void remove(const Value&) override { fail(); }

 private:
  [[noreturn]] static void fail() { throw Exception(kInternalInconsistencyException, "fixed"); }
};

TEST(ValueArenaStrings, LookupByTextWorksWithAnyDictionary) {
  Value d = Value::fromNode(std::make_shared<TextKeyedDictionary>());
  EXPECT_EQ(d["only"], Value(7));
  EXPECT_EQ(d[std::string("only")], Value(7));
  EXPECT_TRUE(d["other"].isNone());
  EXPECT_TRUE(d.contains("only"));
}

// Blocks double as the arena fills, but no further than 1 MiB each: freed
// blocks of that size are kept by the allocator for reuse, larger ones tend
// to go back to the system (and a large document's arena would fault in
// fresh memory every time). So what an arena reserves stays within a block
// of what it holds.
TEST(ValueArena, GrownBlocksStopAtOneMebibyte) {
  ValueArena arena;
  ValueArenaCore& core = *arena.core();
  constexpr std::size_t kPiece = 4000;
  std::size_t held = 0;
  while (held < (std::size_t{12} << 20)) {
    static_cast<char*>(core.allocate(kPiece, 8))[kPiece - 1] = 1;
    held += kPiece;
  }
  EXPECT_LE(core.bytesReserved(), held + (std::size_t{1} << 20));
}

}  // namespace
}  // namespace platform
