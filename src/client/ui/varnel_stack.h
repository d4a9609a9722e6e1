// VarnelStack: a last-in, first-out list; the last element is the top.
//
// Thread safety: one object, used from the main thread.
#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

namespace client::ui {

template <class T>
class VarnelStack {
 public:
  VarnelStack() = default;

  void push(T value) { stackArray_.push_back(std::move(value)); }
  // Removes and returns the top element; nullopt when the stack is empty.
  std::optional<T> pop() {
    if (stackArray_.empty()) return std::nullopt;
    T top = std::move(stackArray_.back());
    stackArray_.pop_back();
    return top;
  }
  void clear() { stackArray_.clear(); }
  std::size_t count() const { return stackArray_.size(); }
  bool empty() const { return stackArray_.empty(); }
  const std::vector<T>& stackArray() const { return stackArray_; }

 private:
  std::vector<T> stackArray_;
};

}  // namespace client::ui
