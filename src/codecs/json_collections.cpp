#include "codecs/json_collections.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <iterator>
#include <new>
#include <utility>

#include "codecs/json_scanner.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"

namespace codecs {

using platform::Exception;
using platform::Value;

namespace {

constexpr std::size_t kCapacityTable[] = {
    0,        3,        7,        13,       23,        41,        71,        127,
    191,      251,      383,      631,      1087,      1723,      2803,      4523,
    7351,     11959,    19447,    31231,    50683,     81919,     132607,    214519,
    346607,   561109,   907759,   1468927,  2376191,   3845119,   6221311,   10066421,
    16287743, 26354171, 42641881, 68996069, 111638519, 180634607, 292272623, 472907251,
};

constexpr std::size_t kCapacityCount = std::size(kCapacityTable);

// hash % capacity with a constant divisor per table capacity, so that the
// compiler turns each into a multiplication instead of a division.
template <std::size_t I>
std::size_t slotModulo(std::uint64_t hash) {
  if constexpr (I == 0) {
    return 0;
  } else {
    return static_cast<std::size_t>(hash % kCapacityTable[I]);
  }
}

template <std::size_t... I>
constexpr std::array<JTDictionary::SlotFunction, sizeof...(I)> makeSlotFunctions(
    std::index_sequence<I...>) {
  return {&slotModulo<I>...};
}

constexpr auto kSlotFunctions = makeSlotFunctions(std::make_index_sequence<kCapacityCount>());

JTDictionary::SlotFunction slotFunctionFor(std::size_t capacity) {
  // Most tables are small: a short scan beats the binary search.
  for (std::size_t i = 0; i < 8; ++i) {
    if (kCapacityTable[i] == capacity) return kSlotFunctions[i];
  }
  const auto* it = std::lower_bound(std::begin(kCapacityTable), std::end(kCapacityTable), capacity);
  // Every capacity comes from the table; anything else would probe from 0.
  if (it == std::end(kCapacityTable) || *it != capacity) return kSlotFunctions[0];
  return kSlotFunctions[static_cast<std::size_t>(it - std::begin(kCapacityTable))];
}

[[noreturn]] void throwMutatingImmutable(const char* cls, const char* method) {
  throw Exception(
      platform::kInternalInconsistencyException,
      platform::format("*** -[%@ %@]: mutating method sent to immutable object", cls, method));
}

[[noreturn]] void throwBeyondBounds(const char* cls, const char* method, std::size_t index,
                                    std::size_t bound) {
  throw Exception(
      platform::kRangeException,
      platform::format("*** -[%@ %@]: index (%lu) beyond bounds (%lu)", cls, method, index, bound));
}

[[noreturn]] void throwPrivate(const char* cls) {
  throw Exception(platform::kInvalidArgumentException,
                  platform::format("*** - [%@ %@]: The %@ class is private to JSONTools and should "
                                   "not be used in this fashion.",
                                   cls, "allocWithZone:", cls));
}

// Stores `v` in `slot` inside a node of `arena`: moved when it is borrowed
// already (as everything the decoder builds is), pinned otherwise.
inline void keep(platform::ValueArena& arena, Value& slot, Value& v) {
  if (platform::ValueArena::isBorrowed(v)) {
    slot = std::move(v);
  } else {
    slot = arena.pin(v);
  }
}

// floor(count * 1.33) for small counts, worked out once, with the index of
// the capacity in kCapacityTable.
constexpr std::size_t kSmallCounts = 256;
struct SmallCapacityTable {
  std::size_t v[kSmallCounts];
  std::uint8_t index[kSmallCounts];
  constexpr SmallCapacityTable() : v(), index() {
    for (std::size_t n = 0; n < kSmallCounts; ++n) {
      const auto m = static_cast<std::size_t>(static_cast<double>(n) * 1.33);
      std::size_t i = 0;
      while (kCapacityTable[i] < m) ++i;
      v[n] = kCapacityTable[i];
      index[n] = static_cast<std::uint8_t>(i);
    }
  }
};
constexpr SmallCapacityTable kSmallCapacity;

inline std::uint64_t nextMutation(std::uint64_t m) { return m == UINT64_MAX ? 1 : m + 1; }

inline bool keysEqual(const Value& a, const Value& b) {
  if (a.isSameObject(b)) return true;
  if (a.isString() && b.isString()) return a.stringView() == b.stringView();
  return a == b;
}

}  // namespace

// ---------------------------------------------------------------------------
// JTArray

JTArray::JTArray(Key, std::vector<Value> objects, bool isMutable)
    : objects_(std::make_move_iterator(objects.begin()), std::make_move_iterator(objects.end())),
      capacity_(objects_.size()),
      mutations_(isMutable ? 1 : 0) {}

JTArray::JTArray(Key, platform::ValueArena& arena, Value* objects, std::size_t count)
    : arena_(arena.core()), objects_(arena.resource()), capacity_(count), mutations_(0) {
  // Everything held is borrowed (pinned when it was not), so the node needs
  // no destructor.
  objects_.reserve(count);
  objects_.resize(count);
  for (std::size_t i = 0; i < count; ++i) keep(arena, objects_[i], objects[i]);
}

namespace {
// Walks raw nodes as borrowed handles, so that a vector is built from them
// in one allocation without a capacity check per element.
class BorrowingIterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = Value;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = Value;

