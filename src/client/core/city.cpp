#include "client/core/city.h"

#include "client/core/model_properties.h"
#include "codecs/json_property_mapper.h"
#include "platform/foundation/format.h"

namespace client {

using platform::Value;
using namespace model_detail;

const codecs::PropertyTable& City::table() {
  static const codecs::PropertyTable t = codecs::PropertyTableBuilder<City>("City", nullptr)
                                             .custom(stringProperty("country", &City::country_))
                                             .custom(numberProperty("latitude", &City::latitude_))
                                             .custom(numberProperty("longitude", &City::longitude_))
                                             .custom(stringProperty("name", &City::name_))
                                             .custom(stringProperty("protos", &City::protos_))
                                             .build();
  return t;
}

City::Ptr City::instanceFromDictionary(const Value& dictionary) {
  auto city = std::make_shared<City>();
  city->setAttributesFromDictionary(dictionary);
  return city;
}

void City::setAttributesFromDictionary(const Value& dictionary) {
  if (!dictionary.isDictionary()) return;
  codecs::setValuesForKeysWithJSONDictionary(*this, dictionary);
}

Value City::dictionaryRepresentation() const {
  Value out = Value::mutableDictionary();
  setIfPresent(out, "country", country_);
  setIfPresent(out, "latitude", latitude_);
  setIfPresent(out, "longitude", longitude_);
  setIfPresent(out, "name", name_);
  setIfPresent(out, "protos", protos_);
  return out;
}

std::string City::generateFullName() const { return platform::format("%@ - %@", country_, name_); }

Value City::archive() const {
  Value out = dictionaryRepresentation();
  out.set("$class", "City");
  return out.copy();
}

City::Ptr City::unarchive(const Value& archive) {
  if (!archive.isDictionary() || archive["$class"].asString() != "City") return nullptr;
  auto city = std::make_shared<City>();
  for (const char* key : {"country", "latitude", "longitude", "name", "protos"}) {
    city->setValueForKey(key, archive[key]);
  }
  return city;
}

}  // namespace client
