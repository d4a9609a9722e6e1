#include "codecs/json_decoder.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>

#include "codecs/json_collections.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"

namespace codecs {

using platform::Error;
using platform::Exception;
using platform::Value;

namespace {

constexpr unsigned kAcceptValue = 1;
constexpr unsigned kAcceptComma = 2;
constexpr unsigned kAcceptEnd = 4;
constexpr std::size_t kCacheMask = 1023;
constexpr std::size_t kCacheMaximumLength = 256;
// Numbers with longer text (full-precision reals, random identifiers) are
// built without the cache: they hardly ever repeat, and each would push out
// a leaf that does.
constexpr std::size_t kCacheMaximumNumberText = 16;
// Likewise string values (not keys) longer than this: hashing and comparing
// them costs as much as copying them, and the values that do repeat (names,
// codes, states) are short. Keys repeat in nearly every dictionary and keep
// the cache up to kCacheMaximumLength.
constexpr std::size_t kCacheMaximumValueLength = 16;
// A workspace handed on to the next decoder keeps stacks of at most this
// many entries; a larger one is trimmed.
constexpr std::size_t kKeptStackCapacity = 4096;
constexpr std::size_t kInitialStackCapacity = 1024;
constexpr std::size_t kLargestFirstBlock = std::size_t{1} << 20;

// The workspace a finished decoder left for the next one on this thread.
// The slot and its flag are trivially destructible, so a decoder dying
// after this thread's objects were destroyed still finds them (closed).
thread_local void* tSpareWorkspace = nullptr;
thread_local bool tSpareClosed = false;

// The tag of a cache item: hash bits beside the slot's, and the length;
// never 0 (an empty slot).
inline std::uint32_t cacheTag(std::uint64_t hash, std::size_t length) {
  return (static_cast<std::uint32_t>(hash >> 10) ^ static_cast<std::uint32_t>(hash >> 40) ^
          static_cast<std::uint32_t>(length << 24)) |
         1U;
}

// The full 128-bit product of a and b, folded to 64 bits (high half XOR low
// half): every input bit reaches the middle of the result in one step.
inline std::uint64_t foldedProduct(std::uint64_t a, std::uint64_t b) {
#if defined(__SIZEOF_INT128__)
  const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
#else
  const std::uint64_t aLo = a & 0xFFFFFFFFU, aHi = a >> 32;
  const std::uint64_t bLo = b & 0xFFFFFFFFU, bHi = b >> 32;
  const std::uint64_t ll = aLo * bLo, lh = aLo * bHi, hl = aHi * bLo, hh = aHi * bHi;
  const std::uint64_t mid = (ll >> 32) + (lh & 0xFFFFFFFFU) + (hl & 0xFFFFFFFFU);
  const std::uint64_t lo = (mid << 32) | (ll & 0xFFFFFFFFU);
  const std::uint64_t hi = hh + (lh >> 32) + (hl >> 32) + (mid >> 32);
  return lo ^ hi;
#endif
}

inline std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

inline std::uint64_t load32(const std::uint8_t* p) {
  std::uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

// The cache's hash of a string: sixteen bytes per folded 128-bit product,
// so that a string of up to 16 bytes (most keys and short values) costs two
// of them.
inline std::uint64_t cacheHashBytes(const std::uint8_t* p, std::size_t n) {
  constexpr std::uint64_t kK0 = 0xA0761D6478BD642FULL;
  constexpr std::uint64_t kK1 = 0xE7037ED1A0B428DBULL;
  constexpr std::uint64_t kK2 = 0x8EBC6AF09C88C6E3ULL;
  std::uint64_t seed = kJTHashSeed ^ kK0;
  std::uint64_t a, b;
  if (n <= 16) {
    if (n >= 8) {
      a = load64(p);
      b = load64(p + n - 8);
    } else if (n >= 4) {
      a = load32(p);
      b = load32(p + n - 4);
    } else if (n > 0) {
      a = (static_cast<std::uint64_t>(p[0]) << 16) | (static_cast<std::uint64_t>(p[n / 2]) << 8) |
          p[n - 1];
      b = 0;
    } else {
      a = b = 0;
    }
  } else {
    std::size_t left = n;
    for (; left > 16; left -= 16, p += 16) {
      seed = foldedProduct(load64(p) ^ kK1, load64(p + 8) ^ seed);
    }
    // The last 16 bytes (overlapping the words before unless n % 16 == 0).
    a = load64(p + left - 16);
    b = load64(p + left - 8);
  }
  return foldedProduct(kK1 ^ n, foldedProduct(a ^ kK1, b ^ seed) ^ kK2);
}

// memcmp(x, y, n) == 0 for more than 16 bytes: up to 64 of them (most
// cached strings) in blocks of 16, the last one overlapping the one before.
bool longBytesEqual(const unsigned char* x, const unsigned char* y, std::size_t n) {
#if defined(__SSE2__)
  if (n <= 64) {
    auto same = [&](std::size_t at) {
      const __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + at));
      const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + at));
      return _mm_movemask_epi8(_mm_cmpeq_epi8(u, w)) == 0xFFFF;
    };
    for (std::size_t at = 0; at + 16 < n; at += 16) {
      if (!same(at)) return false;
    }
    return same(n - 16);
  }
#endif
  return std::memcmp(x, y, n) == 0;
}

// memcmp(a, b, n) == 0, without a call for the short runs leaves mostly are.
inline bool bytesEqual(const void* a, const void* b, std::size_t n) {
  const auto* x = static_cast<const unsigned char*>(a);
  const auto* y = static_cast<const unsigned char*>(b);
  if (n > 16) return longBytesEqual(x, y, n);
  if (n >= 8) {
    std::uint64_t x0, y0, x1, y1;
    std::memcpy(&x0, x, 8);
    std::memcpy(&y0, y, 8);
    std::memcpy(&x1, x + n - 8, 8);
    std::memcpy(&y1, y + n - 8, 8);
    return ((x0 ^ y0) | (x1 ^ y1)) == 0;
  }
  if (n >= 4) {
    std::uint32_t x0, y0, x1, y1;
    std::memcpy(&x0, x, 4);
    std::memcpy(&y0, y, 4);
    std::memcpy(&x1, x + n - 4, 4);
    std::memcpy(&y1, y + n - 4, 4);
    return ((x0 ^ y0) | (x1 ^ y1)) == 0;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (x[i] != y[i]) return false;
  }
  return true;
}

// memcpy(to, from, n), without a call for the usual n <= 16.
inline void copyShort(std::uint8_t* to, const std::uint8_t* from, std::size_t n) {
  if (n > 16) {
    std::memcpy(to, from, n);
  } else if (n >= 8) {
    std::uint64_t a, b;
    std::memcpy(&a, from, 8);
    std::memcpy(&b, from + n - 8, 8);
    std::memcpy(to, &a, 8);
    std::memcpy(to + n - 8, &b, 8);
  } else if (n >= 4) {
    std::uint32_t a, b;
    std::memcpy(&a, from, 4);
    std::memcpy(&b, from + n - 4, 4);
    std::memcpy(to, &a, 4);
    std::memcpy(to + n - 4, &b, 4);
  } else {
    for (std::size_t i = 0; i < n; ++i) to[i] = from[i];
  }
}

