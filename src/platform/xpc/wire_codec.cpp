#include "platform/xpc/wire_codec.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace platform::xpc::wire {

namespace {

enum Tag : std::uint8_t {
  kNull = 0x01,
  kFalse = 0x02,
  kTrue = 0x03,
  kInt64 = 0x04,
  kUInt64 = 0x05,
  kDouble = 0x06,
  kString = 0x07,
  kData = 0x08,
  kArchive = 0x09,
  kDate = 0x0A,
  kUUID = 0x0B,
  kFd = 0x0C,
  kArray = 0x0D,
  kDictionary = 0x0E,
  kError = 0x0F,
  kSharedMemory = 0x10,
};

class Writer {
 public:
  // Appends to out->bytes; the payload starts at `base` (after the room the
  // caller keeps ahead of it).
  Writer(Encoded* out, std::size_t base) : out_(out), bytes_(out->bytes), base_(base) {}

  bool value(const ChannelValue& v, std::size_t depth, std::string* reason) {
    if (depth > kMaxDepth) return fail(reason, "nesting too deep");
    switch (v.type()) {
      case ChannelType::None:
        return true;
      case ChannelType::Null:
        u8(kNull);
        break;
      case ChannelType::Bool:
        u8(v.boolValue() ? kTrue : kFalse);
        break;
      case ChannelType::Int64:
        tagged64(kInt64, static_cast<std::uint64_t>(v.int64Value()));
        break;
      case ChannelType::UInt64:
        tagged64(kUInt64, v.uint64Value());
        break;
      case ChannelType::Double: {
        double d = v.doubleValue();
        std::uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        tagged64(kDouble, bits);
        break;
      }
      case ChannelType::String:
        if (!blob(kString, v.stringValue().data(), v.stringValue().size(), reason)) return false;
        break;
      case ChannelType::Data:
      case ChannelType::SharedMemory:
        if (!blob(v.type() == ChannelType::SharedMemory ? kSharedMemory
                                                        : (v.isArchive() ? kArchive : kData),
                  v.bytes().data(), v.bytes().size(), reason)) {
          return false;
        }
        break;
      case ChannelType::Date:
        tagged64(kDate, static_cast<std::uint64_t>(v.dateValue()));
        break;
      case ChannelType::UUID: {
        u8(kUUID);
        auto b = v.uuidValue();
        bytes_.insert(bytes_.end(), b.begin(), b.end());
        break;
      }
      case ChannelType::FileDescriptor:
        if (out_->descriptors.size() >= kMaxDescriptors) {
          return fail(reason, "too many file descriptors");
        }
        u8(kFd);
        u32(static_cast<std::uint32_t>(out_->descriptors.size()));
        out_->descriptors.push_back(v.fd());
        break;
      case ChannelType::Error:
        u8(kError);
        u8(static_cast<std::uint8_t>(v.errorValue()));
        break;
      case ChannelType::Array: {
        u8(kArray);
        std::size_t at = bytes_.size();
        u32(0);
        std::uint32_t n = 0;
        for (std::size_t i = 0, count = v.count(); i < count; ++i) {
          const ChannelValue& e = v.valueAt(i);
          if (!e) continue;
          if (!value(e, depth + 1, reason)) return false;
          ++n;
        }
        patch32(at, n);
        break;
      }
      case ChannelType::Dictionary: {
        u8(kDictionary);
        std::size_t at = bytes_.size();
        u32(0);
        std::uint32_t n = 0;
        // Read in place: nothing changes the dictionary while it is encoded.
        for (std::size_t i = 0, count = v.count(); i < count; ++i) {
          const ChannelValue& e = v.valueAt(i);
          if (!e) continue;
          const std::string& key = v.keyAt(i);
          if (!text(key.data(), key.size(), reason) || !value(e, depth + 1, reason)) return false;
          ++n;
        }
        patch32(at, n);
        break;
      }
    }
    if (bytes_.size() - base_ > kMaxPayload) return fail(reason, "message too large");
    return true;
  }

