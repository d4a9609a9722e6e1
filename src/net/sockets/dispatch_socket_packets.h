// The data carriers of DispatchSocket: the pre-buffer that holds bytes read
// ahead of the current read, one queued read request, one queued write
// request, and the TLS marker that a TLS start puts into both request queues.
//
// They do no I/O themselves; the socket uses them only on its socket queue.
//
// Thread safety: none; one object, used from the owning socket's queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/foundation/value.h"

namespace net::sockets {

using platform::Bytes;

class TLSSessionCache;

// A growable byte block with a read and a write position. Readable bytes lie
// between the two; free room lies after the write position.
class DispatchSocketPreBuffer {
 public:
  explicit DispatchSocketPreBuffer(std::size_t capacity);
  ~DispatchSocketPreBuffer();
  DispatchSocketPreBuffer(const DispatchSocketPreBuffer&) = delete;
  DispatchSocketPreBuffer& operator=(const DispatchSocketPreBuffer&) = delete;

  // Grows the block by exactly the shortfall when fewer than `length` bytes
  // are free after the write position; never shrinks. Unread bytes keep
  // their offsets from the start of the block.
  void ensureCapacityForWrite(std::size_t length);

  std::size_t availableBytes() const { return writeOffset_ - readOffset_; }
  const std::uint8_t* readBuffer() const { return block_ + readOffset_; }
  // Consumes `length` readable bytes; when none remain both positions return
  // to the start of the block.
  void didRead(std::size_t length);

  std::size_t availableSpace() const { return size_ - writeOffset_; }
  std::uint8_t* writeBuffer() { return block_ + writeOffset_; }
  void didWrite(std::size_t length);

  void reset() { readOffset_ = writeOffset_ = 0; }
  std::size_t size() const { return size_; }
  std::size_t readOffset() const { return readOffset_; }

 private:
  std::uint8_t* block_ = nullptr;
  std::size_t size_ = 0;
  std::size_t readOffset_ = 0;
  std::size_t writeOffset_ = 0;
};

// One read request. Exactly one kind: fixed length (readLength > 0),
// terminator (term set), or available data (neither; limited by maxLength
// when it is not 0).
class DispatchReadPacket {
 public:
  // `buffer` is the caller's buffer (kept, not copied; the caller must not
  // touch it until the read completes) or null: the packet then owns a new
  // buffer of readLength zero bytes.
  DispatchReadPacket(std::shared_ptr<Bytes> buffer, std::size_t startOffset, std::size_t maxLength,
                     double timeout, std::size_t readLength, std::optional<Bytes> terminator,
                     long tag);

  // Grows the buffer so that `length` more bytes fit after startOffset + bytesDone.
  void ensureCapacityForAdditionalDataOfLength(std::size_t length);
  // Fixed-length and available-data reads: how much to ask for given `hint`.
  std::size_t readLengthForNonTermWithHint(std::size_t hint) const;
  // Terminator reads on a plain socket: how much to ask for given `hint`;
  // *shouldPreBuffer tells whether to read into the pre-buffer instead.
  std::size_t readLengthForTermWithHint(std::size_t hint, bool* shouldPreBuffer) const;
  // Reads on a TLS socket.
  std::size_t optimalReadLengthWithDefault(std::size_t defaultValue, bool* shouldPreBuffer) const;
  // Terminator reads: how many pre-buffer bytes the read takes; *found is
  // set when the terminator ends within them (left unchanged otherwise).
  std::size_t readLengthForTermWithPreBuffer(const DispatchSocketPreBuffer& preBuffer,
                                             bool* found) const;
  // After `bytes` bytes were appended at bytesDone (not yet counted): the
  // count of new bytes past the end of the terminator (0 = the data ends
  // with it), or -1 when it is absent.
  long searchForTermAfterPreBuffering(std::size_t bytes) const;

  std::shared_ptr<Bytes> buffer;
  std::size_t startOffset = 0;
  std::size_t bytesDone = 0;
  std::size_t maxLength = 0;
  double timeout = -1;
  std::size_t readLength = 0;
  std::optional<Bytes> term;
  bool bufferOwner = false;
  std::size_t originalBufferLength = 0;
  long tag = 0;
};

// One write request. The data is shared, never referenced after the caller
// lets go of it: the packet holds its own reference.
class DispatchWritePacket {
 public:
  DispatchWritePacket(std::shared_ptr<const Bytes> data, double timeoutSeconds, long writeTag)
      : buffer(std::move(data)), tag(writeTag), timeout(timeoutSeconds) {}

  std::shared_ptr<const Bytes> buffer;
  std::size_t bytesDone = 0;
  long tag = 0;
  double timeout = -1;
};

// The TLS marker; the same object goes into the read and the write queue.
class DispatchSpecialPacket {
 public:
  explicit DispatchSpecialPacket(platform::Value settings,
                                 std::shared_ptr<TLSSessionCache> cache = nullptr)
      : tlsSettings(settings.copy()), sessionCache(std::move(cache)) {}
  platform::Value tlsSettings;
  std::shared_ptr<TLSSessionCache> sessionCache;  // none: the shared one
};

}  // namespace net::sockets