// The shared leaves true, false, null and "". They are never destroyed, so
// a tree may refer to them through borrowed handles without pinning them
// in its arena, and such a tree may even outlive the program's statics.
const Value& trueValue() {
  static const Value& v = *new Value(true);
  return v;
}
const Value& falseValue() {
  static const Value& v = *new Value(false);
  return v;
}
const Value& nullValue() {
  static const Value& v = *new Value(Value::null());
  return v;
}
const Value& emptyString() {
  static const Value& v = *new Value(std::string_view{});
  return v;
}

}  // namespace

JSONDecoder::JSONDecoder(std::uint64_t parseOptions)
    : options_(parseOptions),
      cache_(takeWorkspace()),
      values_(cache_->values),
      keys_(cache_->keys),
      dictionaryValues_(cache_->dictionaryValues),
      keyHashes_(cache_->keyHashes),
      nodes_(cache_->nodes),
      pairNodes_(cache_->pairNodes) {
  if ((parseOptions & ~static_cast<std::uint64_t>(JTParseFlagValidFlags)) != 0) {
    throw Exception(platform::kInvalidArgumentException, "Invalid parse options.");
  }
}

JSONDecoder::~JSONDecoder() {
  releaseRecent();  // after a parse cut short by an exception
  returnWorkspace(std::move(cache_));
}

std::unique_ptr<JSONDecoder::Workspace> JSONDecoder::takeWorkspace() {
  if (tSpareWorkspace != nullptr) {
    std::unique_ptr<Workspace> w(static_cast<Workspace*>(tSpareWorkspace));
    tSpareWorkspace = nullptr;
    clearTags(*w);  // forgets every item of the decoder before
    return w;
  }
  auto w = std::make_unique<Workspace>();
  w->values.reserve(kInitialStackCapacity);
  w->keys.reserve(kInitialStackCapacity);
  w->dictionaryValues.reserve(kInitialStackCapacity);
  w->keyHashes.reserve(kInitialStackCapacity);
  w->nodes.reserve(kInitialStackCapacity);
  w->pairNodes.reserve(kInitialStackCapacity);
  return w;
}

void JSONDecoder::returnWorkspace(std::unique_ptr<Workspace> w) {
  if (w == nullptr || tSpareClosed || tSpareWorkspace != nullptr) return;
  // Frees the spare when this thread ends.
  struct Reaper {
    ~Reaper() {
      delete static_cast<Workspace*>(tSpareWorkspace);
      tSpareWorkspace = nullptr;
      tSpareClosed = true;
    }
  };
  thread_local Reaper reaper;
  (void)reaper;
  // Nothing of a document may stay behind: no handle on the stacks, and the
  // items' node pointers become unreachable once the tags are cleared.
  auto trim = [](auto& stack) {
    stack.clear();
    if (stack.capacity() > kKeptStackCapacity) {
      std::remove_reference_t<decltype(stack)>().swap(stack);
      stack.reserve(kInitialStackCapacity);
    }
  };
  trim(w->values);
  trim(w->keys);
  trim(w->dictionaryValues);
  trim(w->keyHashes);
  trim(w->nodes);
  trim(w->pairNodes);
  tSpareWorkspace = w.release();
}

std::shared_ptr<JSONDecoder> JSONDecoder::decoder() { return std::make_shared<JSONDecoder>(); }

std::shared_ptr<JSONDecoder> JSONDecoder::decoderWithParseOptions(std::uint64_t parseOptions) {
  return std::make_shared<JSONDecoder>(parseOptions);
}

void JSONDecoder::clearCache() { clearTags(*cache_); }

void JSONDecoder::clearTags(Workspace& w) {
  w.tags.fill(0);
  w.hintEpoch = static_cast<std::uint16_t>((w.hintEpoch + 0x0800) & kHintEpoch);
}

Value JSONDecoder::objectWithUTF8String(const char* string, std::size_t length, Error* error) {
  return parse(string, length, false, error);
}

Value JSONDecoder::mutableObjectWithUTF8String(const char* string, std::size_t length,
                                               Error* error) {
  return parse(string, length, true, error);
}

namespace {
std::string_view dataBytes(const Value& data) {
  if (data.isNone()) {
    throw Exception(platform::kInvalidArgumentException, "The jsonData argument is NULL.");
  }
  if (data.isString()) return data.stringView();
  const platform::Bytes& b = data.asData();
  return std::string_view(reinterpret_cast<const char*>(b.data()), b.size());
}
}  // namespace

Value JSONDecoder::objectWithData(const Value& data, Error* error) {
  std::string_view bytes = dataBytes(data);
  return parse(bytes.data() ? bytes.data() : "", bytes.size(), false, error);
}

Value JSONDecoder::mutableObjectWithData(const Value& data, Error* error) {
  std::string_view bytes = dataBytes(data);
  return parse(bytes.data() ? bytes.data() : "", bytes.size(), true, error);
}

Value JSONDecoder::parse(const char* string, std::size_t length, bool mutableCollections,
                         Error* error) {
  if (string == nullptr) {
    throw Exception(platform::kInvalidArgumentException, "The string argument is NULL.");
  }
  state_.begin(reinterpret_cast<const std::uint8_t*>(string), length, options_);
  mutableCollections_ = mutableCollections;
  clearStacks();  // in case an exception cut the last parse short
  releaseRecent();
  // Nodes take about twice the text for a typical document; leaves alone
  // about half. A large document's first block is no larger than the
  // blocks the arena grows by (see platform::ValueArena).
  arena_.emplace(std::min(mutableCollections ? length / 2 : length * 2, kLargestFirstBlock));
  ++generation_;
  numberProbes_ = 0;
  numberMisses_ = 0;
  numberSkips_ = 0;
  // Items keep only the low 32 bits of their parse's number: forget them
  // all before those bits could name an older parse again.
  if (static_cast<std::uint32_t>(generation_) == 0) clearCache();
  recent_[generation_ % kRecentArenas] = arena_->weak();
  recentGeneration_[generation_ % kRecentArenas] = generation_;
  if (!mutableCollections) {
    // The shared leaves live forever: the tree refers to them borrowed.
    trueNode_ = trueValue().node();
    falseNode_ = falseValue().node();
    nullNode_ = nullValue().node();
  }
  depth_ = 0;
  Value result;
  bool failed = true;
  if (length > 0 && (options_ & (JTParseFlagComments | JTParseFlagUnicodeLineBreaks)) == 0) {
    result = fastParse();
    if (result.isNone()) {
      // Start again on the full path, which reports the exact error.
      clearStacks();
      state_.begin(reinterpret_cast<const std::uint8_t*>(string), length, options_);
      depth_ = 0;
    } else {
      failed = false;
    }
  }
  if (failed && length > 0 && state_.nextToken() == 0) {
    const JTTokenType type = state_.token().type;
    if (type == JTTokenType::ArrayBegin) {
      result = parseArray();
    } else if (type == JTTokenType::ObjectBegin) {
      result = parseDictionary();
    } else {
      state_.error("Expected either '[' or '{'.");
    }
    failed = result.isNone();
  }
  if (failed) {
    if (state_.atIndex() >= state_.length()) state_.error("Reached the end of the buffer.");
    state_.error("Unable to parse JSON.");
    result = Value();
  } else if (state_.atIndex() < state_.length()) {
    state_.skipWhitespace();
    if (state_.atIndex() < state_.length() && (options_ & JTParseFlagTrailingText) == 0) {
      state_.error(
          "A valid JSON object was parsed but there were additional non-white-space characters "
          "remaining.");
      result = Value();
    }
  }
  if (result.isNone() && error != nullptr) *error = state_.recordedError();
  if (platform::ValueArena::isBorrowed(result)) result = arena_->own(result.node());
  // Release whatever a failed parse left on the stacks, then the arena
  // (which lives on only through the result).
  clearStacks();
  releaseRecent();
  arena_.reset();
  state_.end();
  mutableCollections_ = false;
  return result;
}

