// The standard array and dictionary storage behind Value::array,
// Value::dictionary and their mutable forms.
//
// Guarantees:
//  1. StandardArray keeps its elements in a vector; StandardDictionary keeps
//     its pairs in insertion order with a hash index on the keys, so lookups
//     are O(1) on average and enumeration follows insertion order. Setting
//     an existing key replaces its value in place (the key keeps its
//     position); removing a key keeps the order of the others.
//  2. An immutable storage (mutations() == 0) throws
//     NSInternalInconsistencyException from every mutating call; a mutable
//     one starts with a mutation counter of 1 and bumps it on every change.
//  3. forEach on a mutable dictionary throws NSGenericException when the
//     callback mutates the dictionary under it.
//
// Thread safety: as Value (immutable storages may be shared freely; a
// mutable one is used by one thread at a time).
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "platform/foundation/value.h"

namespace platform {

class StandardArray final : public ArrayStorage {
 public:
  StandardArray(std::vector<Value> elements, bool isMutable);

  std::size_t count() const override { return elements_.size(); }
  Value at(std::size_t index) const override;
  std::uint64_t mutations() const override { return mutations_; }
  void insert(std::size_t index, Value value) override;
  void removeAt(std::size_t index) override;
  void replaceAt(std::size_t index, Value value) override;

  const std::vector<Value>& elements() const { return elements_; }

 private:
  void checkMutable(const char* method) const;
  const char* className() const;
  std::vector<Value> elements_;
  std::uint64_t mutations_;
};

class StandardDictionary final : public DictionaryStorage {
 public:
  StandardDictionary(std::vector<std::pair<Value, Value>> pairs, bool isMutable);

  std::size_t count() const override { return index_.size(); }
  Value find(const Value& key) const override;
  std::uint64_t mutations() const override { return mutations_; }
  void forEach(const std::function<bool(const Value& key, const Value& value)>& fn) const override;
  void set(const Value& key, Value value) override;
  void remove(const Value& key) override;

 private:
  struct Slot {
    Value key;
    Value value;  // None marks a removed slot
  };
  void checkMutable(const char* method) const;
  const char* className() const;
  void store(const Value& key, Value value);
  void compact();

  // The index hashes text and data keys under a per-process secret key
  // (keyedHash), so that keys chosen to collide (a peer's message, a
  // server's reply) cannot make lookups walk them all; other keys as
  // Value::hash. The order of the dictionary is slots_', never the index's.
  struct IndexHash {
    std::size_t operator()(const Value& key) const;
  };

  std::vector<Slot> slots_;
  std::unordered_map<Value, std::size_t, IndexHash> index_;
  std::uint64_t mutations_;
};

}  // namespace platform
