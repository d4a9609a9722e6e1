#include "platform/foundation/string_encoding.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <string>

namespace platform {

namespace {

std::string lowerName(std::string_view name) {
  std::string s(name);
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// Converts with iconv from `from` to `to`; nullopt when the bytes are not
// valid in `from`, a character has no form in `to`, or iconv does not know
// one of the names.
std::optional<std::string> convert(std::string_view bytes, const char* from, const char* to) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  out.resize(bytes.size() * 2 + 16);
  char* in = const_cast<char*>(bytes.data());
  std::size_t inLeft = bytes.size();
  std::size_t used = 0;
  bool ok = true;
  bool flushing = false;
  while (true) {
    char* dst = out.data() + used;
    std::size_t outLeft = out.size() - used;
    const std::size_t rc = flushing ? iconv(cd, nullptr, nullptr, &dst, &outLeft)
                                    : iconv(cd, &in, &inLeft, &dst, &outLeft);
    used = out.size() - outLeft;
    if (rc != static_cast<std::size_t>(-1)) {
      if (flushing) break;
      // glibc counts characters it replaced with a substitute as irreversible
      // conversions; a faithful conversion has none.
      if (rc > 0) {
        ok = false;
        break;
      }
      flushing = true;
      continue;
    }
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    ok = false;  // EILSEQ or EINVAL (an incomplete sequence at the end)
    break;
  }
  iconv_close(cd);
  if (!ok) return std::nullopt;
  out.resize(used);
  return out;
}

const char* iconvName(StringEncoding encoding) {
  switch (encoding) {
    case StringEncoding::UTF8:
      return "UTF-8";
    case StringEncoding::ASCII:
      return "ASCII";
    case StringEncoding::ISOLatin1:
      return "ISO-8859-1";
    case StringEncoding::UTF16BE:
      return "UTF-16BE";
    case StringEncoding::UTF16LE:
      return "UTF-16LE";
    case StringEncoding::Other:
      return nullptr;
  }
  return nullptr;
}

}  // namespace

std::optional<StringEncoding> encodingForIANAName(std::string_view name) {
  const std::string n = lowerName(name);
  if (n == "utf-8" || n == "utf8") return StringEncoding::UTF8;
  if (n == "us-ascii" || n == "ascii" || n == "iso646-us" || n == "ansi_x3.4-1968" || n == "us" ||
      n == "csascii")
    return StringEncoding::ASCII;
  if (n == "iso-8859-1" || n == "iso_8859-1" || n == "iso8859-1" || n == "latin1" || n == "l1" ||
      n == "iso-ir-100" || n == "cp819" || n == "ibm819" || n == "csisolatin1" ||
      n == "iso_8859-1:1987")
    return StringEncoding::ISOLatin1;
  if (n == "utf-16be") return StringEncoding::UTF16BE;
  if (n == "utf-16le") return StringEncoding::UTF16LE;
  if (n.empty()) return std::nullopt;
  iconv_t cd = iconv_open("UTF-8", n.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  iconv_close(cd);
  return StringEncoding::Other;
}

bool isValidUTF8(std::string_view bytes) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    int extra;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + static_cast<std::size_t>(extra) >= n) return false;
    for (int k = 1; k <= extra; ++k) {
      const auto cc = static_cast<unsigned char>(bytes[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
    if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += static_cast<std::size_t>(extra) + 1;
  }
  return true;
}

std::optional<std::string> decodeString(std::string_view bytes, StringEncoding encoding) {
  switch (encoding) {
    case StringEncoding::UTF8:
      if (!isValidUTF8(bytes)) return std::nullopt;
      return std::string(bytes);
    case StringEncoding::ASCII:
      for (char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
      }
      return std::string(bytes);
    case StringEncoding::ISOLatin1: {
      std::string out;
      out.reserve(bytes.size());
      for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
          out += ch;
        } else {
          out += static_cast<char>(0xC0 | (c >> 6));
          out += static_cast<char>(0x80 | (c & 0x3F));
        }
      }
      return out;
    }
    case StringEncoding::UTF16BE:
    case StringEncoding::UTF16LE:
      return convert(bytes, iconvName(encoding), "UTF-8");
    case StringEncoding::Other:
      return std::nullopt;  // no charset name to go by
  }
  return std::nullopt;
}

std::optional<std::string> decodeString(std::string_view bytes, std::string_view ianaName) {
  const std::optional<StringEncoding> known = encodingForIANAName(ianaName);
  if (!known) return std::nullopt;
  if (*known != StringEncoding::Other) return decodeString(bytes, *known);
  auto out = convert(bytes, lowerName(ianaName).c_str(), "UTF-8");
  if (out && !isValidUTF8(*out)) return std::nullopt;
  return out;
}

std::optional<std::string> encodeString(std::string_view utf8, StringEncoding encoding) {
  if (!isValidUTF8(utf8)) return std::nullopt;
  switch (encoding) {
    case StringEncoding::UTF8:
      return std::string(utf8);
    case StringEncoding::ASCII:
      for (char c : utf8) {
        if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
      }
      return std::string(utf8);
    case StringEncoding::ISOLatin1:
    case StringEncoding::UTF16BE:
    case StringEncoding::UTF16LE:
      return convert(utf8, "UTF-8", iconvName(encoding));
    case StringEncoding::Other:
      return std::nullopt;
  }
  return std::nullopt;
}

void appendXMLEscaped(std::string& out, std::string_view text, unsigned options) {
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        if (options & kXMLEscapeQuotes) {
          out += "&quot;";
        } else {
          out += c;
        }
        break;
      case '\r':
        if (options & kXMLEscapeCarriageReturn) {
          out += "&#13;";
        } else {
          out += c;
        }
        break;
      default:
        out += c;
    }
  }
}

}  // namespace platform