void JSONDecoder::clearStacks() {
  values_.clear();
  keys_.clear();
  keyHashes_.clear();
  dictionaryValues_.clear();
  nodes_.clear();
  pairNodes_.clear();
}

bool JSONDecoder::isValueToken(JTTokenType type) {
  switch (type) {
    case JTTokenType::Number:
    case JTTokenType::String:
    case JTTokenType::ObjectBegin:
    case JTTokenType::ArrayBegin:
    case JTTokenType::True:
    case JTTokenType::False:
    case JTTokenType::Null:
      return true;
    default:
      return false;
  }
}

std::string JSONDecoder::expectedMessage(unsigned accept, bool dictionary) {
  std::vector<const char*> items;
  if (accept & kAcceptValue) items.push_back(dictionary ? "a \"STRING\"" : "a value");
  if (accept & kAcceptComma) items.push_back("a comma");
  if (accept & kAcceptEnd) items.push_back(dictionary ? "a '}'" : "a ']'");
  const JTToken& t = state_.token();
  std::string message = "Expected ";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) message += " or ";
    message += items[i];
  }
  message += ", not '";
  message.append(reinterpret_cast<const char*>(t.ptr), t.length);
  message += "'";
  return message;
}

// A node of this parse's arena as the collections under construction want
// it: borrowed inside an arena tree, owning inside heap collections.
Value JSONDecoder::handOut(const platform::ValueNode* node) const {
  return mutableCollections_ ? arena_->own(node) : platform::ValueArena::borrow(node);
}

// One of the shared leaves (true, false, null, ""), which never die: an
// immutable parse refers to them borrowed.
Value JSONDecoder::fixedLeaf(const Value& leaf) const {
  return mutableCollections_ ? leaf : platform::ValueArena::borrow(leaf.node());
}

// Files the new leaf `node` of `v` in the empty (or evicted) slot `slot`.
inline void JSONDecoder::fileLeaf(JTTokenValue& v, std::uint64_t* keyHash, std::size_t slot,
                                  std::uint32_t tag, const platform::ValueNode* node) {
  Workspace& w = *cache_;
  CacheItem& item = w.items[slot];
  v.cacheSlot = static_cast<int>(slot);
  w.tags[slot] = tag;
  item.node = node;
  item.generation = static_cast<std::uint32_t>(generation_);
  item.length = static_cast<std::uint16_t>(v.length);
  item.type = v.type;
  if (v.type == JTValueType::String && v.length > kInlineBytes) {
    item.bytes = platform::ValueArena::borrow(node).stringView().data();
  } else {
    copyShort(item.text, v.ptr, v.length);
  }
  item.keyHashed = keyHash != nullptr;
  item.valueMisses = 0;
  if (keyHash != nullptr) *keyHash = w.itemKeyHashes[slot] = jtHashBytes(v.ptr, v.length);
}

const platform::ValueNode* JSONDecoder::cacheProbe(JTTokenValue& v, std::uint64_t* keyHash,
                                                   const ArenaOwner*& owner) {
  const bool isString = v.type == JTValueType::String;
  // Strings are hashed here, a word at a time, rather than by the scanner's
  // byte-serial value hash, which only dictionary keys need (and which the
  // cache keeps for them).
  const std::uint64_t hash = isString ? cacheHashBytes(v.ptr, v.length) : jtHashNumber(v);
  const std::uint32_t tag = cacheTag(hash, v.length);
  const std::uint32_t generation = static_cast<std::uint32_t>(generation_);
  Workspace& w = *cache_;
  // Nearly every hit is a leaf of this parse in the first probe's slot (a
  // miss files its leaf there unless a probe before is free): take it
  // straight away, as the walk below would.
  const std::size_t first = hash & kCacheMask;
  if (w.tags[first] == tag) {
    CacheItem& item = w.items[first];
    if (item.type == v.type && item.length == v.length) {
      if (v.length <= kInlineBytes) {
        // The item holds these very bytes: the walk below would stop here
        // whatever the item's parse (short documents parsed one after the
        // other by one decoder meet this case for every leaf).
        if (bytesEqual(item.text, v.ptr, v.length)) {
          if (item.generation != generation && (owner = liveOwner(item.generation)) == nullptr) {
            // Its document is gone: build the leaf again in this slot (tag,
            // bytes and any saved key hash stay as they are).
            const platform::ValueNode* node = newLeaf(v);
            if (node == nullptr) return nullptr;
            item.node = node;
            item.generation = generation;
          }
          v.cacheSlot = static_cast<int>(first);
          if (keyHash != nullptr) *keyHash = savedKeyHash(first, v);
          return item.node;
        }
      } else if (item.generation == generation &&
                 bytesEqual(reinterpret_cast<const std::uint8_t*>(item.bytes), v.ptr, v.length)) {
        v.cacheSlot = static_cast<int>(first);
        if (keyHash != nullptr) *keyHash = savedKeyHash(first, v);
        return item.node;
      }
    }
  }
  return cacheProbeRest(v, keyHash, owner, hash, tag);
}