 private:
  static bool fail(std::string* reason, const char* text) {
    if (reason) *reason = text;
    return false;
  }
  static void put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  void u8(std::uint8_t b) { bytes_.push_back(b); }
  void u32(std::uint32_t v) {
    std::uint8_t b[4];
    put32(b, v);
    bytes_.insert(bytes_.end(), b, b + 4);
  }
  void tagged64(std::uint8_t tag, std::uint64_t v) {
    std::uint8_t b[9];
    b[0] = tag;
    for (int i = 0; i < 8; ++i) b[1 + i] = static_cast<std::uint8_t>(v >> (8 * i));
    bytes_.insert(bytes_.end(), b, b + 9);
  }
  void patch32(std::size_t at, std::uint32_t v) { put32(bytes_.data() + at, v); }
  // A length and the bytes (a dictionary key).
  bool text(const void* p, std::size_t n, std::string* reason) {
    if (n > kMaxPayload) return fail(reason, "message too large");
    u32(static_cast<std::uint32_t>(n));
    const auto* b = static_cast<const std::uint8_t*>(p);
    bytes_.insert(bytes_.end(), b, b + n);
    return true;
  }
  // A tag, a length and the bytes.
  bool blob(std::uint8_t tag, const void* p, std::size_t n, std::string* reason) {
    if (n > kMaxPayload) return fail(reason, "message too large");
    std::uint8_t head[5];
    head[0] = tag;
    put32(head + 1, static_cast<std::uint32_t>(n));
    bytes_.reserve(bytes_.size() + sizeof head + n);
    bytes_.insert(bytes_.end(), head, head + sizeof head);
    const auto* b = static_cast<const std::uint8_t*>(p);
    bytes_.insert(bytes_.end(), b, b + n);
    return true;
  }
  Encoded* out_;
  std::vector<std::uint8_t>& bytes_;
  std::size_t base_;
};

// Entries made room for ahead of reading them.
constexpr std::size_t kReservedEntries = 64;

class Reader {
 public:
  Reader(const std::uint8_t* p, std::size_t n, const std::vector<int>& fds, std::size_t maxDepth)
      : p_(p), end_(p + n), fds_(fds), maxDepth_(std::min(maxDepth, kMaxDepth)) {}

  std::optional<ChannelValue> value(std::size_t depth) {
    if (depth > maxDepth_) return fail("nesting too deep");
    std::uint8_t tag;
    if (!u8(&tag)) return std::nullopt;
    switch (tag) {
      case kNull:
        return ChannelValue::null();
      case kFalse:
        return ChannelValue::boolean(false);
      case kTrue:
        return ChannelValue::boolean(true);
      case kInt64: {
        std::uint64_t v;
        if (!u64(&v)) return std::nullopt;
        return ChannelValue::int64(static_cast<std::int64_t>(v));
      }
      case kUInt64: {
        std::uint64_t v;
        if (!u64(&v)) return std::nullopt;
        return ChannelValue::uint64(v);
      }
      case kDouble: {
        std::uint64_t bits;
        if (!u64(&bits)) return std::nullopt;
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return ChannelValue::real(d);
      }
      case kString: {
        std::string_view s;
        if (!text(&s)) return std::nullopt;
        return ChannelValue::string(s);
      }
      case kData:
      case kArchive:
      case kSharedMemory: {
        std::uint32_t n;
        if (!u32(&n)) return std::nullopt;
        if (static_cast<std::size_t>(end_ - p_) < n) return fail("truncated data");
        std::vector<std::uint8_t> b(p_, p_ + n);
        p_ += n;
        if (tag == kSharedMemory) return ChannelValue::sharedMemory(std::move(b));
        return ChannelValue::data(std::move(b), tag == kArchive);
      }
      case kDate: {
        std::uint64_t v;
        if (!u64(&v)) return std::nullopt;
        return ChannelValue::date(static_cast<std::int64_t>(v));
      }
      case kUUID: {
        if (end_ - p_ < 16) return fail("truncated uuid");
        UUIDBytes b;
        std::memcpy(b.data(), p_, 16);
        p_ += 16;
        return ChannelValue::uuid(b);
      }
      case kFd: {
        std::uint32_t index;
        if (!u32(&index)) return std::nullopt;
        if (index >= fds_.size()) return fail("descriptor index out of range");
        ChannelValue v = ChannelValue::fileDescriptor(fds_[index]);
        if (!v) return fail("descriptor could not be duplicated");
        return v;
      }
      case kError: {
        std::uint8_t e;
        if (!u8(&e)) return std::nullopt;
        if (e < 1 || e > 3) return fail("unknown error code");
        return ChannelValue::error(static_cast<ChannelError>(e));
      }
      case kArray: {
        std::uint32_t n;
        if (!u32(&n)) return std::nullopt;
        // Every element takes at least one byte.
        if (n > static_cast<std::size_t>(end_ - p_)) return fail("array count too large");
        ChannelValue a = ChannelValue::array();
        for (std::uint32_t i = 0; i < n; ++i) {
          auto e = value(depth + 1);
          if (!e) return std::nullopt;
          a.append(*e);
        }
        return a;
      }
      case kDictionary: {
        std::uint32_t n;
        if (!u32(&n)) return std::nullopt;
        // Every entry takes at least five bytes (key length and a tag).
        if (n > static_cast<std::size_t>(end_ - p_) / 5) return fail("dictionary count too large");
        // Room for the announced entries, up to a bound: a count is only a
        // claim until the entries have been read.
        ChannelValue d = ChannelValue::dictionary(std::min<std::size_t>(n, kReservedEntries));
        for (std::uint32_t i = 0; i < n; ++i) {
          std::string_view key;
          if (!text(&key)) return std::nullopt;
          auto e = value(depth + 1);
          if (!e) return std::nullopt;
          d.set(key, *e);
        }
        return d;
      }
      default:
        return fail("unknown type tag");
    }
  }

