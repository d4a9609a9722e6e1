#include "logging/printable_log_text.h"

namespace logging {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void appendUnicodeEscape(std::string& out, unsigned code) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(code >> shift) & 0xf];
}

}  // namespace

std::string LKPrintableLogText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else if (c == 0xc2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      appendUnicodeEscape(out, static_cast<unsigned char>(text[i + 1]));
      ++i;
    } else if (c == 0xe2 && i + 2 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(text[i + 2]) == 0xa8 ||
                static_cast<unsigned char>(text[i + 2]) == 0xa9)) {
      appendUnicodeEscape(out, 0x2000u | (static_cast<unsigned char>(text[i + 2]) & 0x3fu));
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace logging