Value JSONDecoder::leafForToken(std::uint64_t* keyHash) {
  JTToken& token = state_.token();
  switch (token.type) {
    case JTTokenType::True:
      return fixedLeaf(trueValue());
    case JTTokenType::False:
      return fixedLeaf(falseValue());
    case JTTokenType::Null:
      return fixedLeaf(nullValue());
    default:
      break;
  }
  JTTokenValue& v = token.value;
  const bool isString = v.type == JTValueType::String;
  if (isString && (v.length == 0 || v.length > kCacheMaximumLength ||
                   (keyHash == nullptr && v.length > kCacheMaximumValueLength))) {
    if (keyHash != nullptr) *keyHash = jtHashBytes(v.ptr, v.length);
    if (v.length == 0) return fixedLeaf(emptyString());
    // Long strings (certificates, keys) rarely repeat; copying them into the
    // cache would cost more than it saves.
    return handOut(
        arena_->newString(std::string_view(reinterpret_cast<const char*>(v.ptr), v.length)));
  }
  if (!isString && (token.length > kCacheMaximumNumberText || skipsNumberCache())) {
    const platform::ValueNode* node = newLeaf(v);
    return node != nullptr ? handOut(node) : Value();
  }
  const ArenaOwner* owner = nullptr;
  const std::uint32_t missesBefore = probeMisses_;
  const platform::ValueNode* node = cacheProbe(v, keyHash, owner);
  if (!isString) countNumberProbe(probeMisses_ != missesBefore);
  if (node == nullptr) return Value();
  return owner != nullptr ? platform::ValueArena::own(*owner, node) : handOut(node);
}

const platform::ValueNode* JSONDecoder::cacheProbeRest(JTTokenValue& v, std::uint64_t* keyHash,
                                                       const ArenaOwner*& owner, std::uint64_t hash,
                                                       std::uint32_t tag) {
  const bool isString = v.type == JTValueType::String;
  const std::uint64_t step = v.length + static_cast<std::uint64_t>(v.type) + 3;
  const std::uint32_t generation = static_cast<std::uint32_t>(generation_);
  Workspace& w = *cache_;
  // The four probes' tags at once: bit i of `empty` / `candidate` tells
  // whether probe i is a free slot / worth a look. The probes are then taken
  // in order up to the first free one, as one after the other would.
  const std::size_t slots[4] = {hash & kCacheMask, (hash + step) & kCacheMask,
                                (hash + 2 * step) & kCacheMask, (hash + 3 * step) & kCacheMask};
  const std::uint32_t seen[4] = {w.tags[slots[0]], w.tags[slots[1]], w.tags[slots[2]],
                                 w.tags[slots[3]]};
  const unsigned empty =
      static_cast<unsigned>(seen[0] == 0) | static_cast<unsigned>(seen[1] == 0) << 1 |
      static_cast<unsigned>(seen[2] == 0) << 2 | static_cast<unsigned>(seen[3] == 0) << 3;
  const unsigned candidate =
      static_cast<unsigned>(seen[0] == tag) | static_cast<unsigned>(seen[1] == tag) << 1 |
      static_cast<unsigned>(seen[2] == tag) << 2 | static_cast<unsigned>(seen[3] == tag) << 3;
  std::size_t chosen = slots[0];
  bool again = false;  // `chosen` holds these very bytes, of a document that is gone
  for (unsigned pending = empty | candidate; pending != 0; pending &= pending - 1) {
    const unsigned i = static_cast<unsigned>(std::countr_zero(pending));
    const std::size_t slot = slots[i];
    if ((empty >> i) & 1U) {
      chosen = slot;
      break;
    }
    const CacheItem& item = w.items[slot];
    if (item.type != v.type || item.length != v.length) continue;
    const bool current = item.generation == generation;
    if (v.length <= kInlineBytes) {
      // The bytes are in the item: compare first, then see whether the
      // leaf's document still lives.
      if (!bytesEqual(item.text, v.ptr, v.length)) continue;
      if (!current && (owner = liveOwner(item.generation)) == nullptr) {
        chosen = slot;  // its document is gone: build the leaf again here
        again = true;
        break;
      }
    } else {
      // The bytes are in the leaf's arena: read only while it lives.
      if (!current && (owner = liveOwner(item.generation)) == nullptr) {
        chosen = slot;  // the bytes went with the document: refile the slot
        break;
      }
      if (!bytesEqual(item.bytes, v.ptr, v.length)) {
        owner = nullptr;
        continue;
      }
    }
    v.cacheSlot = static_cast<int>(slot);
    if (keyHash != nullptr) *keyHash = savedKeyHash(slot, v);
    return item.node;
  }
  ++probeMisses_;
  const platform::ValueNode* node =
      isString ? arena_->newString(std::string_view(reinterpret_cast<const char*>(v.ptr), v.length))
               : newLeaf(v);
  if (node == nullptr) return nullptr;
  CacheItem& item = w.items[chosen];
  v.cacheSlot = static_cast<int>(chosen);
  if (again) {
    // Tag, bytes and any saved key hash stay as they are.
    item.node = node;
    item.generation = generation;
    if (keyHash != nullptr) *keyHash = savedKeyHash(chosen, v);
    return node;
  }
  fileLeaf(v, keyHash, chosen, tag, node);
  return node;
}

// The dictionary hash of the string in `slot` (whose bytes `v` holds),
// worked out on first demand.
std::uint64_t JSONDecoder::savedKeyHash(std::size_t slot, const JTTokenValue& v) {
  CacheItem& item = cache_->items[slot];
  if (!item.keyHashed) {
    cache_->itemKeyHashes[slot] = jtHashBytes(v.ptr, v.length);
    item.keyHashed = true;
  }
  return cache_->itemKeyHashes[slot];
}

// Holds the arena of recent parse `ring` (null when that document is gone)
// until this parse ends.
void JSONDecoder::lockRecent(std::size_t ring) {
  cache_->heldRecent[ring] = recent_[ring].lock();
  lockedRecent_ |= 1U << ring;
}

void JSONDecoder::releaseRecent() {
  for (unsigned held = lockedRecent_; held != 0; held &= held - 1) {
    cache_->heldRecent[static_cast<std::size_t>(std::countr_zero(held))].reset();
  }
  lockedRecent_ = 0;
  pinnedRecent_ = 0;
}

// A new leaf in this parse's arena for a string or number token.
const platform::ValueNode* JSONDecoder::newLeaf(const JTTokenValue& v) {
  switch (v.type) {
    case JTValueType::String:
      return arena_->newString(std::string_view(reinterpret_cast<const char*>(v.ptr), v.length));
    case JTValueType::LongLong:
      return arena_->newInt(v.number.longLongValue);
    case JTValueType::UnsignedLongLong:
      if (v.number.unsignedLongLongValue <= static_cast<std::uint64_t>(INT64_MAX)) {
        return arena_->newInt(static_cast<std::int64_t>(v.number.unsignedLongLongValue));
      }
      return arena_->newUInt(v.number.unsignedLongLongValue);
    case JTValueType::Double:
      return arena_->newReal(v.number.doubleValue);
    case JTValueType::None:
      break;
  }
  return nullptr;
}

