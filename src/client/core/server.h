// Server: a server entry ("address", "distance", "latitude", "longitude")
// that the model offers for service replies that list servers by place.
// Built by plain key-value setting; not archivable.
//
// Thread safety: one object, used from one thread.
#pragma once

#include <memory>

#include "codecs/property_table.h"
#include "platform/foundation/value.h"

namespace client {

class Server : public codecs::PropertyObject {
 public:
  using Ptr = std::shared_ptr<Server>;
  static const codecs::PropertyTable& table();
  const codecs::PropertyTable& propertyTable() const override { return table(); }

  static Ptr instanceFromDictionary(const platform::Value& dictionary);
  // Only a dictionary sets anything; keys other than the four properties are ignored.
  void setAttributesFromDictionary(const platform::Value& dictionary);

  const platform::Value& address() const { return address_; }
  const platform::Value& distance() const { return distance_; }
  const platform::Value& latitude() const { return latitude_; }
  const platform::Value& longitude() const { return longitude_; }

 private:
  friend class ServerTable;
  platform::Value address_, distance_, latitude_, longitude_;
};

}  // namespace client
