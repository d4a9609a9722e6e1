// platform::Exception: what the design raises for misuse of a component.
// It carries the platform's exception name (for example
// "NSInvalidArgumentException") and the design's exact reason text, plus an
// optional userInfo dictionary. Callers do not catch these in normal flow.
#pragma once

#include <exception>
#include <string>

#include "platform/foundation/value.h"

namespace platform {

inline constexpr const char* kInvalidArgumentException = "NSInvalidArgumentException";
inline constexpr const char* kRangeException = "NSRangeException";
inline constexpr const char* kInternalInconsistencyException = "NSInternalInconsistencyException";
inline constexpr const char* kGenericException = "NSGenericException";
inline constexpr const char* kMallocException = "NSMallocException";

class Exception : public std::exception {
 public:
  Exception(std::string name, std::string reason, Value userInfo = Value());
  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  const Value& userInfo() const { return userInfo_; }
  // "name: reason"
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::string name_, reason_, what_;
  Value userInfo_;
};

}  // namespace platform
