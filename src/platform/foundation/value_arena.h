// platform::ValueArena: builds many Value nodes in a few large blocks that
// share one reference count, for producers of whole trees (the JSON decoder).
//
// Guarantees:
//  1. Every node made by an arena lives in the arena's blocks. A handle
//     returned by `own` (and by the leaf makers) is an ordinary Value: it
//     keeps the whole arena alive, copies are cheap, identity and equality
//     behave exactly as for any other Value.
//  2. Memory trade-off: the arena is freed only when the last handle to any
//     of its nodes goes away. Keeping one small leaf of a large document
//     keeps the whole document's memory.
//  3. A borrowed handle (`borrow`) carries no reference count. It is meant
//     only for storage inside another node of the same arena (which cannot
//     own its own arena without a cycle); a collection that stores borrowed
//     handles must hand out `own`ed ones from every accessor. A borrowed
//     handle outliving its arena dangles.
//  4. When the arena dies, the destructors of the nodes made by `make` run,
//     newest first; then the pinned values and the adopted strings are
//     released; every other block is simply freed (the thread that frees
//     a block of the default size keeps one such block for its next
//     arena). A node made by `makeUntracked` must own nothing but arena
//     memory, borrowed handles and adopted strings.
//  5. `pin` keeps any Value alive as long as the arena, so that nodes of the
//     arena may refer to it through a borrowed handle.
//  6. The arena is a std::pmr::memory_resource (see `resource`), so node
//     storage such as vectors can live in it too; deallocation is a no-op.
//  7. A string leaf keeps its bytes in the arena, right behind its node (no
//     allocation of its own). The std::string that Value::asString hands
//     out is made on first demand from any thread and `adopt`ed by the
//     arena, which frees it when it dies.
//
// Thread safety: an arena is filled by one thread at a time. The nodes it
// made are immutable Values (unless their class says otherwise) and may be
// read and shared from any thread; the reference count is atomic.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "platform/foundation/value.h"

namespace platform {

// The shared block store behind a ValueArena. Users hold it only through
// ValueArena or as a raw pointer inside their own arena nodes.
class ValueArenaCore final : public std::pmr::memory_resource,
                             public std::enable_shared_from_this<ValueArenaCore> {
 public:
  explicit ValueArenaCore(std::size_t firstBlock);
  ~ValueArenaCore() override;
  ValueArenaCore(const ValueArenaCore&) = delete;
  ValueArenaCore& operator=(const ValueArenaCore&) = delete;

  void* allocate(std::size_t bytes, std::size_t alignment) {
    const std::uintptr_t p = reinterpret_cast<std::uintptr_t>(cur_);
    const std::uintptr_t aligned = (p + alignment - 1) & ~(alignment - 1);
    if (cur_ != nullptr && aligned + bytes <= reinterpret_cast<std::uintptr_t>(end_)) {
      cur_ = reinterpret_cast<char*>(aligned + bytes);
      return reinterpret_cast<void*>(aligned);
    }
    return grow(bytes, alignment);
  }

  // Constructs a node whose destructor runs when the arena dies.
  template <class T, class... Args>
  T* make(Args&&... args) {
    T* node = makeUntracked<T>(std::forward<Args>(args)...);
    track(node);
    return node;
  }
  // Constructs a node whose destructor never runs (see guarantee 4).
  template <class T, class... Args>
  T* makeUntracked(Args&&... args) {
    static_assert(std::is_base_of_v<ValueNode, T>);
    return new (allocate(sizeof(T), alignof(T))) T(std::forward<Args>(args)...);
  }
  // Runs the destructor of `node` (made in this arena) when the arena dies.
  void track(ValueNode* node) {
    if (cleanups_ == nullptr || cleanups_->count == Cleanups::kCapacity) {
      cleanups_ = new (allocate(sizeof(Cleanups), alignof(Cleanups))) Cleanups{cleanups_, 0, {}};
    }
    cleanups_->nodes[cleanups_->count++] = node;
  }
  // Keeps `value` alive as long as the arena.
  void pin(Value value) {
    auto* link = new (allocate(sizeof(Pin), alignof(Pin))) Pin{pins_, std::move(value)};
    pins_ = link;
  }

  // A std::string made after the arena was filled (see guarantee 7).
  struct Adopted {
    Adopted* next;
    std::string text;
  };
  // Frees `adopted` when the arena dies. Safe from any thread at any time
  // while the arena lives.
  void adopt(Adopted* adopted) {
    adopted->next = adopted_.load(std::memory_order_relaxed);
    while (!adopted_.compare_exchange_weak(adopted->next, adopted, std::memory_order_release,
                                           std::memory_order_relaxed)) {
    }
  }

  // An owning handle to `node`, which must belong to this arena.
  Value own(const ValueNode* node) {
    return Value::fromNode(
        std::shared_ptr<ValueNode>(shared_from_this(), const_cast<ValueNode*>(node)));
  }

  std::size_t bytesReserved() const { return reserved_; }

 private:
  // Nodes to destroy, in arrays rather than a chain so that destruction
  // does not wait on one cache miss per link.
  struct Cleanups {
    static constexpr std::size_t kCapacity = 126;
    Cleanups* next;
    std::size_t count = 0;
    ValueNode* nodes[kCapacity];
  };
  struct Block {
    Block* next;
    std::size_t size;
  };
  struct Pin {
    Pin* next;
    Value value;
  };

  void* grow(std::size_t bytes, std::size_t alignment);
  void* do_allocate(std::size_t bytes, std::size_t alignment) override {
    return allocate(bytes, alignment);
  }
  void do_deallocate(void*, std::size_t, std::size_t) override {}
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }

