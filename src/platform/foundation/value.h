// platform::Value: the one property-list value type of the whole program.
//
// Everything that JSON, channel messages, user defaults, account dictionaries
// and property lists carry is a Value: none (an absent value), null, bool,
// signed and unsigned 64-bit integers (keeping which), real, UTF-8 string,
// data, date, array and dictionary (keeping insertion order).
//
// Guarantees:
//  1. A Value is a small handle to a reference-counted node. Copying a Value
//     never copies the node; `isSameObject` tells whether two handles share
//     one node (the JSON decoder's leaf cache and the encoder's output cache
//     rely on it).
//  2. Scalars and strings are immutable. Arrays and dictionaries are either
//     immutable or mutable for their whole life; a mutating call on an
//     immutable collection throws platform::Exception
//     "NSInternalInconsistencyException".
//  3. Mutable collections carry a mutation counter (never 0 once mutable),
//     so an iteration can detect that the collection changed under it.
//  4. Arrays and dictionaries are interfaces (ArrayStorage,
//     DictionaryStorage) with more than one implementation: the standard
//     ones here and the JSON codec's own. Every Value operation works on any
//     implementation.
//  5. Equality (`==`) is deep: numbers compare by numeric value (a bool is
//     the number 0 or 1), strings by bytes, collections element by element
//     (dictionaries regardless of order). `hash` agrees with `==`.
//  6. A string node holds its bytes in one of two ways: in a std::string of
//     its own (strings made here), or in the memory of a ValueArena (strings
//     the JSON decoder makes), where `asString` materialises a std::string
//     lazily, once, and frees it with the arena. Both kinds behave alike in
//     every operation; `stringView` reaches the bytes of either without a
//     copy.
//
// Not promised: a mutable collection is not safe to mutate while another
// thread reads it. Immutable values may be read from any thread.
//
// Thread safety: immutable values may be shared freely (an arena string may
// be asked for its std::string by several threads at once); a mutable
// collection is used by one thread at a time.
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/foundation/date.h"

namespace platform {

using Bytes = std::vector<std::uint8_t>;

enum class ValueKind {
  None,  // no value at all (a missing key, a failed conversion): "nil"
  Null,  // the explicit null marker (JSON null)
  Bool,
  Int,   // signed 64-bit
  UInt,  // unsigned 64-bit
  Real,  // double
  String,
  Data,
  Date,
  Array,
  Dictionary,
};

class Value;

// Base of every node. Users never see it except when writing a collection
// implementation.
class ValueNode {
 public:
  virtual ~ValueNode() = default;
  virtual ValueKind kind() const = 0;
};

// The primitive operations of an array. Implementations beyond the standard
// one (for example the JSON codec's) derive from this.
class ArrayStorage : public ValueNode {
 public:
  ValueKind kind() const final { return ValueKind::Array; }
  virtual std::size_t count() const = 0;
  virtual Value at(std::size_t index) const = 0;  // throws NSRangeException beyond count
  // 0 for an immutable array; a mutable one starts at 1 and changes on every mutation.
  virtual std::uint64_t mutations() const = 0;
  bool isMutable() const { return mutations() != 0; }
  // Mutations: throw NSInternalInconsistencyException on an immutable array.
  virtual void insert(std::size_t index, Value value) = 0;
  virtual void removeAt(std::size_t index) = 0;
  virtual void replaceAt(std::size_t index, Value value) = 0;
};

// The primitive operations of a dictionary. Keys are Values (in practice
// strings). Enumeration order is the implementation's: insertion order for
// the standard dictionary.
class DictionaryStorage : public ValueNode {
 public:
  ValueKind kind() const final { return ValueKind::Dictionary; }
  virtual std::size_t count() const = 0;
  // None when absent. `key` may be a borrowed handle to a node on the
  // caller's stack (a lookup by key text): never keep it beyond the call.
  virtual Value find(const Value& key) const = 0;
  virtual std::uint64_t mutations() const = 0;
  bool isMutable() const { return mutations() != 0; }
  // Calls `fn` for each pair until it returns false.
  virtual void forEach(
      const std::function<bool(const Value& key, const Value& value)>& fn) const = 0;
  // Mutations: throw NSInternalInconsistencyException on an immutable dictionary.
  virtual void set(const Value& key, Value value) = 0;
  virtual void remove(const Value& key) = 0;
};

class Value {
 public:
  // --- construction -------------------------------------------------------
  Value() = default;  // None
  static Value null();
  Value(bool b);
  template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char>) Value(T n) : Value(fromInteger(n)) {}
  Value(double d);
  Value(const char* s);  // nullptr gives None
  Value(char* s) : Value(static_cast<const char*>(s)) {}
  // Any other pointer would silently become the bool `true`; refuse it.
  template <class T>
  Value(T*) = delete;
  Value(std::string s);
  Value(std::string_view s);
  Value(Date d);
  static Value data(Bytes bytes);
  static Value data(const void* bytes, std::size_t length);