// --- the fast path ---------------------------------------------------------
//
// A strict recursive descent over the common case (no comments, no Unicode
// line breaks): it builds exactly the tree the full path builds, through the
// same scanner for strings and numbers and the same leaf cache, but skips
// the token machinery for structure. At the first irregularity it gives up
// (None) and the caller parses again on the full path for the error.

namespace {
inline const std::uint8_t* skipBlank(const std::uint8_t* p, const std::uint8_t* end) {
  // Compact text has no blank between tokens at all: one compare says so.
  // Pretty-printed text has a line break and a run of spaces (indentation)
  // before most tokens: spaces go eight at a time.
  while (p < end && *p <= ' ') {
    const std::uint8_t c = *p;
    if (c == ' ') {
      if constexpr (std::endian::native == std::endian::little) {
        if (end - p >= 8) {
          std::uint64_t word;
          std::memcpy(&word, p, 8);
          const std::uint64_t other = word ^ 0x2020202020202020ULL;
          // Up to the first byte that is not a space (or eight further).
          p += other == 0 ? 8 : std::countr_zero(other) >> 3;
          continue;
        }
      }
      ++p;
    } else if (c == '\n' || c == '\r' || c == '\t') {
      ++p;
    } else {
      break;
    }
  }
  return p;
}
}  // namespace

Value JSONDecoder::fastParse() {
  const std::uint8_t* end = state_.input() + state_.length();
  const std::uint8_t* p = skipBlank(state_.input(), end);
  if (p >= end) return Value();
  Value root;
  if (!mutableCollections_) {
    const platform::ValueNode* node = nullptr;
    if (*p == '[') {
      node = fastNodeArray(p);
    } else if (*p == '{') {
      node = fastNodeDictionary(p);
    }
    if (node != nullptr) root = platform::ValueArena::borrow(node);
  } else if (*p == '[') {
    root = fastParseArray(p);
  } else if (*p == '{') {
    root = fastParseDictionary(p);
  }
  if (root.isNone()) return Value();
  // Trailing text is the full path's business (its error names the line).
  if (skipBlank(p, end) != end && (options_ & JTParseFlagTrailingText) == 0) return Value();
  state_.setAtIndex(static_cast<std::size_t>(p - state_.input()));
  return root;
}

Value JSONDecoder::fastString(const std::uint8_t*& p, std::uint64_t* keyHash) {
  state_.setAtIndex(static_cast<std::size_t>(p - state_.input()));
  if (state_.nextStringToken() != 0) return Value();
  p = state_.input() + state_.atIndex();
  return leafForToken(keyHash);
}

Value JSONDecoder::fastNumber(const std::uint8_t*& p) {
  state_.setAtIndex(static_cast<std::size_t>(p - state_.input()));
  if (state_.nextNumberToken() != 0) return Value();
  p = state_.input() + state_.atIndex();
  return leafForToken();
}

// A literal is recognised only when at least one byte follows it (as the
// scanner does); `p` moves past it.
bool JSONDecoder::skipLiteral(const std::uint8_t*& p, std::string_view text) const {
  const std::uint8_t* end = state_.input() + state_.length();
  if (static_cast<std::size_t>(end - p) <= text.size() ||
      std::memcmp(p, text.data(), text.size()) != 0) {
    return false;
  }
  p += text.size();
  return true;
}

Value JSONDecoder::fastLiteral(const std::uint8_t*& p, std::string_view text, const Value& leaf) {
  return skipLiteral(p, text) ? fixedLeaf(leaf) : Value();
}

Value JSONDecoder::fastParseValue(const std::uint8_t*& p) {
  switch (*p) {
    case '[':
      return fastParseArray(p);
    case '{':
      return fastParseDictionary(p);
    case '"':
      return fastString(p);
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      return fastNumber(p);
    case 't':
      return fastLiteral(p, "true", trueValue());
    case 'f':
      return fastLiteral(p, "false", falseValue());
    case 'n':
      return fastLiteral(p, "null", nullValue());
    default:
      return Value();
  }
}

Value JSONDecoder::fastParseArray(const std::uint8_t*& p) {
  if (++depth_ > kJTMaximumNestingDepth) return Value();
  const std::uint8_t* end = state_.input() + state_.length();
  const std::size_t start = values_.size();
  p = skipBlank(p + 1, end);
  if (p < end && *p == ']') {
    ++p;
  } else {
    for (;;) {
      if (p >= end) return Value();
      Value v = fastParseValue(p);
      if (v.isNone()) return Value();
      values_.push_back(std::move(v));
      p = skipBlank(p, end);
      if (p >= end) return Value();
      if (*p == ',') {
        p = skipBlank(p + 1, end);
        continue;
      }
      if (*p != ']') return Value();
      ++p;
      break;
    }
  }
  return finishArray(start);
}

Value JSONDecoder::fastParseDictionary(const std::uint8_t*& p) {
  if (++depth_ > kJTMaximumNestingDepth) return Value();
  const std::uint8_t* end = state_.input() + state_.length();
  const std::size_t start = keys_.size();
  p = skipBlank(p + 1, end);
  if (p < end && *p == '}') {
    ++p;
  } else {
    for (;;) {
      if (p >= end || *p != '"') return Value();
      std::uint64_t hash = 0;
      Value key = fastString(p, &hash);
      if (key.isNone()) return Value();
      p = skipBlank(p, end);
      if (p >= end || *p != ':') return Value();
      p = skipBlank(p + 1, end);
      if (p >= end) return Value();
      Value v = fastParseValue(p);
      if (v.isNone()) return Value();
      keys_.push_back(std::move(key));
      keyHashes_.push_back(hash);
      dictionaryValues_.push_back(std::move(v));
      p = skipBlank(p, end);
      if (p >= end) return Value();
      if (*p == ',') {
        p = skipBlank(p + 1, end);
        continue;
      }
      if (*p != '}') return Value();
      ++p;
      break;
    }
  }
  return finishDictionary(start);
}

// A leaf as a raw node of this parse's arena; a leaf shared from an earlier
// document is pinned first.
const platform::ValueNode* JSONDecoder::leafNode(std::uint64_t* keyHash) {
  const JTToken& token = state_.token();
  JTTokenValue& v = state_.token().value;
  if (v.type == JTValueType::String) return stringNode(v, keyHash);
  if (token.length > kCacheMaximumNumberText || skipsNumberCache()) return newLeaf(v);
  const ArenaOwner* owner = nullptr;
  const std::uint32_t missesBefore = probeMisses_;
  const platform::ValueNode* node = cacheProbe(v, keyHash, owner);
  countNumberProbe(probeMisses_ != missesBefore);
  if (owner != nullptr) pinRecent(owner, node);
  return node;
}

