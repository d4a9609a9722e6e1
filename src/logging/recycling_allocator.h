// RecyclingAllocator: single-object allocations that are made on one thread
// and released on another (records made by the caller, freed by the logging
// queue) without taking the general allocator's locks in steady state.
//
// Released blocks go to a small list of the releasing thread; full lists
// are handed to a process-wide exchange in one step, and an allocating
// thread takes the whole exchange at once when its own list runs dry. Both
// steps are ABA-free (a push of a chain and a take-all), so no lock is
// needed. Blocks are never given back to the system: the number alive is
// bounded by the dispatcher's queue limit plus the per-thread lists. A
// thread's list goes to the exchange when the thread ends.
//
// Only allocations of one object (n == 1) are recycled; others go to
// operator new. Thread safety: any thread may allocate and release.
#pragma once

#include <atomic>
#include <cstddef>
#include <new>

namespace logging::detail {

template <std::size_t Size, std::size_t Align>
class BlockRecycler {
 public:
  static void* take() {
    if (gone_()) return ::operator new(kBlockSize, std::align_val_t(kAlign));
    Local& local = local_();
    if (!local.free) {
      if (local.released) {
        local.free = local.released;
        local.released = local.releasedTail = nullptr;
        local.count = 0;
      } else {
        local.free = exchange().head.exchange(nullptr, std::memory_order_acquire);
      }
    }
    if (Block* b = local.free) {
      local.free = b->next;
      return b;
    }
    return ::operator new(kBlockSize, std::align_val_t(kAlign));
  }

  static void give(void* p) {
    if (gone_()) {
      ::operator delete(p, std::align_val_t(kAlign));
      return;
    }
    Local& local = local_();
    Block* b = static_cast<Block*>(p);
    b->next = local.released;
    if (!local.released) local.releasedTail = b;
    local.released = b;
    if (++local.count >= kHandOver) {
      exchange().pushChain(local.released, local.releasedTail);
      local.released = local.releasedTail = nullptr;
      local.count = 0;
    }
  }

 private:
  static constexpr std::size_t kAlign = Align < alignof(void*) ? alignof(void*) : Align;
  static constexpr std::size_t kBlockSize = Size < sizeof(void*) ? sizeof(void*) : Size;
  static constexpr std::size_t kHandOver = 64;

  struct Block {
    Block* next;
  };
  struct Exchange {
    std::atomic<Block*> head{nullptr};
    void pushChain(Block* first, Block* last) {
      Block* old = head.load(std::memory_order_relaxed);
      do {
        last->next = old;
      } while (!head.compare_exchange_weak(old, first, std::memory_order_release,
                                           std::memory_order_relaxed));
    }
    void pushList(Block* first) {
      if (!first) return;
      Block* last = first;
      while (last->next) last = last->next;
      pushChain(first, last);
    }
  };
  struct Local {
    Block* free = nullptr;      // to allocate from
    Block* released = nullptr;  // released here since the last hand-over
    Block* releasedTail = nullptr;
    std::size_t count = 0;  // blocks in `released`
    ~Local() {
      // Everything left goes to the exchange for other threads.
      exchange().pushList(free);
      exchange().pushList(released);
      gone_() = true;
    }
  };

  static Exchange& exchange() {
    static Exchange* e = new Exchange;  // never destroyed: used at thread exit
    return *e;
  }
  static Local& local_() {
    thread_local Local local;
    return local;
  }
  // Set once this thread's list is gone (late releases at thread exit).
  static bool& gone_() {
    thread_local bool gone = false;
    return gone;
  }
};

template <class T>
class RecyclingAllocator {
 public:
  using value_type = T;
  RecyclingAllocator() noexcept = default;
  template <class U>
  RecyclingAllocator(const RecyclingAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n == 1) return static_cast<T*>(BlockRecycler<sizeof(T), alignof(T)>::take());
    return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t(alignof(T))));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n == 1) {
      BlockRecycler<sizeof(T), alignof(T)>::give(p);
    } else {
      ::operator delete(p, std::align_val_t(alignof(T)));
    }
  }
  template <class U>
  bool operator==(const RecyclingAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace logging::detail
