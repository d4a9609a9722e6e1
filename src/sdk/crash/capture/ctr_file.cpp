#include "sdk/crash/capture/ctr_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "codecs/json_decoder.h"
#include "platform/foundation/string_encoding.h"
#include "sdk/crash/capture/ctr_context.h"
#include "sdk/crash/capture/ctr_sdk_log.h"
#include "sdk/crash/ctr_utils.h"

namespace sdk {

namespace {

constexpr std::size_t kQuotedBufferSize = 64;
constexpr std::size_t kHexBufferSize = 32;
constexpr std::size_t kNumberBufferSize = 21;  // 20 digits, or "-" and 19 digits

std::size_t cStringLength(const char* text) {
  std::size_t n = 0;
  while (text[n] != '\0') ++n;
  return n;
}

void resetHandle(CTRFile* file) {
  file->descriptor = -1;
  file->depth = 0;
  file->needsComma = false;
  file->buffered = false;
  file->buffer = nullptr;
  file->bufferedLength = 0;
  file->bytesWritten = 0;
}

// One write to a descriptor: clears errno, writes, reports a failure. An
// interrupted write is tried again at once.
ssize_t CTRFileWriteToDescriptor(int descriptor, const void* bytes, std::size_t length,
                                 bool report) {
  ssize_t result;
  do {
    errno = 0;
    result = ::write(descriptor, bytes, length);
  } while (result < 0 && errno == EINTR);
  if (result < 0 && report) {
    CTR_SDK_LOG_ERROR("Failed to write: %s\n", CTRErrorText(errno));
  }
  return result;
}

struct DescriptorWriter {
  int descriptor;
  bool report;
  ssize_t operator()(const void* bytes, std::size_t length) const {
    return CTRFileWriteToDescriptor(descriptor, bytes, length, report);
  }
};

// The retry loop; `report` chooses whether failures reach the SDK log.
bool CTRFileLoopWithWriteBlock(const void* bytes, std::size_t length, CTRWriteBlock writeBlock,
                               bool report) {
  if (length == 0) return false;
  const char* p = static_cast<const char*>(bytes);
  std::size_t remaining = length;
  for (int attempt = 0; attempt < kCTRFileMaximumWriteAttempts; ++attempt) {
    const ssize_t result = writeBlock(p, remaining);
    const std::size_t written = static_cast<std::size_t>(result);
    if (written == remaining) return true;
    if (written > remaining) {
      if (report) {
        CTR_SDK_LOG_ERROR("Error: length doesn't make sense (%zd, %zu)\n", result, remaining);
      }
      return false;
    }
    if (result == 0) break;
    p += written;
    remaining -= written;
  }
  if (report) CTR_SDK_LOG_ERROR("Error: exited write loop without success\n");
  return false;
}

// Digits of `magnitude` (with "-" when negative) into `buffer`, ending just
// before its last byte; the index of the first character.
std::size_t formatNumber(char* buffer, std::uint64_t magnitude, bool negative, bool hexadecimal) {
  std::memset(buffer, 0, kNumberBufferSize);
  const unsigned base = hexadecimal ? 16 : 10;
  std::size_t index = kNumberBufferSize - 1;
  do {
    buffer[--index] = "0123456789abcdef"[magnitude % base];
    magnitude /= base;
  } while (magnitude != 0);
  if (negative) buffer[--index] = '-';
  return index;
}

void writeCommaIfNeeded(CTRFile* file) {
  if (file->needsComma) CTRFileWriteRaw(file, ",", 1);
}

void openContainer(CTRFile* file, char bracket) {
  if (file->needsComma) {
    const char piece[2] = {',', bracket};
    CTRFileWriteRaw(file, piece, 2);
  } else {
    CTRFileWriteRaw(file, &bracket, 1);
  }
  ++file->depth;
  file->needsComma = false;
}

void closeContainer(CTRFile* file, char bracket) {
  CTRFileWriteRaw(file, &bracket, 1);
  if (file->depth > 0) {
    const std::int32_t before = file->depth;
    --file->depth;
    file->needsComma = before > 1;
  }
}

// Length of the valid UTF-8 sequence at `p` (at most `left` bytes), 0 when
// the bytes there are no valid sequence.
std::size_t utf8SequenceLength(const unsigned char* p, std::size_t left) {
  const unsigned char c = p[0];
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xbf;  // range of the second byte
  if (c >= 0xc2 && c <= 0xdf) {
    length = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    length = 3;
    if (c == 0xe0) low = 0xa0;
    if (c == 0xed) high = 0x9f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    length = 4;
    if (c == 0xf0) low = 0x90;
    if (c == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (length > left || p[1] < low || p[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if ((p[i] & 0xc0) != 0x80) return 0;
  }
  return length;
}

// `text` between double quotes, with ":" after a key. A value is escaped
// the way JSON reads it back: quotation mark and backslash with a
// backslash, control characters as \u00XX, and each byte that is not part
// of valid UTF-8 as \ufffd, so no text can break the line.
void writeQuoted(CTRFile* file, const char* text, std::size_t length, bool key) {
  char piece[kQuotedBufferSize];
  std::size_t n = 0;
  auto flushIfShort = [&](std::size_t room) {
    if (n + room > sizeof(piece)) {
      CTRFileWriteRaw(file, piece, n);
      n = 0;
    }
  };
  piece[n++] = '"';
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  std::size_t i = 0;
  while (i < length) {
    const unsigned char c = bytes[i];
    if (key || (c >= 0x20 && c < 0x7f && c != '"' && c != '\\')) {
      flushIfShort(1);
      piece[n++] = static_cast<char>(c);
      ++i;
    } else if (c == '"' || c == '\\') {
      flushIfShort(2);
      piece[n++] = '\\';
      piece[n++] = static_cast<char>(c);
      ++i;
    } else if (c < 0x20 || c == 0x7f) {
      static const char kDigits[] = "0123456789abcdef";
      flushIfShort(6);
      std::memcpy(piece + n, "\\u00", 4);
      piece[n + 4] = kDigits[c >> 4];
      piece[n + 5] = kDigits[c & 0xf];
      n += 6;
      ++i;
    } else if (const std::size_t sequence = utf8SequenceLength(bytes + i, length - i)) {
      flushIfShort(sequence);
      std::memcpy(piece + n, bytes + i, sequence);
      n += sequence;
      i += sequence;
    } else {
      flushIfShort(6);
      std::memcpy(piece + n, "\\ufffd", 6);
      n += 6;
      ++i;
    }
  }
  flushIfShort(2);
  piece[n++] = '"';
  if (key) piece[n++] = ':';
  CTRFileWriteRaw(file, piece, n);
}

void writeKey(CTRFile* file, const char* name) {
  writeCommaIfNeeded(file);
  if (name == nullptr) name = "";
  writeQuoted(file, name, cStringLength(name), true);
  file->needsComma = false;
}

void writeNumber(CTRFile* file, std::uint64_t magnitude, bool negative) {
  writeCommaIfNeeded(file);
  char buffer[kNumberBufferSize];
  const std::size_t first = formatNumber(buffer, magnitude, negative, false);
  CTRFileWriteRaw(file, buffer + first, kNumberBufferSize - 1 - first);
  file->needsComma = true;
}

void writeString(CTRFile* file, const char* text, std::size_t length) {
  writeCommaIfNeeded(file);
  if (text == nullptr) {
    CTRFileWriteRaw(file, "null", 4);
  } else {
    writeQuoted(file, text, length, false);
  }
  file->needsComma = true;
}

void writeHex(CTRFile* file, const char* text) {
  writeCommaIfNeeded(file);
  if (text == nullptr) {
    CTRFileWriteRaw(file, "null", 4);
    file->needsComma = true;
    return;
  }
  CTRFileWriteRaw(file, "\"", 1);
  char digits[kHexBufferSize];
  std::size_t used = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    CTRHexFromByte(static_cast<std::uint8_t>(*p), digits + used);
    used += 2;
    if (used == kHexBufferSize) {
      CTRFileWriteRaw(file, digits, used);
      used = 0;
    }
  }
  if (used > 0) CTRFileWriteRaw(file, digits, used);
  CTRFileWriteRaw(file, "\"", 1);
  file->needsComma = true;
}

}  // namespace

// --- opening and closing ---------------------------------------------------

bool CTRFileInitWithPathMode(CTRFile* file, const char* path, bool append, bool buffered) {
  if (file == nullptr) {
    CTR_SDK_LOG_WARN("Error: file is null\n");
    return false;
  }
  if (path == nullptr) {
    CTR_SDK_LOG_WARN("Error: file descriptor invalid\n");
    return false;
  }
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
  const int fd = ::open(path, flags, 0600);
  if (fd < 0) {
    CTR_SDK_LOG_WARN("Error: Unable to open file %s\n", CTRErrorText(errno));
    CTR_SDK_LOG_WARN("Error: file descriptor invalid\n");
    return false;
  }
  resetHandle(file);
  file->descriptor = fd;
  file->buffered = buffered;
  if (buffered) {
    file->buffer = static_cast<char*>(std::malloc(kCTRFileBufferSize));
    // Without a buffer the handle writes straight through.
    if (file->buffer == nullptr) file->buffered = false;
  }
  if (append) {
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_size > 0) {
      file->bytesWritten = static_cast<std::uint64_t>(info.st_size);
    }
  }
  return true;
}

bool CTRFileInit(CTRFile* file, const char* path, bool buffered) {
  return CTRFileInitWithPathMode(file, path, true, buffered);
}

bool CTRFileCloseWithOffset(CTRFile* file, std::uint64_t* outOffset) {
  if (!CTRIsValidPointer(file)) return false;
  if (file->buffered && file->buffer != nullptr) {
    CTRFileFlush(file);
    std::free(file->buffer);
    file->buffer = nullptr;
  }
  if (outOffset != nullptr) *outOffset = file->bytesWritten;
  bool closed = false;
  if (file->descriptor >= 0) {
    closed = ::close(file->descriptor) == 0;
    if (!closed) CTR_SDK_LOG_WARN("Error: Unable to close file %s\n", CTRErrorText(errno));
  }
  resetHandle(file);
  return closed;
}

bool CTRFileClose(CTRFile* file) { return CTRFileCloseWithOffset(file, nullptr); }

bool CTRFileIsOpen(const CTRFile* file) { return CTRIsValidPointer(file) && file->descriptor >= 0; }

// --- raw writing -----------------------------------------------------------

bool CTRFileLoopWithWriteBlock(const void* bytes, std::size_t length, CTRWriteBlock writeBlock) {
  return CTRFileLoopWithWriteBlock(bytes, length, writeBlock, true);
}

bool CTRFileWriteWithRetries(int descriptor, const void* bytes, std::size_t length) {
  DescriptorWriter writer{descriptor, true};
  return CTRFileLoopWithWriteBlock(bytes, length, CTRWriteBlock(writer), true);
}

void CTRFileFlush(CTRFile* file) {
  if (!CTRIsValidPointer(file) || file->buffer == nullptr || file->bufferedLength == 0) return;
  if (CTRFileWriteWithRetries(file->descriptor, file->buffer, file->bufferedLength)) {
    file->bytesWritten += file->bufferedLength;
  }
  file->bufferedLength = 0;
}

bool CTRFileWriteRaw(CTRFile* file, const void* bytes, std::size_t length) {
  if (!CTRIsValidPointer(file)) return false;
  if (!file->buffered || file->buffer == nullptr) {
    const bool ok = CTRFileWriteWithRetries(file->descriptor, bytes, length);
    if (ok) file->bytesWritten += length;
    return ok;
  }
  const char* p = static_cast<const char*>(bytes);
  std::size_t remaining = length;
  bool ok = true;
  while (file->bufferedLength + remaining >= kCTRFileBufferSize) {
    const std::size_t room = kCTRFileBufferSize - 1 - file->bufferedLength;
    std::memcpy(file->buffer + file->bufferedLength, p, room);
    file->bufferedLength += room;
    file->buffer[file->bufferedLength] = '\0';
    const std::uint64_t before = file->bytesWritten;
    CTRFileFlush(file);
    if (file->bytesWritten == before) ok = false;
    p += room;
    remaining -= room;
  }
  if (remaining > 0) {
    std::memcpy(file->buffer + file->bufferedLength, p, remaining);
    file->bufferedLength += remaining;
  }
  return ok;
}

bool CTRWriteNumberToDescriptorSilently(int descriptor, std::uint64_t magnitude, bool negative,
                                        bool hexadecimal) {
  char buffer[kNumberBufferSize];
  const std::size_t first = formatNumber(buffer, magnitude, negative, hexadecimal);
  DescriptorWriter writer{descriptor, false};
  return CTRFileLoopWithWriteBlock(buffer + first, kNumberBufferSize - 1 - first,
                                   CTRWriteBlock(writer), false);
}

bool CTRWriteUnsignedToDescriptor(int descriptor, std::uint64_t value, bool hexadecimal) {
  char buffer[kNumberBufferSize];
  const std::size_t first = formatNumber(buffer, value, false, hexadecimal);
  return CTRFileWriteWithRetries(descriptor, buffer + first, kNumberBufferSize - 1 - first);
}

bool CTRWriteSignedToDescriptor(int descriptor, std::int64_t value) {
  char buffer[kNumberBufferSize];
  const bool negative = value < 0;
  const std::uint64_t magnitude =
      negative ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value);
  const std::size_t first = formatNumber(buffer, magnitude, negative, false);
  return CTRFileWriteWithRetries(descriptor, buffer + first, kNumberBufferSize - 1 - first);
}

// --- structure -------------------------------------------------------------

void CTRFileBeginSection(CTRFile* file, const char* name) {
  openContainer(file, '{');
  writeKey(file, name);
}

void CTRFileEndSection(CTRFile* file) {
  closeContainer(file, '}');
  CTRFileWriteRaw(file, "\n", 1);
}

void CTRFileBeginObject(CTRFile* file) { openContainer(file, '{'); }
void CTRFileEndObject(CTRFile* file) { closeContainer(file, '}'); }
void CTRFileBeginArray(CTRFile* file) { openContainer(file, '['); }
void CTRFileEndArray(CTRFile* file) { closeContainer(file, ']'); }

void CTRFileWriteKey(CTRFile* file, const char* name) { writeKey(file, name); }

void CTRFileWriteUnsignedField(CTRFile* file, const char* name, std::uint64_t value) {
  writeKey(file, name);
  writeNumber(file, value, false);
}

void CTRFileWriteSignedField(CTRFile* file, const char* name, std::int64_t value) {
  writeKey(file, name);
  const bool negative = value < 0;
  writeNumber(file,
              negative ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value),
              negative);
}

