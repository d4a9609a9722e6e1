#include "net/sockets/dispatch_socket_packets.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace net::sockets {

// --- pre-buffer ------------------------------------------------------------------------

DispatchSocketPreBuffer::DispatchSocketPreBuffer(std::size_t capacity) : size_(capacity) {
  block_ = static_cast<std::uint8_t*>(std::malloc(std::max<std::size_t>(capacity, 1)));
  if (!block_) throw std::bad_alloc();
}

DispatchSocketPreBuffer::~DispatchSocketPreBuffer() { std::free(block_); }

void DispatchSocketPreBuffer::ensureCapacityForWrite(std::size_t length) {
  const std::size_t space = availableSpace();
  if (length <= space) return;
  const std::size_t newSize = size_ + (length - space);
  auto* grown = static_cast<std::uint8_t*>(std::realloc(block_, newSize));
  if (!grown) throw std::bad_alloc();
  block_ = grown;
  size_ = newSize;
}

void DispatchSocketPreBuffer::didRead(std::size_t length) {
  readOffset_ += std::min(length, availableBytes());
  if (readOffset_ == writeOffset_) readOffset_ = writeOffset_ = 0;
}

void DispatchSocketPreBuffer::didWrite(std::size_t length) {
  writeOffset_ += std::min(length, availableSpace());
}

// --- read packet -------------------------------------------------------------------------

DispatchReadPacket::DispatchReadPacket(std::shared_ptr<Bytes> callerBuffer, std::size_t offset,
                                       std::size_t maxLen, double timeoutSeconds,
                                       std::size_t length, std::optional<Bytes> terminator,
                                       long requestTag)
    : maxLength(maxLen),
      timeout(timeoutSeconds),
      readLength(length),
      term(std::move(terminator)),
      tag(requestTag) {
  if (callerBuffer) {
    buffer = std::move(callerBuffer);
    startOffset = offset;
    bufferOwner = false;
    originalBufferLength = buffer->size();
  } else {
    buffer = std::make_shared<Bytes>(readLength, 0);
    startOffset = 0;
    bufferOwner = true;
    originalBufferLength = 0;
  }
}

void DispatchReadPacket::ensureCapacityForAdditionalDataOfLength(std::size_t length) {
  const std::size_t used = startOffset + bytesDone;
  const std::size_t space = buffer->size() > used ? buffer->size() - used : 0;
  if (space < length) buffer->resize(buffer->size() + (length - space));
}

std::size_t DispatchReadPacket::readLengthForNonTermWithHint(std::size_t hint) const {
  if (readLength > 0) return std::min(hint, readLength - bytesDone);
  if (maxLength > 0) return std::min(hint, maxLength - bytesDone);
  return hint;
}

std::size_t DispatchReadPacket::readLengthForTermWithHint(std::size_t hint,
                                                          bool* shouldPreBuffer) const {
  std::size_t result = hint;
  if (maxLength > 0) result = std::min(result, maxLength - bytesDone);
  if (shouldPreBuffer) {
    const std::size_t used = startOffset + bytesDone;
    const std::size_t space = buffer->size() > used ? buffer->size() - used : 0;
    *shouldPreBuffer = space < result;
  }
  return result;
}

std::size_t DispatchReadPacket::optimalReadLengthWithDefault(std::size_t defaultValue,
                                                             bool* shouldPreBuffer) const {
  if (readLength > 0) {
    if (shouldPreBuffer) *shouldPreBuffer = false;
    return std::min(defaultValue, readLength - bytesDone);
  }
  return readLengthForTermWithHint(defaultValue, shouldPreBuffer);
}

std::size_t DispatchReadPacket::readLengthForTermWithPreBuffer(
    const DispatchSocketPreBuffer& preBuffer, bool* found) const {
  const std::size_t T = term->size();
  const std::size_t P = preBuffer.availableBytes();
  const std::size_t D = bytesDone;
  if (D + P < T) return P;
  std::size_t M = P;
  if (maxLength > 0) M = std::min(M, maxLength - D);
  const std::uint8_t* pre = preBuffer.readBuffer();
  const std::uint8_t* termBytes = term->data();
  const std::uint8_t* buf = buffer->data() + startOffset;
  // Candidates whose first byte lies in the packet's data (B bytes there).
  std::size_t B = std::min(D, T - 1);
  while (B > 0) {
    if (T - B <= M && std::memcmp(buf + D - B, termBytes, B) == 0 &&
        std::memcmp(pre, termBytes + B, T - B) == 0) {
      if (found) *found = true;
      return T - B;
    }
    --B;
  }
  // Candidates wholly inside the considered pre-buffer bytes.
  for (std::size_t k = 0; k + T <= M; ++k) {
    if (std::memcmp(pre + k, termBytes, T) == 0) {
      if (found) *found = true;
      return k + T;
    }
  }
  return M;
}

long DispatchReadPacket::searchForTermAfterPreBuffering(std::size_t bytes) const {
  const std::size_t T = term->size();
  const std::uint8_t* buf = buffer->data() + startOffset;
  std::size_t position = bytesDone >= T ? bytesDone - T + 1 : 0;
  while (position + T <= bytesDone + bytes) {
    if (std::memcmp(buf + position, term->data(), T) == 0) {
      return static_cast<long>(bytesDone + bytes - (position + T));
    }
    ++position;
  }
  return -1;
}

}  // namespace net::sockets
