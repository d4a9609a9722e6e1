// RecyclingAllocator: single-object allocations that are made on one thread
// and released on another (records made by the caller, freed by the logging
// queue) without taking the general allocator's locks in steady state.
//
// Released blocks are kept on the lock-free lists of FreeList (free_list.h).
// Blocks are never given back to the system: the number alive is bounded by
// the dispatcher's queue limit plus the per-thread lists.
//
// Only allocations of one object (n == 1) are recycled; others go to
// operator new. Thread safety: any thread may allocate and release.
#pragma once

#include <atomic>
#include <cstddef>
#include <new>

#include "logging/free_list.h"

namespace logging::detail {

template <std::size_t Size, std::size_t Align>
class BlockRecycler {
 public:
  static void* take() {
    if (Block* b = Blocks::take()) return b;
    return ::operator new(kBlockSize, std::align_val_t(kAlign));
  }

  static void give(void* p) {
    if (!Blocks::give(static_cast<Block*>(p))) ::operator delete(p, std::align_val_t(kAlign));
  }

 private:
  static constexpr std::size_t kAlign = Align < alignof(void*) ? alignof(void*) : Align;
  static constexpr std::size_t kBlockSize = Size < sizeof(void*) ? sizeof(void*) : Size;

  struct Block {
    Block* next;
  };
  struct BlockLink {
    static Block* next(Block* b) { return b->next; }
    static void setNext(Block* b, Block* next) { b->next = next; }
  };
  using Blocks = FreeList<Block, BlockLink>;
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
