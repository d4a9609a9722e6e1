#include "client/core/switchable_server.h"

#include "client/core/model_properties.h"

namespace client {

using platform::Value;
using namespace model_detail;

class SwitchableServerTable {
 public:
  static codecs::PropertyTable build() {
    using S = SwitchableServer;
    return codecs::PropertyTableBuilder<S>("SwitchableServer", nullptr)
        .custom(stringProperty("city", &S::city_))
        .custom(stringProperty("country", &S::country_))
        .custom(stringProperty("prefix", &S::prefix_))
        .property("staticserv", &S::staticserv_)
        .build();
  }
};

const codecs::PropertyTable& SwitchableServer::table() {
  static const codecs::PropertyTable t = SwitchableServerTable::build();
  return t;
}

SwitchableServer::Ptr SwitchableServer::instanceFromDictionary(const Value& dictionary) {
  auto server = std::make_shared<SwitchableServer>();
  server->setAttributesFromDictionary(dictionary);
  return server;
}

void SwitchableServer::setAttributesFromDictionary(const Value& dictionary) {
  if (!dictionary.isDictionary()) return;
  for (const auto& [key, value] : dictionary.pairs()) {
    if (key.isString()) setValue(key.asString(), value);
  }
}

void SwitchableServer::setValue(const std::string& key, const Value& value) {
  if (setValueForKey(key, value)) return;
  if (key == "static") setValueForKey("staticserv", value);
}

}  // namespace client
