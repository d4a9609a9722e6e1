// JSONDecoder: turns UTF-8 JSON text into a tree of Values whose arrays and
// dictionaries are the codec's own JTArray and JTDictionary.
//
// Guarantees:
//  1. A parse returns the root (an array or a dictionary) or None; None always
//     comes with an error (domain "JTErrorDomain", the first recorded message
//     under the localized-description key, the byte offset under
//     "JTAtIndexKey" and the line under "JTLineNumberKey"). No partial result
//     is ever returned.
//  2. Nesting deeper than kJTMaximumNestingDepth arrays and objects is an
//     error with code kJTErrorCodeNestingTooDeep, never a stack overflow.
//  3. The immutable forms return collections that throw on mutation; the
//     mutable forms return collections that accept it (strings and numbers
//     are always immutable).
//  4. A decoder keeps a cache of 1,024 recently built strings (keys up to
//     256 bytes, values up to 16) and numbers (up to 16 characters of text;
//     longer values, such as messages or reals printed at full precision,
//     hardly ever repeat), so equal leaves
//     within one document, or across documents parsed with the same
//     decoder, are usually the same object (Value::isSameObject). In an
//     immutable parse, string values of a dictionary key whose last eight
//     values all missed the cache skip it, but for every sixteenth (values
//     such as identifiers never repeat, and a probe costs more than the
//     leaf). The cache
//     never keeps a document alive: a leaf is shared with a later parse only
//     while its first document lives (and for the 16 most recent parses).
//     Decoders never share leaves with each other.
//  5. An immutable parse builds the whole tree in one platform::ValueArena:
//     a handful of allocations per document instead of one per value, the
//     bytes of every string included (Value::stringView reads them in
//     place; Value::asString makes a std::string on first demand). The
//     price: any handle into the tree keeps the whole document's memory,
//     and a leaf shared from an earlier document keeps that one too. A
//     mutable parse allocates its collections one by one (so that mutation
//     cannot tie arenas together); only its leaves share an arena.
//
// Cost: the cache and the parse stacks are a workspace of about 120 KB. A
// decoder going away leaves its workspace to the next decoder made on the
// same thread (one per thread, emptied of every leaf and stack entry, its
// stacks trimmed), so a decoder per document, as the free functions make,
// costs no more than clearing 4 KB of cache tags.
//
// Thread safety: one decoder runs one parse at a time (no lock); the free
// functions make their own decoder per call and may be used from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codecs/json_collections.h"
#include "codecs/json_scanner.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/foundation/value_arena.h"

namespace codecs {

class JSONDecoder {
 public:
  // Throws NSInvalidArgumentException "Invalid parse options." for any bit
  // outside JTParseFlagValidFlags.
  explicit JSONDecoder(std::uint64_t parseOptions = JTParseFlagNone);
  ~JSONDecoder();
  static std::shared_ptr<JSONDecoder> decoder();
  static std::shared_ptr<JSONDecoder> decoderWithParseOptions(std::uint64_t parseOptions);

  JSONDecoder(const JSONDecoder&) = delete;
  JSONDecoder& operator=(const JSONDecoder&) = delete;

  std::uint64_t parseOptions() const { return options_; }

  // Releases every cached leaf.
  void clearCache();

  // Parses `length` bytes at `string`. A null `string` throws
  // NSInvalidArgumentException "The string argument is NULL.". On failure the
  // error is stored in `*error` (when given); on success `*error` is untouched.
  platform::Value objectWithUTF8String(const char* string, std::size_t length,
                                       platform::Error* error = nullptr);
  platform::Value mutableObjectWithUTF8String(const char* string, std::size_t length,
                                              platform::Error* error = nullptr);
  // The same on a Data value. A None `data` throws NSInvalidArgumentException
  // "The jsonData argument is NULL.".
  platform::Value objectWithData(const platform::Value& data, platform::Error* error = nullptr);
  platform::Value mutableObjectWithData(const platform::Value& data,
                                        platform::Error* error = nullptr);
  // Aliases kept for callers of the older names.
  platform::Value parseUTF8String(const char* string, std::size_t length,
                                  platform::Error* error = nullptr) {
    return objectWithUTF8String(string, length, error);
  }
  platform::Value parseJSONData(const platform::Value& data, platform::Error* error = nullptr) {
    return objectWithData(data, error);
  }
  // Convenience over a byte view.
  platform::Value objectWithText(std::string_view text, platform::Error* error = nullptr) {
    return objectWithUTF8String(text.data() ? text.data() : "", text.size(), error);
  }
  platform::Value mutableObjectWithText(std::string_view text, platform::Error* error = nullptr) {
    return mutableObjectWithUTF8String(text.data() ? text.data() : "", text.size(), error);
  }