  BorrowingIterator() = default;
  explicit BorrowingIterator(const platform::ValueNode* const* at) : at_(at) {}
  Value operator*() const { return platform::ValueArena::borrow(*at_); }
  BorrowingIterator& operator++() {
    ++at_;
    return *this;
  }
  BorrowingIterator operator++(int) {
    BorrowingIterator before = *this;
    ++at_;
    return before;
  }
  bool operator==(const BorrowingIterator&) const = default;
  difference_type operator-(const BorrowingIterator& other) const { return at_ - other.at_; }

 private:
  const platform::ValueNode* const* at_ = nullptr;
};
}  // namespace

JTArray::JTArray(Key, platform::ValueArena& arena, const platform::ValueNode* const* objects,
                 std::size_t count)
    : arena_(arena.core()),
      objects_(BorrowingIterator(objects), BorrowingIterator(objects + count), arena.resource()),
      capacity_(count),
      mutations_(0) {}

const JTArray* JTArray::create(platform::ValueArena& arena,
                               const platform::ValueNode* const* objects, std::size_t count) {
  return arena.makeUntracked<JTArray>(Key{}, arena, objects, count);
}

Value JTArray::create(std::vector<Value> objects, bool isMutable) {
  return Value::fromNode(std::make_shared<JTArray>(Key{}, std::move(objects), isMutable));
}

Value JTArray::create(platform::ValueArena& arena, Value* objects, std::size_t count) {
  return platform::ValueArena::borrow(arena.makeUntracked<JTArray>(Key{}, arena, objects, count));
}

void JTArray::alloc() { throwPrivate("JTArray"); }

Value JTArray::at(std::size_t index) const {
  if (index >= objects_.size())
    throwBeyondBounds("JTArray", "objectAtIndex:", index, objects_.size());
  return platform::ValueArena::owned(arena_, objects_[index]);
}

void JTArray::getObjects(Value* buffer, std::size_t start, std::size_t length) const {
  const std::size_t rangeEnd = start + length;
  if (buffer == nullptr && rangeEnd > 0) {
    throw Exception(platform::kRangeException,
                    platform::format("*** -[%@ %@]: pointer to objects array is NULL but range "
                                     "length is %lu",
                                     "JTArray", "getObjects:range:", rangeEnd));
  }
  if (start > objects_.size() || rangeEnd > objects_.size() || rangeEnd < start) {
    throwBeyondBounds("JTArray", "getObjects:range:", rangeEnd, objects_.size());
  }
  for (std::size_t i = start; i < rangeEnd; ++i) {
    *buffer++ = platform::ValueArena::owned(arena_, objects_[i]);
  }
}

void JTArray::checkMutable(const char* method) const {
  if (mutations_ == 0) throwMutatingImmutable("JTArray", method);
}

void JTArray::bump() { mutations_ = nextMutation(mutations_); }

