#include "platform/foundation/error.h"

#include <cstring>

namespace platform {

namespace {

// strerror_r comes in a GNU flavour (returns the text) and an XSI flavour
// (fills the buffer); these overloads accept either.
[[maybe_unused]] const char* strerrorResult(const char* text, const char*) { return text; }
[[maybe_unused]] const char* strerrorResult(int rc, const char* buffer) {
  return rc == 0 ? buffer : "Unknown error";
}

std::string errnoText(int err) {
  char buffer[256] = {};
  return strerrorResult(strerror_r(err, buffer, sizeof buffer), buffer);
}

Value dictionaryOrEmpty(Value userInfo) {
  return userInfo.isDictionary() ? std::move(userInfo) : Value::dictionary();
}

std::string stringFor(const Value& userInfo, const char* key) {
  Value v = userInfo[key];
  return v.isNone() ? std::string() : v.description();
}

}  // namespace

Error::Error(std::string domain, std::int64_t code, Value userInfo)
    : domain_(std::move(domain)), code_(code), userInfo_(dictionaryOrEmpty(std::move(userInfo))) {}

Error::Error(std::string domain, std::int64_t code, Value userInfo, Error underlying)
    : Error(std::move(domain), code, std::move(userInfo)) {
  if (!underlying.isNone()) underlying_ = std::make_shared<const Error>(std::move(underlying));
}

Error Error::posix(int err, std::string_view context) {
  std::string text = errnoText(err);
  if (!context.empty()) text = std::string(context) + ": " + text;
  return Error(kPOSIXErrorDomain, err, Value::dictionary({{kLocalizedDescriptionKey, text}}));
}

std::string Error::localizedDescription() const {
  Value v = userInfo_[kLocalizedDescriptionKey];
  if (!v.isNone()) return v.description();
  return "The operation couldn\u2019t be completed. (" + domain_ + " error " +
         std::to_string(code_) + ".)";
}

std::string Error::localizedFailureReason() const {
  return stringFor(userInfo_, kLocalizedFailureReasonErrorKey);
}

std::string Error::localizedRecoverySuggestion() const {
  return stringFor(userInfo_, kLocalizedRecoverySuggestionErrorKey);
}

std::string Error::description() const {
  std::string out = "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" +
                    localizedDescription() + "\"";
  std::string info;
  userInfo_.forEach([&](const Value& key, const Value& value) {
    if (!info.empty()) info += ", ";
    info += key.description() + "=" + value.description();
    return true;
  });
  if (underlying_) {
    if (!info.empty()) info += ", ";
    info += std::string(kUnderlyingErrorKey) + "={" + underlying_->description() + "}";
  }
  if (!info.empty()) out += " UserInfo={" + info + "}";
  return out;
}

}  // namespace platform