// The same for a string (`v` need not be the scanner's token). The usual
// hit, a leaf of this parse in the first probe's slot, is taken here; every
// other case walks the probes (cacheProbeRest does exactly what the walk of
// cacheProbe does).
const platform::ValueNode* JSONDecoder::stringNode(JTTokenValue& v, std::uint64_t* keyHash) {
  if (v.length == 0 || v.length > kCacheMaximumLength ||
      (keyHash == nullptr && v.length > kCacheMaximumValueLength)) {
    return uncachedString(v, keyHash);
  }
  const std::uint64_t hash = cacheHashBytes(v.ptr, v.length);
  const std::uint32_t tag = cacheTag(hash, v.length);
  Workspace& w = *cache_;
  const std::size_t first = hash & kCacheMask;
  if (w.tags[first] == tag) {
    const CacheItem& item = w.items[first];
    if (item.type == JTValueType::String && item.length == v.length &&
        item.generation == static_cast<std::uint32_t>(generation_) &&
        (v.length <= kInlineBytes
             ? bytesEqual(item.text, v.ptr, v.length)
             : bytesEqual(reinterpret_cast<const std::uint8_t*>(item.bytes), v.ptr, v.length))) {
      v.cacheSlot = static_cast<int>(first);
      if (keyHash != nullptr) *keyHash = savedKeyHash(first, v);
      return item.node;
    }
  } else if (w.tags[first] == 0) {
    // A free first slot (the cache starts empty for every decoder): the
    // walk would file the new leaf there.
    ++probeMisses_;
    const platform::ValueNode* node =
        arena_->newString(std::string_view(reinterpret_cast<const char*>(v.ptr), v.length));
    fileLeaf(v, keyHash, first, tag, node);
    return node;
  }
  const ArenaOwner* owner = nullptr;
  const platform::ValueNode* node = cacheProbeRest(v, keyHash, owner, hash, tag);
  if (owner != nullptr) pinRecent(owner, node);
  return node;
}

// A string the cache does not keep: empty, or longer than it keeps.
const platform::ValueNode* JSONDecoder::uncachedString(const JTTokenValue& v,
                                                       std::uint64_t* keyHash) {
  if (keyHash != nullptr) *keyHash = jtHashBytes(v.ptr, v.length);
  if (v.length == 0) return emptyString().node();  // lives forever
  return arena_->newString(std::string_view(reinterpret_cast<const char*>(v.ptr), v.length));
}

// Keeps the earlier document `owner` (which holds `node`) alive as long as
// this one: one pin per document and parse.
void JSONDecoder::pinRecent(const ArenaOwner* owner, const platform::ValueNode* node) {
  const unsigned bit = 1U << static_cast<unsigned>(owner - cache_->heldRecent.data());
  if ((pinnedRecent_ & bit) == 0) {
    arena_->pin(platform::ValueArena::own(*owner, node));
    pinnedRecent_ |= bit;
  }
}

// A short string without escapes or bytes of 0x80 or more (most keys and
// values) is read here, without the scanner's token; any other string goes
// through the scanner.
const platform::ValueNode* JSONDecoder::fastNodeString(const std::uint8_t*& p) {
  const int n = jtShortPlainStringLength(p, state_.input() + state_.length());
  if (n >= 0) {
    JTTokenValue v;
    v.ptr = p + 1;
    v.length = static_cast<std::size_t>(n);
    v.type = JTValueType::String;
    p += n + 2;
    return stringNode(v);
  }
  return scannedStringNode(p);
}

// A string that jtShortPlainStringLength turned down, through the scanner.
const platform::ValueNode* JSONDecoder::scannedStringNode(const std::uint8_t*& p) {
  state_.setAtIndex(static_cast<std::size_t>(p - state_.input()));
  if (state_.nextLongStringToken() != 0) return nullptr;
  p = state_.input() + state_.atIndex();
  return stringNode(state_.token().value);
}

const platform::ValueNode* JSONDecoder::fastNodeValue(const std::uint8_t*& p, std::size_t keySlot) {
  const int n = jtShortPlainStringLength(p, state_.input() + state_.length());
  if (n < 0) return scannedStringNode(p);
  if (n == 0 || static_cast<std::size_t>(n) > kCacheMaximumValueLength) {
    JTTokenValue v;
    v.ptr = p + 1;
    v.length = static_cast<std::size_t>(n);
    v.type = JTValueType::String;
    p += n + 2;
    return uncachedString(v, nullptr);
  }
  Workspace& w = *cache_;
  if (w.items[keySlot].valueMisses >= kValueMissesToSkip && ++valueSkips_ % kValueSkipProbe != 0) {
    const char* bytes = reinterpret_cast<const char*>(p + 1);
    p += n + 2;
    return arena_->newString(std::string_view(bytes, static_cast<std::size_t>(n)));
  }
  JTTokenValue v;
  v.ptr = p + 1;
  v.length = static_cast<std::size_t>(n);
  v.type = JTValueType::String;
  p += n + 2;
  const std::uint32_t missesBefore = probeMisses_;
  const platform::ValueNode* node = stringNode(v);
  // The key's item may have made room for the value: then this counts for
  // whatever item the slot holds now, which is harmless.
  CacheItem& keyItem = w.items[keySlot];
  if (probeMisses_ == missesBefore) {
    keyItem.valueMisses = 0;
  } else if (keyItem.valueMisses < kValueMissesToSkip) {
    keyItem.valueMisses = keyItem.valueMisses + 1;
  }
  return node;
}

const platform::ValueNode* JSONDecoder::fastNodeKey(const std::uint8_t*& p, std::uint64_t* keyHash,
                                                    std::uint16_t& hint) {
  JTTokenValue plain;
  JTTokenValue* read = &plain;
  const int n = jtShortPlainStringLength(p, state_.input() + state_.length());
  if (n >= 0) {
    plain.ptr = p + 1;
    plain.length = static_cast<std::size_t>(n);
    plain.type = JTValueType::String;
    p += n + 2;
  } else {
    state_.setAtIndex(static_cast<std::size_t>(p - state_.input()));
    if (state_.nextLongStringToken() != 0) return nullptr;
    p = state_.input() + state_.atIndex();
    read = &state_.token().value;
  }
  JTTokenValue& v = *read;
  const std::uint16_t epoch = cache_->hintEpoch;
  if ((hint & (kHintConfirmed | kHintEpoch)) == (kHintConfirmed | epoch)) {
    if (const platform::ValueNode* node = hintedKey(v, hint & kHintSlot, keyHash)) return node;
  }
  const platform::ValueNode* node = stringNode(v, keyHash);
  // A hint is followed only once it has proved right without being asked.
  const std::uint16_t slot = v.cacheSlot >= 0 ? static_cast<std::uint16_t>(v.cacheSlot) : kNoSlot;
  const bool proved = slot == (hint & kHintSlot) && slot != kNoSlot;
  hint = static_cast<std::uint16_t>(slot | epoch | (proved ? kHintConfirmed : 0));
  return node;
}

