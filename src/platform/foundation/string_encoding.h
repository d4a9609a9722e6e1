// String encodings over iconv: UTF-8, ASCII, ISO Latin-1 and whatever
// iconv knows by IANA name. Strings inside the program are UTF-8.
//
// Thread safety: pure functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

enum class StringEncoding { UTF8, ASCII, ISOLatin1, UTF16BE, UTF16LE, Other };

// Maps an IANA charset name ("utf-8", "ISO-8859-1", "us-ascii", ...;
// case-insensitive) to an encoding; unknown names give nullopt.
std::optional<StringEncoding> encodingForIANAName(std::string_view name);

// Converts bytes in `encoding` (or in the IANA-named charset) to UTF-8;
// nullopt when the bytes are not valid in that encoding.
std::optional<std::string> decodeString(std::string_view bytes, StringEncoding encoding);
std::optional<std::string> decodeString(std::string_view bytes, std::string_view ianaName);
// Converts UTF-8 text to `encoding`; nullopt when a character has no form there.
std::optional<std::string> encodeString(std::string_view utf8, StringEncoding encoding);
bool isValidUTF8(std::string_view bytes);

// The one escaper of XML character data: "&", "<" and ">" always become
// entities; kXMLEscapeQuotes also turns '"' into "&quot;" (for attribute
// values), kXMLEscapeCarriageReturn a carriage return into "&#13;" (which a
// reader would otherwise fold into a line feed). Appends to `out`.
enum XMLEscapeOptions : unsigned {
  kXMLEscapeMarkup = 0,
  kXMLEscapeQuotes = 1u << 0,
  kXMLEscapeCarriageReturn = 1u << 1,
};
void appendXMLEscaped(std::string& out, std::string_view text, unsigned options);

}  // namespace platform