void CTRFileWriteStringField(CTRFile* file, const char* name, const char* text) {
  writeKey(file, name);
  writeString(file, text, text ? cStringLength(text) : 0);
}

void CTRFileWriteStringFieldIfNotEmpty(CTRFile* file, const char* name,
                                       const platform::Value& string) {
  if (!string.isString()) return;
  const std::string_view text = string.stringView();
  if (text.empty()) return;
  writeKey(file, name);
  writeString(file, text.data(), text.size());
}

void CTRFileWriteHexField(CTRFile* file, const char* name, const char* text) {
  writeKey(file, name);
  writeHex(file, text);
}

void CTRFileWriteBoolField(CTRFile* file, const char* name, bool flag) {
  writeKey(file, name);
  CTRFileWriteRaw(file, flag ? "true" : "false", flag ? 4 : 5);
  file->needsComma = true;
}

void CTRFileAppendUnsigned(CTRFile* file, std::uint64_t value) { writeNumber(file, value, false); }

void CTRFileAppendString(CTRFile* file, const char* text) {
  writeString(file, text, text ? cStringLength(text) : 0);
}

void CTRFileAppendHex(CTRFile* file, const char* text) { writeHex(file, text); }

// --- reading and string conversion -----------------------------------------

platform::Value CTRFileReadSections(const char* path, bool deleteIfUnreadable,
                                    const CTRSectionTransform& transform) {
  if (!CTRIsValidPointer(path)) {
    CTR_SDK_LOG_ERROR("Error: input path is invalid\n");
    return {};
  }
  std::string contents;
  bool readable = false;
  {
    std::ifstream in(path, std::ios::binary);
    if (in) {
      contents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      readable = !in.bad() && platform::isValidUTF8(contents);
    }
  }
  if (!readable) {
    if (deleteIfUnreadable) ::unlink(path);
    CTR_SDK_LOG_WARN("Unable to read file %s\n", path);
    return {};
  }
  platform::Value sections = platform::Value::mutableArray();
  std::size_t start = 0;
  while (start <= contents.size()) {
    std::size_t end = contents.find('\n', start);
    if (end == std::string::npos) end = contents.size();
    const std::string_view line(contents.data() + start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    platform::Value parsed = codecs::objectFromJSONString(line);
    if (parsed.isNone()) continue;
    if (transform) {
      platform::Value transformed = transform(parsed);
      if (!transformed.isNone()) sections.append(std::move(transformed));
    } else {
      sections.append(std::move(parsed));
    }
  }
  return sections;
}

std::optional<std::string> CTRHexDecodeString(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    const std::uint8_t high = CTRHexValueOfCharacter(text[i]);
    const std::uint8_t low = CTRHexValueOfCharacter(text[i + 1]);
    if (high == 255 || low == 255) break;
    bytes.push_back(static_cast<char>((high << 4) | low));
  }
  const std::size_t zero = bytes.find('\0');
  if (zero != std::string::npos) bytes.resize(zero);
  if (!platform::isValidUTF8(bytes)) return std::nullopt;
  return bytes;
}

std::string CTRHexEncodeString(const char* text) {
  if (text == nullptr) return {};
  const std::size_t length = cStringLength(text);
  std::string out(length * 2, '\0');
  for (std::size_t i = 0; i < length; ++i) {
    CTRHexFromByte(static_cast<std::uint8_t>(text[i]), out.data() + 2 * i);
  }
  return out;
}

std::size_t CTRFormatUnsigned(char* buffer, std::uint64_t value, bool hexadecimal) {
  return formatNumber(buffer, value, false, hexadecimal);
}

}  // namespace sdk
