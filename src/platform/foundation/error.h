// platform::Error: an error object with a domain string, an integer code, a
// userInfo dictionary (Value) and an optional underlying error. Errors are
// immutable values, cheap to copy; an empty Error (domain "") means "no error".
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace platform {

// Well-known userInfo keys.
inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* kLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
inline constexpr const char* kLocalizedRecoverySuggestionErrorKey = "NSLocalizedRecoverySuggestion";
inline constexpr const char* kUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr const char* kURLErrorKey = "NSErrorFailingURLKey";
inline constexpr const char* kURLErrorFailingURLStringKey = "NSErrorFailingURLStringKey";
inline constexpr const char* kFilePathErrorKey = "NSFilePath";

// Well-known domains.
inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";

class Error {
 public:
  Error() = default;
  Error(std::string domain, std::int64_t code, Value userInfo = Value());
  Error(std::string domain, std::int64_t code, Value userInfo, Error underlying);
  // An error in kPOSIXErrorDomain for errno value `err`, with strerror as its
  // description ("<context>: <strerror>" when a context is given).
  static Error posix(int err, std::string_view context = {});

  bool isNone() const { return domain_.empty(); }
  explicit operator bool() const { return !domain_.empty(); }
  const std::string& domain() const { return domain_; }
  std::int64_t code() const { return code_; }
  const Value& userInfo() const { return userInfo_; }            // a dictionary (maybe empty)
  const Error* underlying() const { return underlying_.get(); }  // nullptr when none

  // userInfo[kLocalizedDescriptionKey] if present, else
  // "The operation couldn’t be completed. (<domain> error <code>.)"
  std::string localizedDescription() const;
  std::string localizedFailureReason() const;       // "" when absent
  std::string localizedRecoverySuggestion() const;  // "" when absent
  // "Error Domain=<domain> Code=<code> \"<description>\" UserInfo={...}"
  std::string description() const;

  friend bool operator==(const Error& a, const Error& b) {
    return a.domain_ == b.domain_ && a.code_ == b.code_;
  }

 private:
  std::string domain_;
  std::int64_t code_ = 0;
  Value userInfo_;
  std::shared_ptr<const Error> underlying_;
};

}  // namespace platform