void JTArray::insert(std::size_t index, Value value) {
  constexpr const char* kMethod = "insertObject:atIndex:";
  checkMutable(kMethod);
  if (value.isNone()) {
    throw Exception(platform::kInvalidArgumentException,
                    platform::format("*** -[%@ %@]: attempt to insert nil", "JTArray", kMethod));
  }
  if (index > objects_.size()) throwBeyondBounds("JTArray", kMethod, index, objects_.size() + 1);
  if (objects_.size() + 1 >= capacity_) {
    capacity_ += 16;
    objects_.reserve(capacity_);
  }
  objects_.insert(objects_.begin() + static_cast<std::ptrdiff_t>(index), std::move(value));
  bump();
}

void JTArray::removeAt(std::size_t index) {
  constexpr const char* kMethod = "removeObjectAtIndex:";
  checkMutable(kMethod);
  if (index >= objects_.size()) throwBeyondBounds("JTArray", kMethod, index, objects_.size());
  objects_.erase(objects_.begin() + static_cast<std::ptrdiff_t>(index));
  bump();
}

void JTArray::replaceAt(std::size_t index, Value value) {
  constexpr const char* kMethod = "replaceObjectAtIndex:withObject:";
  checkMutable(kMethod);
  if (value.isNone()) {
    throw Exception(platform::kInvalidArgumentException,
                    platform::format("*** -[%@ %@]: attempt to insert nil", "JTArray", kMethod));
  }
  if (index >= objects_.size()) throwBeyondBounds("JTArray", kMethod, index, objects_.size());
  objects_[index] = std::move(value);
  bump();
}

// ---------------------------------------------------------------------------
// JTDictionary

JTDictionary::JTDictionary(Key, std::size_t capacity, bool isMutable)
    : slot_(slotFunctionFor(capacity)), entries_(capacity), mutations_(isMutable ? 1 : 0) {}

JTDictionary::JTDictionary(Key, platform::ValueArena& arena, std::size_t capacity)
    : JTDictionary(Key{}, arena, capacity, slotFunctionFor(capacity)) {}

JTDictionary::JTDictionary(Key, platform::ValueArena& arena, std::size_t capacity,
                           SlotFunction slot)
    : arena_(arena.core()), slot_(slot), entries_(capacity, arena.resource()), mutations_(0) {}

std::size_t JTDictionary::capacityForCount(std::size_t count) {
  if (count < kSmallCounts) return kSmallCapacity.v[count];
  const double m = std::floor(static_cast<double>(count) * 1.33);
  const auto* begin = std::begin(kCapacityTable);
  const auto* end = std::end(kCapacityTable);
  if (m > static_cast<double>(end[-1])) return 0;
  const auto* it = std::lower_bound(begin, end, static_cast<std::size_t>(m));
  return *it;
}

std::uint64_t JTDictionary::keyHash(const Value& key) {
  if (key.isString()) {
    const std::string_view s = key.stringView();
    return jtHashBytes(s.data(), s.size());
  }
  return static_cast<std::uint64_t>(key.hash());
}

Value JTDictionary::create(Value* keys, const std::uint64_t* hashes, Value* objects,
                           std::size_t count, bool isMutable) {
  const std::size_t capacity = capacityForCount(count);
  if (capacity == 0 && count > 0) {
    throw Exception(platform::kMallocException, "Unable to allocate memory for hash table.");
  }
  auto dict = std::make_shared<JTDictionary>(Key{}, capacity, isMutable);
  for (std::size_t i = 0; i < count; ++i) {
    dict->add(hashes[i], std::move(keys[i]), std::move(objects[i]));
  }
  return Value::fromNode(std::move(dict));
}

Value JTDictionary::create(platform::ValueArena& arena, Value* keys, const std::uint64_t* hashes,
                           Value* objects, std::size_t count) {
  const std::size_t capacity = capacityForCount(count);
  if (capacity == 0 && count > 0) {
    throw Exception(platform::kMallocException, "Unable to allocate memory for hash table.");
  }
  // Everything held is borrowed (pinned when it was not), so the node needs
  // no destructor.
  auto* dict = arena.makeUntracked<JTDictionary>(Key{}, arena, capacity);
  for (std::size_t i = 0; i < count; ++i) {
    Entry* e = dict->place(hashes[i], keys[i]);
    if (e == nullptr) continue;
    if (e->key.isNone()) {
      e->hash = hashes[i];
      ++dict->count_;
    }
    keep(arena, e->key, keys[i]);
    keep(arena, e->object, objects[i]);
  }
  return platform::ValueArena::borrow(dict);
}

