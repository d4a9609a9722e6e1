// Base64 after RFC 4648 (standard alphabet, "=" padding): encoding with
// optional CR LF line breaks every 64 characters, and lenient decoding that
// skips every character outside the alphabet.
//
// Guarantees: decoding never fails; invalid characters (padding, blanks,
// line breaks, bytes of 0x80 and above) are skipped wherever they stand, and
// the low bits left over in a short last group are dropped.
//
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace codecs {

// Encodes `length` bytes; with `breakLines`, a CR LF follows every 64
// characters except at the very end.
std::string Base64EncodeBytes(const void* bytes, std::size_t length, bool breakLines);
// Decodes `length` characters (std::string_view::npos: up to the first zero byte).
platform::Bytes Base64DecodeBytes(const char* characters, std::size_t length);

// The bytes encoded with line breaks.
std::string base64EncodedString(const platform::Bytes& data);
// The string decoded; a string that is not pure ASCII decodes to empty data.
platform::Bytes dataFromBase64String(std::string_view string);

}  // namespace codecs
