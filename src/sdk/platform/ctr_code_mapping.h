// sdk::CTRCodeMapping: a record of where a piece of code came from: a file
// URL and a source number. Nothing in the SDK reads it yet.
//
// Thread safety: one object, used from one thread at a time.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/url.h"

namespace sdk {

class CTRCodeMapping {
 public:
  static std::shared_ptr<CTRCodeMapping> mappingWithURL(const platform::URL& url) {
    return std::make_shared<CTRCodeMapping>(url);
  }
  explicit CTRCodeMapping(platform::URL url) : url_(std::move(url)) {}

  const platform::URL& URL() const { return url_; }
  int source() const { return source_; }
  void setSource(int source) { source_ = source; }
  // Never set: always nullopt.
  const std::optional<std::string>& sourceName() const { return sourceName_; }

 private:
  platform::URL url_;
  int source_ = 0;
  std::optional<std::string> sourceName_;
};

}  // namespace sdk