  char* cur_ = nullptr;
  char* end_ = nullptr;
  Block* blocks_ = nullptr;
  Cleanups* cleanups_ = nullptr;
  Pin* pins_ = nullptr;
  std::atomic<Adopted*> adopted_{nullptr};
  std::size_t nextBlock_;
  std::size_t reserved_ = 0;
};

class ValueArena {
 public:
  // `firstBlock`: bytes of the first block (later blocks double, up to
  // 1 MiB each: the allocator keeps freed blocks of that size for reuse,
  // where it tends to hand larger ones back to the system, so that the
  // arena of every large document would fault in fresh pages); 0 picks a
  // small default.
  explicit ValueArena(std::size_t firstBlock = 0);

  // Owning handles to new immutable leaves. Integers keep the platform type
  // code of a 64-bit integer ('q' / 'Q').
  Value string(std::string_view s) { return own(newString(s)); }
  Value integer(std::int64_t n) { return own(newInt(n)); }
  Value unsignedInteger(std::uint64_t n) { return own(newUInt(n)); }
  Value real(double d) { return own(newReal(d)); }

  // The raw nodes behind the makers above (for `borrow` or `own`).
  const ValueNode* newString(std::string_view s);
  const ValueNode* newInt(std::int64_t n);
  const ValueNode* newUInt(std::uint64_t n);
  const ValueNode* newReal(double d);

  // Constructs a node of another class (a collection implementation).
  template <class T, class... Args>
  T* make(Args&&... args) {
    return core_->make<T>(std::forward<Args>(args)...);
  }
  template <class T, class... Args>
  T* makeUntracked(Args&&... args) {
    return core_->makeUntracked<T>(std::forward<Args>(args)...);
  }
  // Keeps `value` alive as long as the arena and returns a borrowed handle
  // to it, for storage inside nodes of this arena.
  Value pin(const Value& value) {
    if (value.isNone() || isBorrowed(value)) return value;
    // A node of this very arena needs no pin (and one would be a cycle).
    const bool ours = !value.nodePtr().owner_before(core_) && !core_.owner_before(value.nodePtr());
    if (!ours) core_->pin(value);
    return borrow(value.node());
  }
  std::pmr::memory_resource* resource() const { return core_.get(); }
  ValueArenaCore* core() const { return core_.get(); }
  std::weak_ptr<ValueArenaCore> weak() const { return core_; }

  // An owning handle to a node of this arena.
  Value own(const ValueNode* node) const {
    return Value::fromNode(std::shared_ptr<ValueNode>(core_, const_cast<ValueNode*>(node)));
  }
  // An owning handle to `node` through any live owner (e.g. a locked weak()).
  static Value own(const std::shared_ptr<ValueArenaCore>& owner, const ValueNode* node) {
    return Value::fromNode(std::shared_ptr<ValueNode>(owner, const_cast<ValueNode*>(node)));
  }
  // A handle without a reference count; see guarantee 3.
  static Value borrow(const ValueNode* node) {
    return Value::fromNode(
        std::shared_ptr<ValueNode>(std::shared_ptr<ValueNode>(), const_cast<ValueNode*>(node)));
  }
  static bool isBorrowed(const Value& v) {
    return v.node() != nullptr && v.nodePtr().use_count() == 0;
  }
  // `v` itself, or an owning handle when it is borrowed from `core`'s arena.
  static Value owned(ValueArenaCore* core, const Value& v) {
    return core != nullptr && isBorrowed(v) ? core->own(v.node()) : v;
  }

 private:
  std::shared_ptr<ValueArenaCore> core_;
};

}  // namespace platform
