// platform::plist::readBinary: the binary property-list format ("bplist00"),
// read into platform::Value. platform::plist::parse calls it for input that
// starts with the binary header; it is declared apart so that it can be
// fuzzed on its own.
//
// Guarantees (the input is untrusted, e.g. a download):
//  1. Every offset, length and object reference is checked against the
//     input before use; arithmetic cannot overflow.
//  2. An object that (directly or not) contains itself is refused, and so is
//     nesting deeper than kMaxDepth. Each object is decoded once however
//     often it is referenced, so the work is linear in the input.
//  3. Collections it returns are immutable. Integers keep their kind (the
//     8-byte form is signed; the 16-byte form holds values beyond the signed
//     range, read as unsigned); 1-, 2- and 4-byte floats and doubles read as
//     reals; dates (year 1 to 4001) as platform::Date; ASCII and UTF-16 strings as UTF-8 (an
//     unpaired surrogate is refused); UIDs as {"CF$UID": n}; sets as arrays.
//     Null and fill markers, and dictionary keys that are not strings, are
//     refused.
// Errors are kReadCorruptError in kCocoaErrorDomain with a description.
//
// Thread safety: a pure function; may be called from any thread.
#pragma once

#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace platform::plist {

// The magic at the start of every binary property list.
inline constexpr std::string_view kBinaryHeader = "bplist00";

// The value that `bytes` holds; None and `*error` when it is not a
// well-formed binary property list.
Value readBinary(std::string_view bytes, Error* error = nullptr);

}  // namespace platform::plist
