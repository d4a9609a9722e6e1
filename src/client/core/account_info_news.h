// AccountInfoNews: the news item of a login or switch reply ("text", "url",
// "warning"). Built by plain key-value setting; other keys are ignored.
//
// Thread safety: one object, used on the main thread.
#pragma once

#include <memory>

#include "codecs/property_table.h"
#include "platform/foundation/value.h"

namespace client {

class AccountInfoNews : public codecs::PropertyObject {
 public:
  using Ptr = std::shared_ptr<AccountInfoNews>;
  static const codecs::PropertyTable& table();
  const codecs::PropertyTable& propertyTable() const override { return table(); }

  // A new item; only a dictionary argument sets anything.
  static Ptr instanceFromDictionary(const platform::Value& dictionary);

  const platform::Value& text() const { return text_; }
  const platform::Value& url() const { return url_; }
  bool warning() const { return warning_; }

 private:
  friend class AccountInfoNewsTable;
  platform::Value text_, url_;
  bool warning_ = false;
};

}  // namespace client