// Puts `pair` into the empty entry `e` (a new table's: no handle in it, so
// nothing to release), built in place rather than assigned.
void JTDictionary::settle(Entry& e, const NodePair& pair) {
  new (&e) Entry{pair.hash, platform::ValueArena::borrow(pair.key),
                 platform::ValueArena::borrow(pair.object)};
}

// Files pair `i` of `pairs` into the table at `entries` of `capacity`
// slots by linear probing from `first`: into the first empty slot, or over
// the pair of an equal key (a later equal key replaces the earlier pair).
// Returns the index of the slot, or `capacity` when it replaced a pair.
std::size_t JTDictionary::placePair(Entry* entries, std::size_t capacity, std::size_t first,
                                    const NodePair& pair) {
  std::size_t index = first;
  for (std::size_t probes = 0; probes < capacity; ++probes) {
    Entry& e = entries[index];
    if (e.key.node() == nullptr) {
      settle(e, pair);
      return index;
    }
    if (e.hash == pair.hash) {
      const Value key = platform::ValueArena::borrow(pair.key);
      if (keysEqual(e.key, key)) {
        e.key = key;
        e.object = platform::ValueArena::borrow(pair.object);
        return capacity;
      }
    }
    if (++index == capacity) index = 0;
  }
  return capacity;  // no room (cannot happen: the table has a slot per pair)
}

// Files `count` pairs into the new table at `entries` (every entry empty)
// of `capacity` slots, at least `count`. `slotOf(hash)` is the pair's first
// slot. Returns the number of entries filled.
template <class SlotOf>
std::size_t JTDictionary::fill(Entry* entries, std::size_t capacity, SlotOf slotOf,
                               const NodePair* pairs, std::size_t count) {
  std::size_t used = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (placePair(entries, capacity, slotOf(pairs[i].hash), pairs[i]) != capacity) ++used;
  }
  return used;
}

// The same for a table of fewer than 64 slots, with a mask of the slots in
// use: a pair whose hash no earlier pair has cannot meet its key, so its
// slot is the first free one from its first slot on, found without walking
// the entries.
template <class SlotOf>
std::size_t JTDictionary::fillSmall(Entry* entries, std::size_t capacity, SlotOf slotOf,
                                    const NodePair* pairs, std::size_t count) {
  const std::uint64_t all = (std::uint64_t{1} << capacity) - 1;
  std::uint64_t used = 0;  // bit i: slot i holds a pair
  std::uint64_t seen = 0;  // bit h % 64: an earlier pair's hash h
  std::size_t filled = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const NodePair& pair = pairs[i];
    const std::uint64_t hashBit = std::uint64_t{1} << (pair.hash & 63);
    bool repeated = false;
    if ((seen & hashBit) != 0) {
      for (std::size_t j = 0; j < i; ++j) repeated |= pairs[j].hash == pair.hash;
    }
    seen |= hashBit;
    const std::size_t first = slotOf(pair.hash);
    std::size_t index;
    if (repeated) {
      index = placePair(entries, capacity, first, pair);
      if (index == capacity) continue;
    } else {
      // The slots in use from `first` on, round the end of the table.
      const std::uint64_t ahead = ((used >> first) | (used << (capacity - first))) & all;
      index = first + static_cast<std::size_t>(std::countr_one(ahead));
      if (index >= capacity) index -= capacity;
      settle(entries[index], pair);
    }
    used |= std::uint64_t{1} << index;
    ++filled;
  }
  return filled;
}

