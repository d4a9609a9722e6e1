// The JSON decoder's own collections: JTArray (a growable array) and
// JTDictionary (an open-addressing hash table with linear probing over a
// fixed table of prime capacities), plus JTDictionaryEnumerator.
//
// Guarantees:
//  1. Both implement platform::ArrayStorage / DictionaryStorage, so a decoded
//     tree works wherever a Value array or dictionary does (wrap with
//     Value::fromNode, which the creation routines do).
//  2. One class serves immutable and mutable results: a mutation counter of 0
//     marks an immutable instance, and every mutating call on it throws
//     NSInternalInconsistencyException "*** -[%@ %@]: mutating method sent to
//     immutable object". A mutable instance starts at 1 and never returns to 0.
//  3. Only the creation routines make instances; the allocation entry points
//     throw the private-class exception.
//  4. Dictionary enumeration follows slot order; removing a key keeps every
//     other key reachable; the table grows only when a pair is set.
//  5. Enumerating a mutable dictionary with forEach throws NSGenericException
//     when the callback mutates it.
//  6. Immutable instances may be built inside a platform::ValueArena (the
//     decoder does), storage included; they then hold borrowed handles to
//     nodes of the same arena (or pinned in it, or never destroyed, such as
//     the decoder's true, false, null and "") and every accessor hands out
//     owning ones. The raw views `objects()` and `entries()` may show
//     borrowed handles: use them only while a handle to the collection is
//     held, and do not keep the elements beyond that.
//
// Thread safety: an instance may be read from several threads while nobody
// mutates it; mutation needs exclusive access.
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <vector>

#include "platform/foundation/value.h"
#include "platform/foundation/value_arena.h"

namespace codecs {

class JTArray final : public platform::ArrayStorage {
  struct Key {};

 public:
  JTArray(Key, std::vector<platform::Value> objects, bool isMutable);

  // Arena form: an immutable array of the `count` handles at `objects`
  // (moved), node and storage in `arena`. Returns a borrowed handle.
  JTArray(Key, platform::ValueArena& arena, platform::Value* objects, std::size_t count);
  JTArray(Key, platform::ValueArena& arena, const platform::ValueNode* const* objects,
          std::size_t count);

  // The creation routine: takes over `objects` (capacity = count).
  static platform::Value create(std::vector<platform::Value> objects, bool isMutable);
  // The immutable array in `arena`, as a borrowed handle (see
  // platform::ValueArena::borrow).
  static platform::Value create(platform::ValueArena& arena, platform::Value* objects,
                                std::size_t count);
  // The same from raw nodes, each of `arena` or pinned in it.
  static const JTArray* create(platform::ValueArena& arena,
                               const platform::ValueNode* const* objects, std::size_t count);
  // Ordinary allocation is refused with the private-class exception.
  [[noreturn]] static void alloc();

  std::size_t count() const override { return objects_.size(); }
  platform::Value at(std::size_t index) const override;
  std::uint64_t mutations() const override { return mutations_; }
  void insert(std::size_t index, platform::Value value) override;
  void removeAt(std::size_t index) override;
  void replaceAt(std::size_t index, platform::Value value) override;

  // Copies `length` elements from `start` into `buffer`; throws
  // NSRangeException for a null buffer with a non-empty range or a range
  // beyond count.
  void getObjects(platform::Value* buffer, std::size_t start, std::size_t length) const;
  std::size_t capacity() const { return capacity_; }
  const std::pmr::vector<platform::Value>& objects() const { return objects_; }
  // An owning handle for an element seen through objects().
  platform::Value owning(const platform::Value& v) const {
    return platform::ValueArena::owned(arena_, v);
  }

 private:
  void checkMutable(const char* method) const;
  void bump();
  platform::ValueArenaCore* arena_ = nullptr;  // set when built in an arena
  std::pmr::vector<platform::Value> objects_;
  std::size_t capacity_;
  std::uint64_t mutations_;
};

class JTDictionary final : public platform::DictionaryStorage {
  struct Key {};

 public:
  struct Entry {
    std::uint64_t hash = 0;
    platform::Value key;  // None marks an empty slot
    platform::Value object;
  };

  using SlotFunction = std::size_t (*)(std::uint64_t hash);

  JTDictionary(Key, std::size_t capacity, bool isMutable);
  JTDictionary(Key, platform::ValueArena& arena, std::size_t capacity);
  // `slot` must be the slot function of `capacity`.
  JTDictionary(Key, platform::ValueArena& arena, std::size_t capacity, SlotFunction slot);