const platform::ValueNode* JSONDecoder::hintedKey(const JTTokenValue& v, std::size_t slot,
                                                  std::uint64_t* keyHash) {
  Workspace& w = *cache_;
  // An empty slot's item is never read (it may be left from a decoder
  // before, or from before clearCache).
  if (slot >= w.tags.size() || w.tags[slot] == 0) return nullptr;
  const CacheItem& item = w.items[slot];
  if (item.type != JTValueType::String || item.length != v.length || v.length > kInlineBytes ||
      v.length == 0 || !bytesEqual(item.text, v.ptr, v.length)) {
    return nullptr;
  }
  if (item.generation == static_cast<std::uint32_t>(generation_) && item.keyHashed) {
    *keyHash = w.itemKeyHashes[slot];
    return item.node;
  }
  return hintedKeyAgain(v, slot, keyHash);
}

// hintedKey for a key of an earlier document, or one not hashed yet.
const platform::ValueNode* JSONDecoder::hintedKeyAgain(const JTTokenValue& v, std::size_t slot,
                                                       std::uint64_t* keyHash) {
  CacheItem& item = cache_->items[slot];
  if (item.generation != static_cast<std::uint32_t>(generation_)) {
    if (const ArenaOwner* owner = liveOwner(item.generation)) {
      pinRecent(owner, item.node);
    } else {
      // Its document is gone: build the key again in the same slot (the
      // bytes, and so the tag and the key hash, stay as they are).
      const platform::ValueNode* node = newLeaf(v);
      if (node == nullptr) return nullptr;
      item.node = node;
      item.generation = static_cast<std::uint32_t>(generation_);
    }
  }
  *keyHash = savedKeyHash(slot, v);
  return item.node;
}

const platform::ValueNode* JSONDecoder::fastNodeNumber(const std::uint8_t*& p) {
  // The number is read once, without the scanner's token where none is
  // needed: long numbers and those that skip the cache (numbers have not
  // been repeating) go straight into their leaves, as leafNode would put
  // them; the others become the token for the cache.
  JTTokenValue v;
  const std::uint8_t* q = p;
  if (jtScanNumber(q, state_.input() + state_.length(), v)) {
    const auto length = static_cast<std::size_t>(q - p);
    if (length > kCacheMaximumNumberText || skipsNumberCache()) {
      p = q;
      return newLeaf(v);
    }
    state_.takeScannedNumber(p, q, v);
    p = q;
    return leafNode();
  }
  state_.setAtIndex(static_cast<std::size_t>(p - state_.input()));
  if (state_.nextNumberToken() != 0) return nullptr;
  p = state_.input() + state_.atIndex();
  return leafNode();
}

const platform::ValueNode* JSONDecoder::fastNodeLiteral(const std::uint8_t*& p,
                                                        std::string_view text,
                                                        const platform::ValueNode* leaf) {
  return skipLiteral(p, text) ? leaf : nullptr;
}

namespace {
// What a value starting with a given byte is, so that the fast path picks
// its reader with one indexed jump (a chain of compares costs up to three
// mispredicted branches on a document mixing every kind of value).
enum ValueStart : std::uint8_t {
  kStartInvalid,
  kStartArray,
  kStartObject,
  kStartString,
  kStartNumber,
  kStartTrue,
  kStartFalse,
  kStartNull,
};
struct ValueStartTable {
  std::uint8_t v[256];
  constexpr ValueStartTable() : v() {
    v['['] = kStartArray;
    v['{'] = kStartObject;
    v['"'] = kStartString;
    v['-'] = kStartNumber;
    for (int c = '0'; c <= '9'; ++c) v[c] = kStartNumber;
    v['t'] = kStartTrue;
    v['f'] = kStartFalse;
    v['n'] = kStartNull;
  }
};
constexpr ValueStartTable kValueStart;
}  // namespace

const platform::ValueNode* JSONDecoder::fastNode(const std::uint8_t*& p) {
  switch (kValueStart.v[*p]) {
    case kStartArray:
      return fastNodeArray(p);
    case kStartObject:
      return fastNodeDictionary(p);
    case kStartString:
      return fastNodeString(p);
    case kStartNumber:
      return fastNodeNumber(p);
    case kStartTrue:
      return fastNodeLiteral(p, "true", trueNode_);
    case kStartFalse:
      return fastNodeLiteral(p, "false", falseNode_);
    case kStartNull:
      return fastNodeLiteral(p, "null", nullNode_);
    default:
      return nullptr;
  }
}

const platform::ValueNode* JSONDecoder::fastNodeArray(const std::uint8_t*& p) {
  if (++depth_ > kJTMaximumNestingDepth) return nullptr;
  const std::uint8_t* end = state_.input() + state_.length();
  const std::size_t start = nodes_.size();
  p = skipBlank(p + 1, end);
  if (p < end && *p == ']') {
    ++p;
  } else {
    for (;;) {
      if (p >= end) return nullptr;
      const platform::ValueNode* v = fastNode(p);
      if (v == nullptr) return nullptr;
      nodes_.push_back(v);
      p = skipBlank(p, end);
      if (p >= end) return nullptr;
      if (*p == ',') {
        p = skipBlank(p + 1, end);
        continue;
      }
      if (*p != ']') return nullptr;
      ++p;
      break;
    }
  }
  const JTArray* array = JTArray::create(*arena_, nodes_.data() + start, nodes_.size() - start);
  nodes_.resize(start);
  --depth_;
  return array;
}

const platform::ValueNode* JSONDecoder::fastNodeDictionary(const std::uint8_t*& p) {
  if (++depth_ > kJTMaximumNestingDepth) return nullptr;
  const std::uint8_t* end = state_.input() + state_.length();
  const std::size_t start = pairNodes_.size();
  p = skipBlank(p + 1, end);
  if (p < end && *p == '}') {
    ++p;
  } else {
    Workspace& w = *cache_;
    std::uint16_t unhinted = kNoSlot;  // after a key outside the cache
    std::uint16_t* hintSlot = &w.firstKey[depth_ % w.firstKey.size()];
    for (;;) {
      if (p >= end || *p != '"') return nullptr;
      std::uint64_t hash = 0;
      std::uint16_t hint = *hintSlot;
      const platform::ValueNode* key = fastNodeKey(p, &hash, hint);
      if (key == nullptr) return nullptr;
      if (*hintSlot != hint) *hintSlot = hint;
      const std::uint16_t slot = hint & kHintSlot;
      hintSlot = slot != kNoSlot ? &w.nextKey[slot] : &unhinted;
      p = skipBlank(p, end);
      if (p >= end || *p != ':') return nullptr;
      p = skipBlank(p + 1, end);
      if (p >= end) return nullptr;
      const platform::ValueNode* v =
          *p == '"' && slot != kNoSlot ? fastNodeValue(p, slot) : fastNode(p);
      if (v == nullptr) return nullptr;
      pairNodes_.push_back({key, hash, v});
      p = skipBlank(p, end);
      if (p >= end) return nullptr;
      if (*p == ',') {
        p = skipBlank(p + 1, end);
        continue;
      }
      if (*p != '}') return nullptr;
      ++p;
      break;
    }
  }
  const JTDictionary* dict =
      JTDictionary::create(*arena_, pairNodes_.data() + start, pairNodes_.size() - start);
  pairNodes_.resize(start);
  --depth_;
  return dict;
}

