#include "platform/foundation/value_arena.h"

#include <algorithm>
#include <cstdlib>

namespace platform {

namespace {
constexpr std::size_t kDefaultBlock = 4096;
constexpr std::size_t kMaximumFirstBlock = std::size_t{64} << 20;
// Blocks made as the arena fills double up to this size, no further: the
// allocator keeps freed blocks of this size for reuse, where it tends to
// hand larger ones back to the system (measured with jemalloc: an arena of
// 4 MiB blocks faulted in some 6 MB of fresh pages on every 13 MB document,
// one of 1 MiB blocks none).
constexpr std::size_t kLargestGrownBlock = std::size_t{1} << 20;

// One freed block of the default size per thread, for the next arena made
// there: a small document then costs no block allocation at all. Not under
// AddressSanitizer, which should see every block come and go.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kKeepSpareBlock = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kKeepSpareBlock = false;
#else
constexpr bool kKeepSpareBlock = true;
#endif
#else
constexpr bool kKeepSpareBlock = true;
#endif
thread_local void* tSpareBlock = nullptr;
thread_local bool tSpareBlockClosed = false;

void* takeSpareBlock() {
  void* block = tSpareBlock;
  tSpareBlock = nullptr;
  return block;
}

// Keeps `block` (of kDefaultBlock bytes) as this thread's spare, or frees it.
void releaseBlock(void* block, std::size_t size) {
  if (kKeepSpareBlock && size == kDefaultBlock && tSpareBlock == nullptr && !tSpareBlockClosed) {
    // Frees the spare when this thread ends.
    struct Reaper {
      ~Reaper() {
        std::free(tSpareBlock);
        tSpareBlock = nullptr;
        tSpareBlockClosed = true;
      }
    };
    thread_local Reaper reaper;
    (void)reaper;
    if (!tSpareBlockClosed) {
      tSpareBlock = block;
      return;
    }
  }
  std::free(block);
}
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
    releaseBlock(blocks_, blocks_->size);
    blocks_ = next;
  }
}

void* ValueArenaCore::grow(std::size_t bytes, std::size_t alignment) {
  const std::size_t header =
      (sizeof(Block) + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
  const std::size_t need = header + bytes + alignment;
  const std::size_t size = std::max(nextBlock_, need);
  void* memory = size == kDefaultBlock ? takeSpareBlock() : nullptr;
  if (memory == nullptr) memory = std::malloc(size);
  if (memory == nullptr) throw std::bad_alloc();
  auto* block = static_cast<Block*>(memory);
  block->next = blocks_;
  block->size = size;
  blocks_ = block;
  reserved_ += size;
  nextBlock_ = std::min(size * 2, kLargestGrownBlock);
  cur_ = reinterpret_cast<char*>(block) + header;
  end_ = reinterpret_cast<char*>(block) + size;
  return allocate(bytes, alignment);
}

ValueArena::ValueArena(std::size_t firstBlock)
    : core_(std::make_shared<ValueArenaCore>(firstBlock)) {}

}  // namespace platform