 private:
  // One cache line: the slot's tag stands for the hash, and the bytes
  // decide. Strings of up to kInlineBytes bytes (keys, names, addresses and
  // most short values) and numbers keep their value bytes in the item
  // itself, so that a hit reads nothing beyond the item's line.
  static constexpr std::size_t kInlineBytes = 48;
  // Key hints: a cache slot, the cache's emptying count (mod 16) when the
  // hint was made, and whether it has proved right since.
  static constexpr std::uint16_t kNoSlot = 0x07FF;
  static constexpr std::uint16_t kHintSlot = 0x07FF;
  static constexpr std::uint16_t kHintEpoch = 0x7800;
  static constexpr std::uint16_t kHintConfirmed = 0x8000;
  struct CacheItem {
    const platform::ValueNode* node;
    // The low 32 bits of the parse whose arena holds `node` (the cache is
    // emptied whenever they wrap to 0, so they name one parse).
    std::uint32_t generation;
    std::uint16_t length;
    JTValueType type;
    // itemKeyHashes[slot] holds the string's jtHashBytes.
    std::uint8_t keyHashed : 1;
    // For a dictionary key: how many of the string values that followed it
    // in a row missed the cache (see kValueMissesToSkip).
    std::uint8_t valueMisses : 7;
    union {
      std::uint8_t text[kInlineBytes];  // a short string's bytes, a number's 8 value bytes
      const char* bytes;                // a longer string's bytes (inside `node`)
    };
  };
  static_assert(sizeof(CacheItem) == 64);