  // Immutable collections.
  static Value array(std::vector<Value> elements = {});
  static Value array(std::initializer_list<Value> elements);
  static Value dictionary(std::vector<std::pair<Value, Value>> pairs = {});
  static Value dictionary(std::initializer_list<std::pair<Value, Value>> pairs);
  // Mutable collections (empty, or filled with the given elements).
  static Value mutableArray(std::vector<Value> elements = {});
  static Value mutableDictionary(std::vector<std::pair<Value, Value>> pairs = {});
  // Wraps any node, e.g. a collection implementation of another subsystem.
  static Value fromNode(std::shared_ptr<ValueNode> node) { return Value(std::move(node)); }

  // --- kind ---------------------------------------------------------------
  ValueKind kind() const { return node_ ? node_->kind() : ValueKind::None; }
  bool isNone() const { return !node_; }
  explicit operator bool() const { return node_ != nullptr; }  // true unless None
  bool isNull() const { return kind() == ValueKind::Null; }
  bool isBool() const { return kind() == ValueKind::Bool; }
  bool isInt() const { return kind() == ValueKind::Int; }
  bool isUInt() const { return kind() == ValueKind::UInt; }
  bool isReal() const { return kind() == ValueKind::Real; }
  bool isNumber() const;  // Bool, Int, UInt or Real
  bool isString() const { return kind() == ValueKind::String; }
  bool isData() const { return kind() == ValueKind::Data; }
  bool isDate() const { return kind() == ValueKind::Date; }
  bool isArray() const { return kind() == ValueKind::Array; }
  bool isDictionary() const { return kind() == ValueKind::Dictionary; }
  bool isMutable() const;  // a mutable array or dictionary

  // The platform's one-letter number type code: 'c' bool, 'i' 32-bit or
  // smaller signed integer, 'I' 32-bit or smaller unsigned, 'q' signed
  // 64-bit, 'Q' unsigned 64-bit, 'd' real; 0 when not a number.
  char numberType() const;

  // --- scalar access (lenient conversions, never throw) --------------------
  // A bool or a number; a string answers as the platform's boolValue does
  // (leading blanks skipped, then "Y", "y", "T", "t" or a digit 1-9 is true).
  bool asBool() const;
  std::int64_t asInt64() const;    // numbers (reals truncated) and decimal strings; else 0
  std::uint64_t asUInt64() const;  // likewise
  double asDouble() const;         // numbers and decimal strings; else 0
  // The string itself; an empty string for anything else. The reference
  // lives as long as the string node. A string made by a ValueArena keeps
  // its bytes in the arena and makes this std::string on the first call
  // only (once, even when several threads ask at the same time); prefer
  // stringView, which never copies.
  const std::string& asString() const;
  // The bytes of any string node without a copy; empty for anything else.
  // The view lives as long as the string node.
  std::string_view stringView() const;
  // The bytes of data; empty for anything else.
  const Bytes& asData() const;
  Date asDate() const;  // the date; the 1970 epoch for anything else

