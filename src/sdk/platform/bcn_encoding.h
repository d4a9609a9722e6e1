// Hexadecimal, SHA-1 and UUID functions of the SDK: identifiers and hashes
// that the kits send and store.
//
// All digits are lower-case; bytes are written high nibble first.
//
// Thread safety: pure functions (BCNGenerateUUIDString reads the kernel's
// random source); any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace sdk {

// Writes the two hexadecimal digits of `byte` into buffer[0] and buffer[1]
// (no terminator); does nothing for a null buffer.
void BCNHexEncodeByte(std::uint8_t byte, char* buffer);

// Zero-fills 2*length+1 characters of `buffer`, then writes two digits per
// byte, so the result is a terminated C string. A null buffer does nothing;
// null `bytes` leave the buffer zero-filled.
void BCNHexEncodeBytes(const void* bytes, std::size_t length, char* buffer);

// The digits of every byte of `data` ("" for empty data).
std::string BCNHexStringFromData(const platform::Bytes& data);
std::string BCNHexStringFromData(std::string_view data);

// The SHA-1 digest of the bytes as 40 hexadecimal digits. Null bytes with a
// length of 0 hash the empty input.
std::string BCNSHA1HexStringFromBytes(const void* bytes, std::size_t length);
std::string BCNSHA1HexStringFromData(const platform::Bytes& data);
std::string BCNSHA1HexStringFromData(std::string_view data);

// The 32 hexadecimal digits of 16 bytes, no hyphens; "" for null bytes.
std::string BCNUUIDHexString(const std::uint8_t* bytes16);

// A new random UUID: 36 upper-case characters with hyphens (8-4-4-4-12).
std::string BCNGenerateUUIDString();

// A contiguous range of bytes within a data object.
struct BCNRange {
  std::size_t location = 0;
  std::size_t length = 0;
};

// Calls `block` for each contiguous byte range of `data`: our data objects
// are contiguous, so once, with the whole buffer and the range {0, size}.
// `block` receives the bytes of the range, the range and a stop flag that
// it may set. Empty data still makes one call with an empty range.
using BCNByteRangeBlock =
    std::function<void(const std::uint8_t* bytes, BCNRange range, bool* stop)>;
void BCNDataEnumerateByteRanges(const platform::Bytes& data, const BCNByteRangeBlock& block);

}  // namespace sdk
