#include "client/core/account_info_news.h"

#include "client/core/model_properties.h"

namespace client {

using platform::Value;
using namespace model_detail;

class AccountInfoNewsTable {
 public:
  static codecs::PropertyTable build() {
    using N = AccountInfoNews;
    return codecs::PropertyTableBuilder<N>("AccountInfoNews", nullptr)
        .custom(stringProperty("text", &N::text_))
        .custom(stringProperty("url", &N::url_))
        .property("warning", &N::warning_)
        .build();
  }
};

const codecs::PropertyTable& AccountInfoNews::table() {
  static const codecs::PropertyTable t = AccountInfoNewsTable::build();
  return t;
}

AccountInfoNews::Ptr AccountInfoNews::instanceFromDictionary(const Value& dictionary) {
  auto news = std::make_shared<AccountInfoNews>();
  if (!dictionary.isDictionary()) return news;
  for (const auto& [key, value] : dictionary.pairs()) {
    if (key.isString()) news->setValueForKey(key.asString(), value);
  }
  return news;
}

}  // namespace client
