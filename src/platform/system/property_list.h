// platform::plist: property lists, read into and written from
// platform::Value. The reader takes the XML format and the binary one; the
// writer writes the XML format.
//
// Supported elements: plist, dict (with key), array, string, integer, real,
// true, false, date (ISO 8601 in UTC, whole seconds) and data (Base64).
// Integers keep their kind: values beyond the signed 64-bit range read as
// unsigned. Reals round-trip exactly; NaN and the infinities are written as
// "nan", "+infinity" and "-infinity".
//
// Guarantees:
//  1. parse never reads external entities and refuses any entity
//     declaration (no entity-expansion attacks); nesting deeper than
//     kMaxDepth is refused. Collections it returns are immutable.
//  2. serialize refuses what the format cannot carry back unchanged instead
//     of writing something else: null or None values, dictionary keys that
//     are not strings, strings that are not valid UTF-8 or that hold control
//     characters XML cannot carry. A carriage return is written as a
//     character reference so it survives the XML line-end normalisation.
//  3. writeFile is atomic (see platform/system/file_util.h).
// Errors are in kCocoaErrorDomain: kReadCorruptError for unreadable input,
// kWriteInvalidError for values that cannot be written, with a description
// under kLocalizedDescriptionKey; file errors are the POSIX ones.
//
// Thread safety: pure functions; may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace platform::plist {

inline constexpr std::int64_t kReadCorruptError = 3840;
inline constexpr std::int64_t kWriteInvalidError = 3851;
inline constexpr int kMaxDepth = 512;

// The format a property list was read in (the values are the platform's).
enum Format : std::uint64_t {
  kXMLFormat = 100,
  kBinaryFormat = 200,
};

// The value that `bytes` holds, in the XML format or (when it starts with
// "bplist00") the binary one (see binary_property_list.h); None and
// `*error` when it is not a well-formed property list. `*format` is set to
// the format found when the value is read.
Value parse(std::string_view bytes, Error* error = nullptr, Format* format = nullptr);

// The XML text of `value` (a complete document with a trailing newline);
// std::nullopt and `*error` when `value` is not a property list.
std::optional<std::string> serialize(const Value& value, Error* error = nullptr);

// True when serialize would accept `value`.
bool isPropertyList(const Value& value);

// A deep immutable copy of `value` (None and `*error` when `value` is not a
// property list). Useful to store a caller's value without sharing its
// mutable collections.
Value immutableCopy(const Value& value, Error* error = nullptr);

// parse of the file's contents (either format).
Value readFile(const std::string& path, Error* error = nullptr, Format* format = nullptr);
// serialize, then an atomic write with permission bits `mode`.
bool writeFile(const std::string& path, const Value& value, unsigned mode = 0644,
               Error* error = nullptr);

}  // namespace platform::plist
