#include "platform/foundation/value_collections.h"

#include <cstdio>
#include <string>

#include "platform/foundation/exception.h"
#include "platform/foundation/keyed_hash.h"

namespace platform {

namespace {

std::string boundsReason(const char* cls, const char* method, std::size_t index,
                         std::size_t count) {
  std::string text = std::string("*** -[") + cls + " " + method + "]: index " +
                     std::to_string(index) + " beyond bounds ";
  if (count == 0) {
    text += "for empty array";
  } else {
    text += "[0 .. " + std::to_string(count - 1) + "]";
  }
  return text;
}

[[noreturn]] void throwImmutable(const char* cls, const char* method) {
  throw Exception(
      kInternalInconsistencyException,
      std::string("*** -[") + cls + " " + method + "]: mutating method sent to immutable object");
}

}  // namespace

// --- StandardArray -----------------------------------------------------------

StandardArray::StandardArray(std::vector<Value> elements, bool isMutable)
    : elements_(std::move(elements)), mutations_(isMutable ? 1 : 0) {}

const char* StandardArray::className() const { return mutations_ ? "__NSArrayM" : "__NSArrayI"; }

void StandardArray::checkMutable(const char* method) const {
  if (mutations_ == 0) throwImmutable(className(), method);
}

Value StandardArray::at(std::size_t index) const {
  if (index >= elements_.size()) {
    throw Exception(kRangeException,
                    boundsReason(className(), "objectAtIndex:", index, elements_.size()));
  }
  return elements_[index];
}

void StandardArray::insert(std::size_t index, Value value) {
  checkMutable("insertObject:atIndex:");
  if (value.isNone()) {
    throw Exception(kInvalidArgumentException,
                    "*** -[__NSArrayM insertObject:atIndex:]: object cannot be nil");
  }
  if (index > elements_.size()) {
    throw Exception(kRangeException,
                    boundsReason(className(), "insertObject:atIndex:", index, elements_.size()));
  }
  elements_.insert(elements_.begin() + static_cast<std::ptrdiff_t>(index), std::move(value));
  ++mutations_;
}

void StandardArray::removeAt(std::size_t index) {
  checkMutable("removeObjectAtIndex:");
  if (index >= elements_.size()) {
    throw Exception(kRangeException,
                    boundsReason(className(), "removeObjectAtIndex:", index, elements_.size()));
  }
  elements_.erase(elements_.begin() + static_cast<std::ptrdiff_t>(index));
  ++mutations_;
}

void StandardArray::replaceAt(std::size_t index, Value value) {
  checkMutable("replaceObjectAtIndex:withObject:");
  if (value.isNone()) {
    throw Exception(kInvalidArgumentException,
                    "*** -[__NSArrayM replaceObjectAtIndex:withObject:]: object cannot be nil");
  }
  if (index >= elements_.size()) {
    throw Exception(
        kRangeException,
        boundsReason(className(), "replaceObjectAtIndex:withObject:", index, elements_.size()));
  }
  elements_[index] = std::move(value);
  ++mutations_;
}

// --- StandardDictionary --------------------------------------------------------

std::size_t StandardDictionary::IndexHash::operator()(const Value& key) const {
  if (key.isString()) return static_cast<std::size_t>(keyedHash(key.stringView()));
  if (key.isData()) {
    const Bytes& b = key.asData();
    return static_cast<std::size_t>(
        keyedHash(std::string_view(reinterpret_cast<const char*>(b.data()), b.size())));
  }
  return key.hash();
}

StandardDictionary::StandardDictionary(std::vector<std::pair<Value, Value>> pairs, bool isMutable)
    : mutations_(isMutable ? 1 : 0) {
  slots_.reserve(pairs.size());
  index_.reserve(pairs.size());
  for (auto& [key, value] : pairs) {
    if (key.isNone() || value.isNone()) {
      throw Exception(kInvalidArgumentException,
                      "*** -[NSDictionary initWithObjects:forKeys:count:]: attempt to insert nil "
                      "object");
    }
    store(key, std::move(value));
  }
}

const char* StandardDictionary::className() const {
  return mutations_ ? "__NSDictionaryM" : "__NSDictionaryI";
}

void StandardDictionary::checkMutable(const char* method) const {
  if (mutations_ == 0) throwImmutable(className(), method);
}

Value StandardDictionary::find(const Value& key) const {
  auto it = index_.find(key);
  return it == index_.end() ? Value() : slots_[it->second].value;
}

void StandardDictionary::forEach(
    const std::function<bool(const Value& key, const Value& value)>& fn) const {
  const std::uint64_t start = mutations_;
  // Index-based: the callback may not mutate, but if it does the vector may
  // have moved, so never hold references across the call.
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].value.isNone()) continue;
    Value key = slots_[i].key;
    Value value = slots_[i].value;
    const bool more = fn(key, value);
    if (mutations_ != start) {
      throw Exception(kGenericException,
                      "*** Collection <__NSDictionaryM> was mutated while being enumerated.");
    }
    if (!more) break;
  }
}

void StandardDictionary::store(const Value& key, Value value) {
  auto it = index_.find(key);
  if (it != index_.end()) {
    slots_[it->second].value = std::move(value);
    return;
  }
  // Keys are copied so that a mutable key changed later cannot corrupt the index.
  Value stored = key.copy();
  index_.emplace(stored, slots_.size());
  slots_.push_back(Slot{std::move(stored), std::move(value)});
}

void StandardDictionary::set(const Value& key, Value value) {
  checkMutable("setObject:forKey:");
  if (key.isNone()) {
    throw Exception(kInvalidArgumentException,
                    "*** -[__NSDictionaryM setObject:forKey:]: key cannot be nil");
  }
  if (value.isNone()) {
    throw Exception(kInvalidArgumentException,
                    "*** -[__NSDictionaryM setObject:forKey:]: object cannot be nil (key: " +
                        key.description() + ")");
  }
  store(key, std::move(value));
  ++mutations_;
}

void StandardDictionary::remove(const Value& key) {
  checkMutable("removeObjectForKey:");
  if (key.isNone()) {
    throw Exception(kInvalidArgumentException,
                    "*** -[__NSDictionaryM removeObjectForKey:]: key cannot be nil");
  }
  auto it = index_.find(key);
  if (it == index_.end()) return;
  Slot& slot = slots_[it->second];
  slot.key = Value();
  slot.value = Value();
  index_.erase(it);
  ++mutations_;
  if (slots_.size() > 16 && index_.size() * 2 < slots_.size()) compact();
}

void StandardDictionary::compact() {
  std::vector<Slot> live;
  live.reserve(index_.size());
  for (auto& slot : slots_) {
    if (slot.value.isNone()) continue;
    index_[slot.key] = live.size();
    live.push_back(std::move(slot));
  }
  slots_ = std::move(live);
}

}  // namespace platform