// The collections of both paths, from the top of the stacks down to `start`.
Value JSONDecoder::finishArray(std::size_t start) {
  Value array;
  if (mutableCollections_) {
    array = JTArray::create(std::vector<Value>(std::make_move_iterator(values_.begin() + start),
                                               std::make_move_iterator(values_.end())),
                            true);
  } else {
    array = JTArray::create(*arena_, values_.data() + start, values_.size() - start);
  }
  values_.resize(start);
  --depth_;
  return array;
}

Value JSONDecoder::finishDictionary(std::size_t start) {
  const std::size_t n = keys_.size() - start;
  Value dict = mutableCollections_
                   ? JTDictionary::create(keys_.data() + start, keyHashes_.data() + start,
                                          dictionaryValues_.data() + start, n, true)
                   : JTDictionary::create(*arena_, keys_.data() + start, keyHashes_.data() + start,
                                          dictionaryValues_.data() + start, n);
  keys_.resize(start);
  keyHashes_.resize(start);
  dictionaryValues_.resize(start);
  --depth_;
  return dict;
}

// --- the full path -----------------------------------------------------------

Value JSONDecoder::parseValue() {
  switch (state_.token().type) {
    case JTTokenType::ArrayBegin:
      return parseArray();
    case JTTokenType::ObjectBegin:
      return parseDictionary();
    default:
      return leafForToken();
  }
}

Value JSONDecoder::parseArray() {
  if (++depth_ > kJTMaximumNestingDepth) {
    state_.error(
        platform::format("Nesting deeper than %lu arrays and objects.", kJTMaximumNestingDepth),
        kJTErrorCodeNestingTooDeep);
    return Value();
  }
  const std::size_t start = values_.size();
  unsigned accept = kAcceptValue | kAcceptEnd;
  auto fail = [&](std::string_view message) {
    if (!message.empty()) state_.error(message);
    values_.resize(start);
    return Value();
  };
  for (;;) {
    state_.skipWhitespace();
    if (state_.atIndex() >= state_.length()) return fail({});
    if (state_.nextToken() != 0) return fail({});
    const JTTokenType type = state_.token().type;
    if (isValueToken(type)) {
      if ((accept & kAcceptValue) == 0) return fail("Unexpected value.");
      Value v = parseValue();
      if (v.isNone()) {
        if (!state_.hasError() && state_.atIndex() < state_.length()) {
          return fail("Internal error: Object == NULL");
        }
        return fail({});
      }
      values_.push_back(std::move(v));
      accept = kAcceptComma | kAcceptEnd;
    } else if (type == JTTokenType::Comma) {
      if ((accept & kAcceptComma) == 0) return fail("Unexpected ','.");
      accept = kAcceptValue;
    } else if (type == JTTokenType::ArrayEnd) {
      if ((accept & kAcceptEnd) == 0) return fail("Unexpected ']'.");
      break;
    } else {
      return fail(expectedMessage(accept, false));
    }
  }
  return finishArray(start);
}

Value JSONDecoder::parseDictionary() {
  if (++depth_ > kJTMaximumNestingDepth) {
    state_.error(
        platform::format("Nesting deeper than %lu arrays and objects.", kJTMaximumNestingDepth),
        kJTErrorCodeNestingTooDeep);
    return Value();
  }
  const std::size_t start = keys_.size();
  unsigned accept = kAcceptValue | kAcceptEnd;
  std::vector<Value>& objects = dictionaryValues_;
  auto fail = [&](std::string_view message) {
    if (!message.empty()) state_.error(message);
    keys_.resize(start);
    keyHashes_.resize(start);
    objects.resize(start);
    return Value();
  };
  for (;;) {
    state_.skipWhitespace();
    if (state_.atIndex() >= state_.length()) return fail({});
    if (state_.nextToken() != 0) return fail({});
    const JTTokenType type = state_.token().type;
    if (type == JTTokenType::String) {
      if ((accept & kAcceptValue) == 0) return fail("Unexpected string.");
      std::uint64_t hash = 0;
      Value key = leafForToken(&hash);
      if (key.isNone()) return fail("Internal error: Key == NULL.");
      if (state_.nextToken() != 0) return fail({});
      if (state_.token().type != JTTokenType::Separator) return fail("Expected ':'.");
      if (state_.nextToken() != 0) return fail({});
      if (!isValueToken(state_.token().type)) return fail(expectedMessage(kAcceptValue, false));
      Value v = parseValue();
      if (v.isNone()) {
        if (!state_.hasError() && state_.atIndex() < state_.length()) {
          return fail("Internal error: Object == NULL.");
        }
        return fail({});
      }
      keys_.push_back(std::move(key));
      keyHashes_.push_back(hash);
      objects.push_back(std::move(v));
      accept = kAcceptComma | kAcceptEnd;
    } else if (type == JTTokenType::Comma) {
      if ((accept & kAcceptComma) == 0) return fail("Unexpected ','.");
      accept = kAcceptValue;
    } else if (type == JTTokenType::ObjectEnd) {
      if ((accept & kAcceptEnd) == 0) return fail("Unexpected '}'.");
      break;
    } else {
      return fail(expectedMessage(accept, true));
    }
  }
  return finishDictionary(start);
}

// ---------------------------------------------------------------------------

namespace {
Value parseOnce(std::string_view bytes, std::uint64_t options, bool mutableResult, Error* error) {
  JSONDecoder decoder(options);
  return mutableResult
             ? decoder.mutableObjectWithUTF8String(bytes.data() ? bytes.data() : "", bytes.size(),
                                                   error)
             : decoder.objectWithUTF8String(bytes.data() ? bytes.data() : "", bytes.size(), error);
}
}  // namespace

Value objectFromJSONString(std::string_view json, std::uint64_t parseOptions, Error* error) {
  return parseOnce(json, parseOptions, false, error);
}

Value mutableObjectFromJSONString(std::string_view json, std::uint64_t parseOptions, Error* error) {
  return parseOnce(json, parseOptions, true, error);
}

Value objectFromJSONData(const Value& data, std::uint64_t parseOptions, Error* error) {
  return parseOnce(dataBytes(data), parseOptions, false, error);
}

Value mutableObjectFromJSONData(const Value& data, std::uint64_t parseOptions, Error* error) {
  return parseOnce(dataBytes(data), parseOptions, true, error);
}

}  // namespace codecs
