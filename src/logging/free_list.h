// FreeList: the lock-free recycling of nodes that are made on one thread and
// released on another (records made by the caller, freed by the logging
// queue), shared by the record store and the recycling allocator.
//
// Released nodes go to a small list of the releasing thread; full lists
// (kHandOver nodes) are handed to a process-wide exchange in one step, and a
// taking thread whose own lists are empty takes the whole exchange at once.
// Both steps are ABA-free (a push of a chain and a take-all), so no lock is
// needed. A thread's lists go to the exchange when the thread ends; after
// that, on that thread, `take` answers nullptr and `give` false, and the
// caller makes or frees the node itself.
//
// `Link` says where a node keeps its link while it is on a list:
//   static Node* next(Node* node);
//   static void setNext(Node* node, Node* next);
// Each (Node, Link) pair has lists of its own.
//
// Thread safety: any thread may take and give.
#pragma once

#include <atomic>
#include <cstddef>

namespace logging::detail {

template <class Node, class Link>
class FreeList {
 public:
  static constexpr std::size_t kHandOver = 64;

  // A node released earlier, or nullptr when there is none.
  static Node* take() {
    if (gone()) return nullptr;
    Local& local = localLists();
    if (!local.free) {
      if (local.released) {
        local.free = local.released;
        local.released = local.releasedTail = nullptr;
        local.count = 0;
      } else {
        local.free = exchange().exchange(nullptr, std::memory_order_acquire);
      }
    }
    Node* node = local.free;
    if (node) local.free = Link::next(node);
    return node;
  }

  // Keeps `node` for a later take; false when this thread's lists are gone.
  static bool give(Node* node) {
    if (gone()) return false;
    Local& local = localLists();
    Link::setNext(node, local.released);
    if (!local.released) local.releasedTail = node;
    local.released = node;
    if (++local.count >= kHandOver) {
      pushChain(local.released, local.releasedTail);
      local.released = local.releasedTail = nullptr;
      local.count = 0;
    }
    return true;
  }

 private:
  struct Local {
    Node* free = nullptr;      // to take from
    Node* released = nullptr;  // released here since the last hand-over
    Node* releasedTail = nullptr;
    std::size_t count = 0;  // nodes in `released`
    ~Local() {
      pushList(free);
      pushList(released);
      gone() = true;
    }
  };

  static void pushChain(Node* first, Node* last) {
    std::atomic<Node*>& head = exchange();
    Node* old = head.load(std::memory_order_relaxed);
    do {
      Link::setNext(last, old);
    } while (!head.compare_exchange_weak(old, first, std::memory_order_release,
                                         std::memory_order_relaxed));
  }
  static void pushList(Node* first) {
    if (!first) return;
    Node* last = first;
    while (Node* n = Link::next(last)) last = n;
    pushChain(first, last);
  }
  static std::atomic<Node*>& exchange() {
    static auto* head = new std::atomic<Node*>(nullptr);  // never destroyed: used at thread exit
    return *head;
  }
  static Local& localLists() {
    thread_local Local local;
    return local;
  }
  // Set once this thread's lists are gone (late releases at thread exit).
  static bool& gone() {
    thread_local bool isGone = false;
    return isGone;
  }
};

}  // namespace logging::detail