  platform::Value parse(const char* string, std::size_t length, bool mutableCollections,
                        platform::Error* error);
  platform::Value fastParse();
  platform::Value fastParseValue(const std::uint8_t*& p);
  platform::Value fastParseArray(const std::uint8_t*& p);
  platform::Value fastParseDictionary(const std::uint8_t*& p);
  platform::Value fastString(const std::uint8_t*& p, std::uint64_t* keyHash = nullptr);
  platform::Value fastNumber(const std::uint8_t*& p);
  bool skipLiteral(const std::uint8_t*& p, std::string_view text) const;
  platform::Value fastLiteral(const std::uint8_t*& p, std::string_view text,
                              const platform::Value& leaf);
  // The same for an immutable parse, on raw nodes of this parse's arena
  // (or pinned in it): no reference counts to move around.
  const platform::ValueNode* fastNode(const std::uint8_t*& p);
  const platform::ValueNode* fastNodeArray(const std::uint8_t*& p);
  const platform::ValueNode* fastNodeDictionary(const std::uint8_t*& p);
  const platform::ValueNode* fastNodeString(const std::uint8_t*& p);
  const platform::ValueNode* scannedStringNode(const std::uint8_t*& p);
  // A dictionary key: its hash goes to `keyHash`. `hint` (see kHintSlot)
  // names the cache slot where the key is likely to be; it becomes the slot
  // the key was found in (kNoSlot when it is not in the cache).
  const platform::ValueNode* fastNodeKey(const std::uint8_t*& p, std::uint64_t* keyHash,
                                         std::uint16_t& hint);
  const platform::ValueNode* fastNodeNumber(const std::uint8_t*& p);
  // The value of a dictionary pair whose key is in cache slot `keySlot`.
  // Values that never repeat (names, identifiers, descriptions) are not
  // worth a probe: once kValueMissesToSkip string values of a key in a row
  // have missed the cache, the key's string values skip it, but for every
  // kValueSkipProbe-th, which probes again (a hit resumes probing).
  static constexpr std::uint8_t kValueMissesToSkip = 8;
  static constexpr std::uint32_t kValueSkipProbe = 16;
  const platform::ValueNode* fastNodeValue(const std::uint8_t*& p, std::size_t keySlot);
  const platform::ValueNode* fastNodeLiteral(const std::uint8_t*& p, std::string_view text,
                                             const platform::ValueNode* leaf);
  const platform::ValueNode* leafNode(std::uint64_t* keyHash = nullptr);
  const platform::ValueNode* stringNode(JTTokenValue& v, std::uint64_t* keyHash = nullptr);
  const platform::ValueNode* uncachedString(const JTTokenValue& v, std::uint64_t* keyHash);
  // The cached leaf of a string (of 1 to 256 bytes) or short number, or a
  // new one filed in the cache; null when it cannot be built. `owner`
  // receives the arena of an earlier, still living document that holds it
  // (and stays null for a leaf of this parse).
  using ArenaOwner = std::shared_ptr<platform::ValueArenaCore>;
  const platform::ValueNode* cacheProbe(JTTokenValue& v, std::uint64_t* keyHash,
                                        const ArenaOwner*& owner);
  // The probe past a leaf of this parse in the first slot; `hash` and `tag`
  // are the leaf's.
  const platform::ValueNode* cacheProbeRest(JTTokenValue& v, std::uint64_t* keyHash,
                                            const ArenaOwner*& owner, std::uint64_t hash,
                                            std::uint32_t tag);
  // The arena of the recent parse whose number ends in the 32 bits
  // `generation`, held until this parse ends; null when it is gone.
  const ArenaOwner* liveOwner(std::uint32_t generation) {
    const std::size_t ring = generation % kRecentArenas;
    if (static_cast<std::uint32_t>(recentGeneration_[ring]) != generation) return nullptr;
    if ((lockedRecent_ & (1U << ring)) == 0) lockRecent(ring);
    const ArenaOwner& held = cache_->heldRecent[ring];
    return held ? &held : nullptr;
  }
  void fileLeaf(JTTokenValue& v, std::uint64_t* keyHash, std::size_t slot, std::uint32_t tag,
                const platform::ValueNode* node);
  void lockRecent(std::size_t ring);
  void releaseRecent();
  std::uint64_t savedKeyHash(std::size_t slot, const JTTokenValue& v);
  void pinRecent(const ArenaOwner* owner, const platform::ValueNode* node);
  // The key's leaf when the item in `slot` holds it, else null; a leaf of a
  // document that is gone is built again in place.
  const platform::ValueNode* hintedKey(const JTTokenValue& v, std::size_t slot,
                                       std::uint64_t* keyHash);
  const platform::ValueNode* hintedKeyAgain(const JTTokenValue& v, std::size_t slot,
                                            std::uint64_t* keyHash);
  platform::Value finishArray(std::size_t start);
  platform::Value finishDictionary(std::size_t start);
  platform::Value parseValue();
  platform::Value parseArray();
  platform::Value parseDictionary();
  // The leaf of the current string or number token (or literal); for a
  // dictionary key, `keyHash` receives the hash the dictionary files it under.
  platform::Value leafForToken(std::uint64_t* keyHash = nullptr);
  const platform::ValueNode* newLeaf(const JTTokenValue& v);
  // Numbers of wide series hardly ever repeat, and a probe that misses
  // costs more than the leaf. Once a parse has missed with nearly as many
  // numbers in a row as the cache holds, the cache is churning (a repeat
  // would find its first mention evicted anyway): the next numbers skip it,
  // and then it is tried again.
  static constexpr std::uint32_t kNumberWindow = 1024;
  static constexpr std::uint32_t kNumberWindowMisses = 960;
  static constexpr std::uint32_t kNumberSkips = 16384;
  bool skipsNumberCache() {
    if (numberSkips_ == 0) return false;
    --numberSkips_;
    return true;
  }
  // After a number's probe.
  void countNumberProbe(bool missed) {
    numberMisses_ += missed ? 1 : 0;
    if (++numberProbes_ < kNumberWindow) return;
    if (numberMisses_ >= kNumberWindowMisses) numberSkips_ = kNumberSkips;
    numberProbes_ = 0;
    numberMisses_ = 0;
  }
  void clearStacks();
  platform::Value handOut(const platform::ValueNode* node) const;
  platform::Value fixedLeaf(const platform::Value& leaf) const;
  static bool isValueToken(JTTokenType type);
  std::string expectedMessage(unsigned accept, bool dictionary);

