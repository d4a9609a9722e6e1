#include "client/core/server.h"

#include "client/core/model_properties.h"

namespace client {

using platform::Value;
using namespace model_detail;

class ServerTable {
 public:
  static codecs::PropertyTable build() {
    return codecs::PropertyTableBuilder<Server>("Server", nullptr)
        .custom(stringProperty("address", &Server::address_))
        .custom(numberProperty("distance", &Server::distance_))
        .custom(numberProperty("latitude", &Server::latitude_))
        .custom(numberProperty("longitude", &Server::longitude_))
        .build();
  }
};

const codecs::PropertyTable& Server::table() {
  static const codecs::PropertyTable t = ServerTable::build();
  return t;
}

Server::Ptr Server::instanceFromDictionary(const Value& dictionary) {
  auto server = std::make_shared<Server>();
  server->setAttributesFromDictionary(dictionary);
  return server;
}

void Server::setAttributesFromDictionary(const Value& dictionary) {
  if (!dictionary.isDictionary()) return;
  for (const auto& [key, value] : dictionary.pairs()) {
    if (key.isString()) setValueForKey(key.asString(), value);
  }
}

}  // namespace client
