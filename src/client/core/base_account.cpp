#include "client/core/base_account.h"

#include "client/core/model_properties.h"
#include "client/core/open_account.h"
#include "client/core/pptp_account.h"
#include "platform/foundation/format.h"

namespace client {

using platform::Value;
using namespace model_detail;

const codecs::PropertyTable& BaseAccount::table() {
  static const codecs::PropertyTable t = [] {
    codecs::PropertyTableBuilder<BaseAccount> b("BaseAccount", nullptr);
    b.custom(numberProperty("accountId", &BaseAccount::accountId_))
        .custom(numberProperty("userId", &BaseAccount::userId_))
        .custom(numberProperty("planId", &BaseAccount::planId_))
        .custom(stringProperty("planName", &BaseAccount::planName_))
        .custom(stringProperty("notes", &BaseAccount::notes_))
        .custom(stringProperty("prefix", &BaseAccount::prefix_))
        .custom(boolProperty("active", &BaseAccount::active_))
        .custom(stringProperty("assigned", &BaseAccount::assigned_));
    codecs::PropertyDescriptor cities;
    cities.name = "cities";
    cities.ivarName = "_cities";
    cities.typeEncoding = "@\"NSArray\"";
    cities.getter = [](const codecs::PropertyObject& o) {
      return static_cast<const BaseAccount&>(o).citiesValue();
    };
    cities.setter = [](codecs::PropertyObject& o, const Value& v) {
      static_cast<BaseAccount&>(o).setCitiesFromValue(v);
    };
    b.custom(std::move(cities))
        .custom(stringProperty("city", &BaseAccount::city_))
        .custom(stringProperty("country", &BaseAccount::country_))
        .custom(boolProperty("hasOpenServers", &BaseAccount::hasOpenServers_))
        .custom(boolProperty("hasPPTPServers", &BaseAccount::hasPPTPServers_))
        .custom(boolProperty("isCurrentAccount", &BaseAccount::isCurrentAccount_));
    return b.build();
  }();
  return t;
}

void BaseAccount::setAttributesFromDictionary(const Value& dictionary) {
  if (dictionary.isNone()) return;
  for (const auto& [key, value] : dictionary.pairs()) {
    if (key.isString()) setValue(key.asString(), value);
  }
}

void BaseAccount::setValue(const std::string& key, const Value& value) {
  if (!setValueForKey(key, value)) setValueForUndefinedKey(key, value);
}

void BaseAccount::setValueForUndefinedKey(const std::string& key, const Value& value) {
  if (key == "id")
    setValueForKey("accountId", value);
  else if (key == "plan_id")
    setValueForKey("planId", value);
  else if (key == "user_id")
    setValueForKey("userId", value);
  else if (key == "plan_name")
    setValueForKey("planName", value);
  // Every other key is ignored.
}

void BaseAccount::setCitiesFromValue(const Value& value) {
  if (!value.isArray()) return;
  std::vector<City::Ptr> list;
  for (const Value& element : value.elements())
    list.push_back(City::instanceFromDictionary(element));
  cities_ = std::move(list);
}

Value BaseAccount::citiesValue() const {
  if (!cities_) return Value();
  std::vector<Value> out;
  for (const City::Ptr& c : *cities_) out.push_back(c ? c->archive() : Value::dictionary());
  return Value::array(std::move(out));
}

void BaseAccount::writeBaseDictionary(Value& out) const {
  setIfPresent(out, "accountId", accountId_);
  setIfPresent(out, "userId", userId_);
  setIfPresent(out, "planId", planId_);
  setIfPresent(out, "planName", planName_);
  setIfPresent(out, "notes", notes_);
  setIfPresent(out, "prefix", prefix_);
  setIfPresent(out, "assigned", assigned_);
  out.set("active", Value(active_));
  setIfPresent(out, "cities", citiesValue());
  setIfPresent(out, "city", city_);
  setIfPresent(out, "country", country_);
}

Value BaseAccount::dictionaryRepresentation() const {
  Value out = Value::mutableDictionary();
  writeBaseDictionary(out);
  return out;
}

const char* const BaseAccount::kBaseArchiveKeys[] = {"accountId", "userId", "planId",  "planName",
                                                     "notes",     "prefix", "active",  "assigned",
                                                     "cities",    "city",   "country", nullptr};

void BaseAccount::writeBaseArchive(Value& out) const {
  out.set("$class", className());
  for (const char* const* k = kBaseArchiveKeys; *k != nullptr; ++k) {
    setIfPresent(out, *k, valueForKey(*k));
  }
}

void BaseAccount::readBaseArchive(const Value& archive) {
  hasOpenServers_ = false;
  hasPPTPServers_ = false;
  isCurrentAccount_ = false;
  for (const char* const* k = kBaseArchiveKeys; *k != nullptr; ++k) {
    const Value v = archive[*k];
    if (v.isNone()) continue;
    if (std::string_view(*k) == "cities") {
      std::vector<City::Ptr> list;
      for (const Value& e : v.elements()) {
        if (City::Ptr c = City::unarchive(e)) list.push_back(c);
      }
      if (v.isArray()) cities_ = std::move(list);
      continue;
    }
    setValueForKey(*k, v);
  }
}

Value BaseAccount::archive() const {
  Value out = Value::mutableDictionary();
  writeBaseArchive(out);
  return out.copy();
}

BaseAccount::Ptr BaseAccount::unarchive(const Value& archive) {
  if (!archive.isDictionary()) return nullptr;
  const std::string cls = archive["$class"].asString();
  if (cls == "OpenAccount") return OpenAccount::unarchiveOpen(archive);
  if (cls == "PPTPAccount") return PPTPAccount::unarchivePPTP(archive);
  if (cls == "BaseAccount") {
    auto account = std::make_shared<BaseAccount>();
    account->readBaseArchive(archive);
    return account;
  }
  return nullptr;
}

std::string BaseAccount::accountString() const {
  return platform::format("%@ #W%@", planName_, accountId_);
}

std::string BaseAccount::accountLongString() const {
  std::string s = accountString();
  const std::string notes = notes_.isString() ? notes_.asString() : notes_.description();
  std::size_t characters = 0;
  for (unsigned char c : notes) characters += (c & 0xC0) != 0x80 ? 1 : 0;
  if (!notes_.isNone() && characters > 1) s += platform::format(" (%@)", notes_);
  return s;
}

std::string BaseAccount::countryString() const {
  return platform::format("%@, %@", city_, country_);
}

std::string BaseAccount::generateLocationName() const {
  return platform::format("%@ - %@", country_, city_);
}

std::map<std::string, City::Ptr> BaseAccount::generateCityDictionary() const {
  std::map<std::string, City::Ptr> out;
  if (!cities_) return out;
  for (const City::Ptr& c : *cities_) out[c->generateFullName()] = c;
  return out;
}

bool BaseAccount::isCompatibleConnectionType(int) const { return false; }

std::int32_t BaseAccount::accountId32() const {
  return static_cast<std::int32_t>(accountId_.asInt64());
}

}  // namespace client