const JTDictionary* JTDictionary::create(platform::ValueArena& arena, const NodePair* pairs,
                                         std::size_t count) {
  std::size_t capacity;
  std::size_t tableIndex;
  if (count < kSmallCounts) {
    capacity = kSmallCapacity.v[count];
    tableIndex = kSmallCapacity.index[count];
  } else {
    capacity = capacityForCount(count);
    if (capacity == 0) {
      throw Exception(platform::kMallocException, "Unable to allocate memory for hash table.");
    }
    tableIndex = static_cast<std::size_t>(
        std::lower_bound(std::begin(kCapacityTable), std::end(kCapacityTable), capacity) -
        std::begin(kCapacityTable));
  }
  auto* dict =
      arena.makeUntracked<JTDictionary>(Key{}, arena, capacity, kSlotFunctions[tableIndex]);
  Entry* entries = dict->entries_.data();
  // The small tables most objects get, with the slot's modulo inlined.
  auto small = [&](auto index) {
    constexpr std::size_t kCapacity = kCapacityTable[decltype(index)::value];
    static_assert(kCapacity < 64);
    return fillSmall(
        entries, kCapacity,
        [](std::uint64_t hash) { return slotModulo<decltype(index)::value>(hash); }, pairs, count);
  };
  switch (tableIndex) {
    case 0:
      dict->count_ = 0;  // no pairs
      break;
    case 1:
      dict->count_ = small(std::integral_constant<std::size_t, 1>());
      break;
    case 2:
      dict->count_ = small(std::integral_constant<std::size_t, 2>());
      break;
    case 3:
      dict->count_ = small(std::integral_constant<std::size_t, 3>());
      break;
    case 4:
      dict->count_ = small(std::integral_constant<std::size_t, 4>());
      break;
    default:
      dict->count_ = fill(entries, capacity, dict->slot_, pairs, count);
      break;
  }
  return dict;
}

Value JTDictionary::create(std::vector<Value>&& keys, const std::vector<std::uint64_t>& hashes,
                           std::vector<Value>&& objects, bool isMutable) {
  const std::size_t n = std::min({keys.size(), hashes.size(), objects.size()});
  return create(keys.data(), hashes.data(), objects.data(), n, isMutable);
}

void JTDictionary::alloc() { throwPrivate("JTDictionary"); }

const JTDictionary::Entry* JTDictionary::lookup(const Value& key, std::uint64_t hash) const {
  const std::size_t capacity = entries_.size();
  if (key.isNone() || capacity == 0) return nullptr;
  std::size_t index = slot_(hash);
  for (std::size_t i = 0; i < capacity; ++i) {
    const Entry& e = entries_[index];
    if (e.key.isNone()) return nullptr;
    if (e.hash == hash && keysEqual(e.key, key)) return &e;
    if (++index == capacity) index = 0;
  }
  return nullptr;
}

Value JTDictionary::find(const Value& key) const {
  if (key.isNone() || entries_.empty()) return Value();
  const Entry* e = lookup(key, keyHash(key));
  return e ? owned(e->object) : Value();
}

JTDictionary::Entry* JTDictionary::place(std::uint64_t hash, const Value& key) {
  const std::size_t capacity = entries_.size();
  std::size_t index = slot_(hash);
  for (std::size_t i = 0; i < capacity; ++i) {
    Entry& e = entries_[index];
    if (e.key.isNone() || (e.hash == hash && keysEqual(e.key, key))) return &e;
    if (++index == capacity) index = 0;
  }
  return nullptr;
}

void JTDictionary::add(std::uint64_t hash, Value key, Value object) {
  const std::size_t capacity = entries_.size();
  if (capacity == 0) return;
  std::size_t index = slot_(hash);
  for (std::size_t i = 0; i < capacity; ++i) {
    Entry& e = entries_[index];
    if (e.key.isNone()) {
      e.hash = hash;
      e.key = std::move(key);
      e.object = std::move(object);
      ++count_;
      return;
    }
    if (e.hash == hash && keysEqual(e.key, key)) {
      // A later equal key replaces the earlier pair.
      e.key = std::move(key);
      e.object = std::move(object);
      return;
    }
    if (++index == capacity) index = 0;
  }
  // No empty slot: the pair is dropped (cannot happen with table capacities).
}

void JTDictionary::removeEntry(std::size_t index) {
  const std::size_t capacity = entries_.size();
  entries_[index] = Entry();
  --count_;
  // Re-add the rest of the cluster so every remaining pair stays reachable.
  std::size_t j = index;
  for (std::size_t n = 1; n < capacity; ++n) {
    if (++j == capacity) j = 0;
    if (entries_[j].key.isNone()) break;
    Entry moved = std::move(entries_[j]);
    entries_[j] = Entry();
    --count_;
    add(moved.hash, std::move(moved.key), std::move(moved.object));
  }
}