  // --- collections ---------------------------------------------------------
  std::size_t count() const;                  // elements or pairs; 0 for others
  Value operator[](std::size_t index) const;  // None beyond count or if not an array
  // Any other integer index (so that v[0] is not ambiguous with the key
  // overloads); a negative index gives None.
  template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, std::size_t>) Value operator[](
      T index) const {
    if constexpr (std::is_signed_v<T>) {
      if (index < 0) return Value();
    }
    return (*this)[static_cast<std::size_t>(index)];
  }
  Value at(std::size_t index) const;  // throws NSRangeException beyond count
  // None when absent or not a dictionary; allocates nothing.
  Value operator[](std::string_view key) const;
  Value operator[](const char* key) const { return (*this)[std::string_view(key)]; }
  Value get(const Value& key) const;  // None when absent or not a dictionary
  bool contains(std::string_view key) const { return !(*this)[key].isNone(); }
  std::vector<Value> elements() const;  // an array's elements, in order
  std::vector<Value> keys() const;      // a dictionary's keys, in enumeration order
  std::vector<std::pair<Value, Value>> pairs() const;
  // Calls `fn` for each pair of a dictionary, or for each element of an array
  // with its index (an unsigned number) as the key, until it returns false.
  // Mutating the collection from `fn` throws NSGenericException.
  void forEach(const std::function<bool(const Value& key, const Value& value)>& fn) const;
  std::uint64_t mutations() const;  // the collection's mutation counter; 0 otherwise

  // Mutations of a mutable collection. Each throws platform::Exception:
  // "NSInternalInconsistencyException" on an immutable collection or a
  // non-collection, "NSInvalidArgumentException" for a None value or key,
  // "NSRangeException" for a bad index.
  void append(Value value);
  void insert(std::size_t index, Value value);
  void removeAt(std::size_t index);
  void replaceAt(std::size_t index, Value value);
  void set(const Value& key, Value value);
  void set(std::string_view key, Value value) { set(Value(key), std::move(value)); }
  void set(const char* key, Value value) { set(Value(std::string_view(key)), std::move(value)); }
  void set(const std::string& key, Value value) {
    set(Value(std::string_view(key)), std::move(value));
  }
  void remove(const Value& key);
  void remove(std::string_view key) { remove(Value(key)); }
  void remove(const char* key) { remove(Value(std::string_view(key))); }
  void remove(const std::string& key) { remove(Value(std::string_view(key))); }
  void addEntriesFrom(const Value& dictionary);

  // An immutable copy: the same object when already immutable; collections
  // are copied one level deep (elements are shared).
  Value copy() const;
  // A new mutable collection holding the same elements (one level deep).
  Value mutableCopy() const;

  // --- identity, equality, description -------------------------------------
  bool isSameObject(const Value& other) const { return node_ == other.node_; }
  const ValueNode* node() const { return node_.get(); }
  const std::shared_ptr<ValueNode>& nodePtr() const { return node_; }
  friend bool operator==(const Value& a, const Value& b);
  std::size_t hash() const;
  // The platform's description: strings as they are at top level, numbers
  // in decimal, bools as 1/0, data as "<0a0b0c0d ...>", dates as
  // "2026-12-08 19:32:44 +0000", arrays "(\n    a,\n    b\n)", dictionaries
  // "{\n    key = value;\n}", null as "<null>", None as "(null)". Strings
  // inside collections are quoted when they hold anything but letters,
  // digits, '_', '.', '/' and '$' (ASCII), with '"', '\\' and line breaks
  // escaped; null and dates are quoted there too. Dictionaries list their
  // pairs in enumeration order. A nested collection opens with its own
  // indent after "key = " or the element indent, as the platform writes it:
  // "{\n    a =     (\n        1\n    );\n}".
  std::string description() const;

 private:
  explicit Value(std::shared_ptr<ValueNode> n) : node_(std::move(n)) {}
  static Value fromInt64(std::int64_t n, char type);
  static Value fromUInt64(std::uint64_t n, char type);
  template <std::integral T>
  static Value fromInteger(T n) {
    if constexpr (std::is_signed_v<T>) {
      return fromInt64(static_cast<std::int64_t>(n), sizeof(T) <= 4 ? 'i' : 'q');
    } else {
      return fromUInt64(static_cast<std::uint64_t>(n), sizeof(T) <= 4 ? 'I' : 'Q');
    }
  }
  std::shared_ptr<ValueNode> node_;
};

struct ValueHash {
  std::size_t operator()(const Value& v) const { return v.hash(); }
};

}  // namespace platform
