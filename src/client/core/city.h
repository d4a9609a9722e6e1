// City: one city an account may use, as the account service describes it
// ("country", "latitude", "longitude", "name", "protos"). Built from a
// service dictionary through the JSON-to-property mapper, archivable under
// its property names.
//
// Thread safety: one object, used from the main thread.
#pragma once

#include <memory>
#include <string>

#include "codecs/property_table.h"
#include "platform/foundation/value.h"

namespace client {

class City : public codecs::PropertyObject {
 public:
  using Ptr = std::shared_ptr<City>;

  static const codecs::PropertyTable& table();
  const codecs::PropertyTable& propertyTable() const override { return table(); }

  // A new city filled from `dictionary` (anything but a dictionary leaves it empty).
  static Ptr instanceFromDictionary(const platform::Value& dictionary);
  // Only a dictionary sets anything (through the JSON-to-property mapper).
  void setAttributesFromDictionary(const platform::Value& dictionary);

  // "country", "latitude", "longitude", "name", "protos", each only when set.
  platform::Value dictionaryRepresentation() const;
  // "%@ - %@" with country and name.
  std::string generateFullName() const;

  // Keyed archive: the five keys plus "$class" = "City". unarchive gives
  // nullptr for anything that is not a City archive.
  platform::Value archive() const;
  static Ptr unarchive(const platform::Value& archive);

  const platform::Value& country() const { return country_; }
  const platform::Value& latitude() const { return latitude_; }
  const platform::Value& longitude() const { return longitude_; }
  const platform::Value& name() const { return name_; }
  const platform::Value& protos() const { return protos_; }
  void setCountry(platform::Value v) { country_ = std::move(v); }
  void setLatitude(platform::Value v) { latitude_ = std::move(v); }
  void setLongitude(platform::Value v) { longitude_ = std::move(v); }
  void setName(platform::Value v) { name_ = std::move(v); }
  void setProtos(platform::Value v) { protos_ = std::move(v); }

 private:
  platform::Value country_, latitude_, longitude_, name_, protos_;
};

}  // namespace client