void JTDictionary::checkMutable(const char* method) const {
  if (mutations_ == 0) throwMutatingImmutable("JTDictionary", method);
}

void JTDictionary::bump() { mutations_ = nextMutation(mutations_); }

void JTDictionary::resizeIfNecessary() {
  const std::size_t wanted = capacityForCount(count_ + 1);
  if (wanted == 0) {
    throw Exception(platform::kMallocException, "Unable to allocate memory for hash table.");
  }
  if (entries_.size() >= wanted) return;
  std::pmr::vector<Entry> old(wanted, entries_.get_allocator());
  old.swap(entries_);
  slot_ = slotFunctionFor(wanted);
  count_ = 0;
  for (Entry& e : old) {
    if (!e.key.isNone()) add(e.hash, std::move(e.key), std::move(e.object));
  }
}

void JTDictionary::set(const Value& key, Value value) {
  constexpr const char* kMethod = "setObject:forKey:";
  checkMutable(kMethod);
  if (key.isNone()) {
    throw Exception(
        platform::kInvalidArgumentException,
        platform::format("*** -[%@ %@]: attempt to insert nil key", "JTDictionary", kMethod));
  }
  if (value.isNone()) {
    throw Exception(platform::kInvalidArgumentException,
                    platform::format("*** -[%@ %@]: attempt to insert nil value (key: %@)",
                                     "JTDictionary", kMethod, key));
  }
  resizeIfNecessary();
  // The dictionary keeps its own immutable copy of the key.
  Value stored = key.isMutable() ? key.copy() : key;
  const std::uint64_t hash = keyHash(stored);
  add(hash, std::move(stored), std::move(value));
  bump();
}

void JTDictionary::remove(const Value& key) {
  constexpr const char* kMethod = "removeObjectForKey:";
  checkMutable(kMethod);
  if (key.isNone()) {
    throw Exception(
        platform::kInvalidArgumentException,
        platform::format("*** -[%@ %@]: attempt to remove nil key", "JTDictionary", kMethod));
  }
  const Entry* e = lookup(key, keyHash(key));
  if (e == nullptr) return;
  removeEntry(static_cast<std::size_t>(e - entries_.data()));
  bump();
}

void JTDictionary::forEach(
    const std::function<bool(const Value& key, const Value& value)>& fn) const {
  const std::uint64_t start = mutations_;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].key.isNone()) continue;
    // Copies keep the pair alive even if the callback mutates the table.
    const Value key = owned(entries_[i].key);
    const Value object = owned(entries_[i].object);
    if (!fn(key, object)) return;
    if (mutations_ != start) {
      throw Exception(platform::kGenericException,
                      "*** Collection <JTDictionary> was mutated while being enumerated.");
    }
  }
}

void JTDictionary::getObjectsAndKeys(Value* objects, Value* keys) const {
  std::size_t n = 0;
  for (const Entry& e : entries_) {
    if (e.key.isNone()) continue;
    if (objects) objects[n] = owned(e.object);
    if (keys) keys[n] = owned(e.key);
    ++n;
  }
}

// ---------------------------------------------------------------------------
// JTDictionaryEnumerator

JTDictionaryEnumerator::JTDictionaryEnumerator(std::shared_ptr<const JTDictionary> dictionary)
    : collection_(std::move(dictionary)) {}

Value JTDictionaryEnumerator::nextObject() {
  if (!collection_) return Value();
  const auto& entries = collection_->entries_;
  while (nextObject_ < entries.size()) {
    const auto& e = entries[nextObject_++];
    if (!e.key.isNone()) return collection_->owned(e.key);
  }
  return Value();
}

Value JTDictionaryEnumerator::allObjects() {
  std::vector<Value> keys;
  for (Value k = nextObject(); !k.isNone(); k = nextObject()) keys.push_back(std::move(k));
  return Value::array(std::move(keys));
}

}  // namespace codecs