  std::uint64_t options_;
  JTParseState state_;
  // The leaf cache and the parse stacks. `tags` holds a few bits of each
  // item's hash (0 for an empty slot) in 4 KB, so that a probe touches an
  // item only when it is likely to match; no item of a slot whose tag is 0
  // is ever read, so clearing the tags empties the cache. The stacks hold
  // the values, dictionary keys and the keys' hashes of the collections
  // being built.
  struct Workspace {
    std::array<std::uint32_t, 1024> tags{};
    std::array<CacheItem, 1024> items;
    std::array<std::uint64_t, 1024> itemKeyHashes;
    // Dictionaries of one document tend to repeat their keys in the same
    // order: the slot of the key that followed each key last time, and of
    // the first key of the last dictionary at each depth (mod 64). Only
    // hints: the probe checks the item as usual.
    std::array<std::uint16_t, 1024> nextKey{};
    std::array<std::uint16_t, 64> firstKey{};
    // Counts the emptyings of the cache (as kHintEpoch bits): hints made
    // before the last one are not followed.
    std::uint16_t hintEpoch = 0;
    // The recent arenas the running parse has looked up (null for one whose
    // document was gone), so that each costs one lock per parse rather than
    // one per leaf; emptied when the parse ends.
    std::array<ArenaOwner, 16> heldRecent;
    std::vector<platform::Value> values;
    std::vector<platform::Value> keys;
    std::vector<platform::Value> dictionaryValues;
    std::vector<std::uint64_t> keyHashes;
    // The immutable fast path's stacks of raw nodes.
    std::vector<const platform::ValueNode*> nodes;
    std::vector<JTDictionary::NodePair> pairNodes;  // key, its hash, object
  };
  static std::unique_ptr<Workspace> takeWorkspace();
  // Empties the cache (clears the tags; see Workspace).
  static void clearTags(Workspace& w);
  static void returnWorkspace(std::unique_ptr<Workspace> workspace);
  std::unique_ptr<Workspace> cache_;
  // The arena of the parse running now, and weak links to recent ones so
  // that cached leaves of a document still alive can be shared.
  static constexpr std::size_t kRecentArenas = 16;
  static_assert(kRecentArenas == std::tuple_size_v<decltype(Workspace::heldRecent)>);
  std::optional<platform::ValueArena> arena_;
  std::array<std::weak_ptr<platform::ValueArenaCore>, kRecentArenas> recent_;
  std::array<std::uint64_t, kRecentArenas> recentGeneration_{};
  // Bit i: this parse has looked up recent arena i (Workspace::heldRecent).
  unsigned lockedRecent_ = 0;
  unsigned pinnedRecent_ = 0;  // entries an immutable parse has pinned in its arena
  std::uint64_t generation_ = 0;
  // See skipsNumberCache.
  std::uint32_t numberProbes_ = 0;
  std::uint32_t numberMisses_ = 0;
  std::uint32_t numberSkips_ = 0;
  std::uint32_t probeMisses_ = 0;  // every probe's misses, a running count
  std::uint32_t valueSkips_ = 0;   // string values that skipped the cache (fastNodeValue)
  // The shared object stack (inside the workspace).
  std::vector<platform::Value>& values_;
  std::vector<platform::Value>& keys_;
  std::vector<platform::Value>& dictionaryValues_;
  std::vector<std::uint64_t>& keyHashes_;
  std::vector<const platform::ValueNode*>& nodes_;
  std::vector<JTDictionary::NodePair>& pairNodes_;
  // The shared leaves true, false and null (they live forever).
  const platform::ValueNode* trueNode_ = nullptr;
  const platform::ValueNode* falseNode_ = nullptr;
  const platform::ValueNode* nullNode_ = nullptr;
  std::size_t depth_ = 0;
  bool mutableCollections_ = false;
};

// Parse with a fresh decoder per call. The text is UTF-8.
platform::Value objectFromJSONString(std::string_view json,
                                     std::uint64_t parseOptions = JTParseFlagNone,
                                     platform::Error* error = nullptr);
platform::Value mutableObjectFromJSONString(std::string_view json,
                                            std::uint64_t parseOptions = JTParseFlagNone,
                                            platform::Error* error = nullptr);
// The same on a Data value.
platform::Value objectFromJSONData(const platform::Value& data,
                                   std::uint64_t parseOptions = JTParseFlagNone,
                                   platform::Error* error = nullptr);
platform::Value mutableObjectFromJSONData(const platform::Value& data,
                                          std::uint64_t parseOptions = JTParseFlagNone,
                                          platform::Error* error = nullptr);

}  // namespace codecs
