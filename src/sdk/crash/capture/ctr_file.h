// Record files of crash capture: one JSON object per line, keyed by its
// section name, written without allocating and read back by section.
//
// Every file that crash capture writes into a launch's report directory
// uses this format. A line is {"<section>":<object or array>} and "\n".
// Values are written as:
//   unsigned   decimal digits of the 64-bit value (a signed quantity written
//              this way appears as its two's-complement value)
//   signed     "-" and the magnitude when negative, else the digits
//   string     the text between double quotes, escaped as JSON reads it
//              back (\" \\ \u00XX for control characters, \ufffd for a
//              byte that is not valid UTF-8): for names, versions, paths,
//              UUIDs; nullptr is null
//   hex string two lower-case hex digits per byte between double quotes:
//              for every text that a user or the program provides, so that
//              a quote or control character cannot break a line
//   boolean    true / false
// Keys are fixed names of the writers and are not escaped.
//
// Guarantees of the writer:
//  1. Writing (not opening or closing a buffered handle) allocates nothing,
//     takes no lock and calls only write; string and number pieces are
//     assembled in a small local buffer (64 bytes) and written in pieces. An unbuffered handle can
//     be used inside a signal handler and on a crashing thread.
//  2. Separators come from the handle's depth and needs-comma flag; the
//     writer never reads back what it wrote.
//  3. A failed write loses that piece only (the line may then not parse;
//     the reader skips such lines). Failures go to the SDK log.
//  4. Every write goes through a retry loop: short writes continue, at most
//     50 write calls per request, a zero result or a nonsensical one ends it.
//  5. A buffered handle batches small writes into writes of up to 999 bytes;
//     its 1000-byte buffer is allocated at open and freed at close.
// Guarantees of the reader:
//  6. CTRFileReadSections returns the lines that parse as JSON, in file
//     order; lines that do not (the empty piece after the last newline, a
//     line cut short by a crash) are skipped silently.
//
// Thread safety: a handle belongs to one caller at a time; the functions
// keep no global state. The reader may be called from any thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/foundation/value.h"

namespace sdk {

inline constexpr std::size_t kCTRFileBufferSize = 1000;
inline constexpr int kCTRFileMaximumWriteAttempts = 50;

// A record file handle, owned by its caller (usually on its stack).
struct CTRFile {
  std::int32_t descriptor;  // -1 when closed
  std::int32_t depth;       // objects and arrays open on the current line
  bool needsComma;          // the next element or key needs a "," first
  bool buffered;            // writes go through `buffer`
  char* buffer;             // kCTRFileBufferSize bytes while open and buffered
  std::uint64_t bufferedLength;
  std::uint64_t bytesWritten;  // the file's size as far as this handle knows
};

// --- opening and closing ---------------------------------------------------

// Opens `path` write-only, created with mode 0644; appending (the current
// size counts as written) or truncating. Resets every field. False (handle
// unchanged) for a null handle or path or when open fails.
bool CTRFileInitWithPathMode(CTRFile* file, const char* path, bool append, bool buffered);
// CTRFileInitWithPathMode with append: how every crash-capture writer opens.
bool CTRFileInit(CTRFile* file, const char* path, bool buffered);
// Flushes and frees the buffer, stores bytes written in `outOffset` (when
// given), closes the descriptor and resets the handle. False when close fails.
bool CTRFileCloseWithOffset(CTRFile* file, std::uint64_t* outOffset);
bool CTRFileClose(CTRFile* file);
bool CTRFileIsOpen(const CTRFile* file);

// --- raw writing -----------------------------------------------------------

// One write attempt: takes (bytes, length) and returns what write returned.
// A non-owning reference to any callable; it must outlive the call it is
// passed to. Making one allocates nothing.
class CTRWriteBlock {
 public:
  template <class F>
  requires(!std::is_same_v<std::remove_cvref_t<F>, CTRWriteBlock>) CTRWriteBlock(F& f)
      : object_(static_cast<void*>(&f)), call_([](void* o, const void* b, std::size_t n) {
          return static_cast<ssize_t>((*static_cast<F*>(o))(b, n));
        }) {}
  ssize_t operator()(const void* bytes, std::size_t length) const {
    return call_(object_, bytes, length);
  }