  // The creation routine: adds each (hash, key, object) in order; a later
  // equal key replaces an earlier one. `hashes` must be jtKeyHash of the keys.
  static platform::Value create(std::vector<platform::Value>&& keys,
                                const std::vector<std::uint64_t>& hashes,
                                std::vector<platform::Value>&& objects, bool isMutable);
  // The same over raw ranges (used by the decoder's object stack).
  static platform::Value create(platform::Value* keys, const std::uint64_t* hashes,
                                platform::Value* objects, std::size_t count, bool isMutable);
  // The immutable dictionary in `arena`, as a borrowed handle.
  static platform::Value create(platform::ValueArena& arena, platform::Value* keys,
                                const std::uint64_t* hashes, platform::Value* objects,
                                std::size_t count);
  // The same from raw nodes, each of `arena` or pinned in it (or never
  // destroyed).
  struct NodePair {
    const platform::ValueNode* key;
    std::uint64_t hash;
    const platform::ValueNode* object;
  };
  static const JTDictionary* create(platform::ValueArena& arena, const NodePair* pairs,
                                    std::size_t count);
  [[noreturn]] static void alloc();

  // The hash a key is stored under (strings: the codec's value hash of their bytes).
  static std::uint64_t keyHash(const platform::Value& key);
  // Slots for `count` pairs: the smallest table capacity of at least
  // floor(count * 1.33); 0 when no table entry is large enough.
  static std::size_t capacityForCount(std::size_t count);

  std::size_t count() const override { return count_; }
  platform::Value find(const platform::Value& key) const override;
  std::uint64_t mutations() const override { return mutations_; }
  void forEach(const std::function<bool(const platform::Value& key, const platform::Value& value)>&
                   fn) const override;
  void set(const platform::Value& key, platform::Value value) override;
  void remove(const platform::Value& key) override;

  // Writes, in slot order, each object and key to the buffers (either may be null).
  void getObjectsAndKeys(platform::Value* objects, platform::Value* keys) const;
  std::size_t capacity() const { return entries_.size(); }
  const std::pmr::vector<Entry>& entries() const { return entries_; }
  // An owning handle for a key or object seen through entries().
  platform::Value owning(const platform::Value& v) const { return owned(v); }

 private:
  friend class JTDictionaryEnumerator;
  const Entry* lookup(const platform::Value& key, std::uint64_t hash) const;
  void add(std::uint64_t hash, platform::Value key, platform::Value object);
  // The slot `key` goes to: an empty one or the one holding an equal key;
  // null when the table is full.
  Entry* place(std::uint64_t hash, const platform::Value& key);
  // Building from raw nodes: one pair by probing, all pairs, all pairs of a
  // table of fewer than 64 slots.
  static std::size_t placePair(Entry* entries, std::size_t capacity, std::size_t first,
                               const NodePair& pair);
  // Puts a pair into an empty entry of a new table.
  static void settle(Entry& e, const NodePair& pair);
  template <class SlotOf>
  static std::size_t fill(Entry* entries, std::size_t capacity, SlotOf slotOf,
                          const NodePair* pairs, std::size_t count);
  template <class SlotOf>
  static std::size_t fillSmall(Entry* entries, std::size_t capacity, SlotOf slotOf,
                               const NodePair* pairs, std::size_t count);
  void removeEntry(std::size_t index);
  void resizeIfNecessary();
  void checkMutable(const char* method) const;
  void bump();
  platform::Value owned(const platform::Value& v) const {
    return platform::ValueArena::owned(arena_, v);
  }

  platform::ValueArenaCore* arena_ = nullptr;  // set when built in an arena
  SlotFunction slot_;                          // hash % capacity
  std::pmr::vector<Entry> entries_;
  std::size_t count_ = 0;
  std::uint64_t mutations_;
};

// Walks the keys of a JTDictionary in slot order.
class JTDictionaryEnumerator {
 public:
  explicit JTDictionaryEnumerator(std::shared_ptr<const JTDictionary> dictionary);
  // The next key, or None when every slot has been passed.
  platform::Value nextObject();
  // The keys not yet returned, in slot order, as an immutable array.
  platform::Value allObjects();

 private:
  std::shared_ptr<const JTDictionary> collection_;
  std::size_t nextObject_ = 0;
};

}  // namespace codecs
