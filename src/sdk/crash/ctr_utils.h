// Small functions that several parts of crash reporting share: hexadecimal
// text, identifiers and digests, file removal, delayed work, symbol lookup
// for one address and a string copy into the crash context's guarded memory.
//
// The hexadecimal, SHA-1 and UUID functions are the SDK's own
// (sdk/platform/bcn_encoding.h) under the names crash reporting uses; one
// implementation serves both.
//
// Async-signal-safe: CTRHexFromByte, CTRHexValueOfCharacter, CTRHexFromBytes
// and CTRUnlinkIfExists. Everything else allocates and is for normal running
// only (CTRCrashContextCopyString runs at start-up).
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/value.h"
#include "platform/system/operation_queue.h"

namespace sdk {

// Two lower-case hex digits of `byte` into output[0..1]; nothing for nullptr.
void CTRHexFromByte(std::uint8_t byte, char* output);
// 0-9 for '0'-'9', 10-15 for 'a'-'f' and 'A'-'F', 255 for anything else.
std::uint8_t CTRHexValueOfCharacter(char character);
// Zeroes 2 × length + 1 bytes of `output`, then writes two digits per byte
// (a terminated C string). Null bytes leave it zeroed; null output does nothing.
void CTRHexFromBytes(const void* bytes, std::size_t length, char* output);
// The bytes of a data Value (or of a string Value) in lower-case hex.
std::string CTRHexStringFromData(const platform::Value& data);
// SHA-1 of the bytes as 40 lower-case hex digits.
std::string CTRSHA1HexDigest(const void* bytes, std::size_t length);
std::string CTRSHA1HexDigestOfData(const platform::Value& data);
// A new UUID, "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
std::string CTRGenerateUUIDString();
// `text` without "-", in lower case.
std::string CTRNormalizeUUIDString(std::string_view text);
std::string CTRGenerateNormalizedUUIDString();

// Removes the file at `path`; true when it was removed or did not exist.
bool CTRUnlinkIfExists(const char* path);

// Runs `block` on `queue` after `seconds`.
void CTRDispatchAfterSeconds(const platform::dispatch::QueuePtr& queue,
                             platform::dispatch::Block block, double seconds);
// After `seconds`, from the default global queue, adds `block` to
// `operationQueue` as an operation. The operation queue is held until then.
void CTROperationQueueAddAfterSeconds(const platform::OperationQueue::Ptr& operationQueue,
                                      std::function<void()> block, double seconds);

// Looks `address` up among the loaded images (dladdr). Found: `block` gets
// the symbol's name and the image's path, each "unknown" when missing. Not
// found: `block` gets two nullptr. The texts live only for the call.
using CTRSymbolInfoBlock = std::function<void(const char* symbolName, const char* imagePath)>;
void CTRSymbolInfoForAddress(std::uintptr_t address, const CTRSymbolInfoBlock& block);

// A terminated copy of `text` in the read-only region of the crash context's
// allocator (malloc when there is no allocator or it is protected or full);
// nullptr for nullptr. Never freed.
const char* CTRCrashContextCopyString(const char* text);

}  // namespace sdk