 private:
  void* object_;
  ssize_t (*call_)(void*, const void*, std::size_t);
};

bool CTRFileWriteRaw(CTRFile* file, const void* bytes, std::size_t length);
// Writes the buffered bytes and empties the buffer (also after a failure).
void CTRFileFlush(CTRFile* file);
// The retry loop (guarantee 4). Zero bytes fail at once.
bool CTRFileLoopWithWriteBlock(const void* bytes, std::size_t length, CTRWriteBlock writeBlock);
// The retry loop over write(descriptor, ...).
bool CTRFileWriteWithRetries(int descriptor, const void* bytes, std::size_t length);
// A number straight to a descriptor (hexadecimal: lower-case, no prefix).
bool CTRWriteUnsignedToDescriptor(int descriptor, std::uint64_t value, bool hexadecimal);
bool CTRWriteSignedToDescriptor(int descriptor, std::int64_t value);
// The same without any message to the SDK log, for the SDK log's own use.
bool CTRWriteNumberToDescriptorSilently(int descriptor, std::uint64_t magnitude, bool negative,
                                        bool hexadecimal);

// --- structure -------------------------------------------------------------

void CTRFileBeginSection(CTRFile* file, const char* name);
void CTRFileEndSection(CTRFile* file);
void CTRFileBeginObject(CTRFile* file);
void CTRFileEndObject(CTRFile* file);
void CTRFileBeginArray(CTRFile* file);
void CTRFileEndArray(CTRFile* file);
void CTRFileWriteKey(CTRFile* file, const char* name);
void CTRFileWriteUnsignedField(CTRFile* file, const char* name, std::uint64_t value);
void CTRFileWriteSignedField(CTRFile* file, const char* name, std::int64_t value);
void CTRFileWriteStringField(CTRFile* file, const char* name, const char* text);
// Key and plain string only when `string` is a non-empty string (not at
// crash time: it reads a Value).
void CTRFileWriteStringFieldIfNotEmpty(CTRFile* file, const char* name,
                                       const platform::Value& string);
void CTRFileWriteHexField(CTRFile* file, const char* name, const char* text);
void CTRFileWriteBoolField(CTRFile* file, const char* name, bool flag);
void CTRFileAppendUnsigned(CTRFile* file, std::uint64_t value);
void CTRFileAppendString(CTRFile* file, const char* text);
void CTRFileAppendHex(CTRFile* file, const char* text);

// --- reading and string conversion (not at crash time) ---------------------

using CTRSectionTransform = std::function<platform::Value(const platform::Value& section)>;
// The parsed lines of the file at `path` (an array, maybe empty), each passed
// through `transform` when given (a None result drops it). None when the
// path is not valid or the file cannot be read as UTF-8 text; then the file
// is removed when `deleteIfUnreadable` is set.
platform::Value CTRFileReadSections(const char* path, bool deleteIfUnreadable,
                                    const CTRSectionTransform& transform = {});
// Pairs of hex digits (either case) to bytes, up to the first pair that is
// not hex, a trailing odd digit ignored, the bytes up to the first zero
// taken as UTF-8. nullopt when they are not valid UTF-8.
std::optional<std::string> CTRHexDecodeString(std::string_view text);
// The lower-case hex form of a C string ("" for nullptr).
std::string CTRHexEncodeString(const char* text);
// Zeroes the 21-byte buffer, writes the digits so that they end just before
// its last byte and answers the index of the first digit.
std::size_t CTRFormatUnsigned(char* buffer, std::uint64_t value, bool hexadecimal);

}  // namespace sdk
