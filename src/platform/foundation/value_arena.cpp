#include "platform/foundation/value_arena.h"

#include <algorithm>
#include <cstdlib>

namespace platform {

namespace {
constexpr std::size_t kDefaultBlock = 4096;
constexpr std::size_t kMaximumFirstBlock = std::size_t{64} << 20;
}  // namespace

ValueArenaCore::ValueArenaCore(std::size_t firstBlock)
    : nextBlock_(std::clamp(firstBlock, kDefaultBlock, kMaximumFirstBlock)) {}

ValueArenaCore::~ValueArenaCore() {
  // Newest first: a collection goes before the nodes it refers to.
  for (Cleanups* c = cleanups_; c != nullptr; c = c->next) {
    for (std::size_t i = c->count; i-- > 0;) c->nodes[i]->~ValueNode();
  }
  for (Pin* p = pins_; p != nullptr;) {
    Pin* next = p->next;
    p->~Pin();
    p = next;
  }
  for (Adopted* a = adopted_.load(std::memory_order_acquire); a != nullptr;) {
    Adopted* next = a->next;
    delete a;
    a = next;
  }
  while (blocks_ != nullptr) {
    Block* next = blocks_->next;
    std::free(blocks_);
    blocks_ = next;
  }
}

void* ValueArenaCore::grow(std::size_t bytes, std::size_t alignment) {
  const std::size_t header =
      (sizeof(Block) + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
  const std::size_t need = header + bytes + alignment;
  const std::size_t size = std::max(nextBlock_, need);
  auto* block = static_cast<Block*>(std::malloc(size));
  if (block == nullptr) throw std::bad_alloc();
  block->next = blocks_;
  blocks_ = block;
  reserved_ += size;
  nextBlock_ = std::min(size * 2, std::max(size, kMaximumFirstBlock));
  cur_ = reinterpret_cast<char*>(block) + header;
  end_ = reinterpret_cast<char*>(block) + size;
  return allocate(bytes, alignment);
}

ValueArena::ValueArena(std::size_t firstBlock)
    : core_(std::make_shared<ValueArenaCore>(firstBlock)) {}

}  // namespace platform
