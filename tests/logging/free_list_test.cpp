// FreeList: what the record store and the recycling allocator rely on when
// nodes are released on another thread than the one that takes them.
#include "logging/free_list.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

namespace {

// Each test uses a node type of its own, so that each has lists of its own.
template <int N>
struct Node {
  Node* link = nullptr;
  int id = 0;
};
template <int N>
struct NodeLink {
  static Node<N>* next(Node<N>* n) { return n->link; }
  static void setNext(Node<N>* n, Node<N>* next) { n->link = next; }
};
template <int N>
using List = logging::detail::FreeList<Node<N>, NodeLink<N>>;

template <int N>
std::set<int> takeAll() {
  std::set<int> ids;
  while (Node<N>* n = List<N>::take()) ids.insert(n->id);
  return ids;
}

}  // namespace

TEST(FreeListTest, AThreadTakesBackWhatItGave) {
  EXPECT_EQ(List<1>::take(), nullptr);
  Node<1> a, b;
  ASSERT_TRUE(List<1>::give(&a));
  ASSERT_TRUE(List<1>::give(&b));
  EXPECT_EQ(List<1>::take(), &b);
  EXPECT_EQ(List<1>::take(), &a);
  EXPECT_EQ(List<1>::take(), nullptr);
}

TEST(FreeListTest, FullListsOfAReleasingThreadReachATakingThread) {
  constexpr std::size_t kHandOver = List<2>::kHandOver;
  std::vector<Node<2>> nodes(kHandOver + 5);
  for (std::size_t i = 0; i < nodes.size(); ++i) nodes[i].id = static_cast<int>(i);
  std::set<int> seen;
  std::thread releaser([&] {
    for (auto& n : nodes) ASSERT_TRUE(List<2>::give(&n));
    // Before this thread ends, only the full list has been handed over.
    std::thread taker([&] { seen = takeAll<2>(); });
    taker.join();
    EXPECT_EQ(seen.size(), kHandOver);
  });
  releaser.join();
  // The releaser's last five went to the exchange when it ended.
  const std::set<int> rest = takeAll<2>();
  EXPECT_EQ(rest.size(), 5u);
  for (int id : rest) EXPECT_EQ(seen.count(id), 0u);
  EXPECT_EQ(seen.size() + rest.size(), nodes.size());
}

TEST(FreeListTest, ManyThreadsLoseNoNode) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 1000;
  std::vector<Node<3>> nodes(kThreads * kPerThread);
  for (std::size_t i = 0; i < nodes.size(); ++i) nodes[i].id = static_cast<int>(i);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Give and take in turns: every node taken here is given back.
      for (int i = 0; i < kPerThread; ++i) {
        ASSERT_TRUE(List<3>::give(&nodes[t * kPerThread + i]));
        if (i % 3 == 0) {
          if (Node<3>* n = List<3>::take()) {
            ASSERT_TRUE(List<3>::give(n));
          }
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  const std::set<int> all = takeAll<3>();
  EXPECT_EQ(all.size(), nodes.size());
}