  bool atEnd() const { return p_ == end_; }
  const std::string& reason() const { return reason_; }

 private:
  std::nullopt_t fail(const char* r) {
    if (reason_.empty()) reason_ = r;
    return std::nullopt;
  }
  bool u8(std::uint8_t* v) {
    if (p_ >= end_) return fail("truncated value"), false;
    *v = *p_++;
    return true;
  }
  bool u32(std::uint32_t* v) {
    if (end_ - p_ < 4) return fail("truncated length"), false;
    *v = 0;
    for (int i = 0; i < 4; ++i) *v |= static_cast<std::uint32_t>(p_[i]) << (8 * i);
    p_ += 4;
    return true;
  }
  bool u64(std::uint64_t* v) {
    if (end_ - p_ < 8) return fail("truncated number"), false;
    *v = 0;
    for (int i = 0; i < 8; ++i) *v |= static_cast<std::uint64_t>(p_[i]) << (8 * i);
    p_ += 8;
    return true;
  }
  // The text in place (it lives as long as the input).
  bool text(std::string_view* s) {
    std::uint32_t n;
    if (!u32(&n)) return false;
    if (static_cast<std::size_t>(end_ - p_) < n) return fail("truncated text"), false;
    *s = std::string_view(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return true;
  }

  const std::uint8_t* p_;
  const std::uint8_t* end_;
  const std::vector<int>& fds_;
  std::size_t maxDepth_;
  std::string reason_;
};

}  // namespace

std::optional<Encoded> encode(const ChannelValue& value, std::string* reason) {
  return encode(value, reason, 0);
}

std::optional<Encoded> encode(const ChannelValue& value, std::string* reason,
                              std::size_t headroom) {
  Encoded out;
  // Most messages are small: one allocation covers them.
  out.bytes.reserve(headroom + 256);
  out.bytes.resize(headroom);
  Writer w(&out, headroom);
  if (!w.value(value, 0, reason)) return std::nullopt;
  return out;
}

std::optional<ChannelValue> decode(const std::uint8_t* data, std::size_t size,
                                   const std::vector<int>& descriptors, std::string* reason,
                                   std::size_t maxDepth) {
  if (size > kMaxPayload) {
    if (reason) *reason = "message too large";
    return std::nullopt;
  }
  Reader r(data, size, descriptors, maxDepth);
  auto v = r.value(0);
  if (v && !r.atEnd()) {
    if (reason) *reason = "trailing bytes";
    return std::nullopt;
  }
  if (!v && reason) *reason = r.reason();
  return v;
}

void writeHeader(const FrameHeader& h, std::uint8_t* out) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(h.length >> (8 * i));
  out[4] = static_cast<std::uint8_t>(h.kind);
  out[5] = h.wantsReply ? 1 : 0;
  out[6] = static_cast<std::uint8_t>(h.descriptorCount);
  out[7] = static_cast<std::uint8_t>(h.descriptorCount >> 8);
  for (int i = 0; i < 8; ++i) out[8 + i] = static_cast<std::uint8_t>(h.serial >> (8 * i));
}

bool readHeader(const std::uint8_t* in, FrameHeader* h, std::string* reason) {
  auto fail = [&](const char* r) {
    if (reason) *reason = r;
    return false;
  };
  h->length = 0;
  for (int i = 0; i < 4; ++i) h->length |= static_cast<std::uint32_t>(in[i]) << (8 * i);
  if (in[4] != 1 && in[4] != 2) return fail("unknown frame kind");
  h->kind = static_cast<FrameKind>(in[4]);
  if (in[5] > 1) return fail("unknown frame flags");
  h->wantsReply = in[5] == 1;
  h->descriptorCount = static_cast<std::uint16_t>(in[6] | (in[7] << 8));
  h->serial = 0;
  for (int i = 0; i < 8; ++i) h->serial |= static_cast<std::uint64_t>(in[8 + i]) << (8 * i);
  if (h->length > kMaxPayload) return fail("frame too large");
  if (h->length == 0) return fail("empty frame");
  if (h->descriptorCount > kMaxDescriptors) return fail("too many file descriptors");
  return true;
}

}  // namespace platform::xpc::wire
