// BaseAccount: one VPN account of the signed-in user, as the account
// service's login and switch replies describe it, and the base of the two
// account kinds (OpenAccount, PPTPAccount).
//
// Guarantees:
//  1. Building from a service dictionary sets each entry by key-value
//     setting: a key equal to a property name sets that property, the
//     service's snake_case keys ("id", "user_id", "plan_id", "plan_name",
//     and the kind's own) set their camelCase property, and any other key is
//     ignored. "cities" takes only an array, each element becoming a City.
//  2. The account dictionary (dictionaryRepresentation) is a new flat
//     dictionary on every call, holding a key only when its value is set,
//     except the BOOL keys ("active", and the kind's own), which are always
//     written. "cities" holds one dictionary per City (its keyed archive), so
//     the record is plain property-list data that the channel can carry.
//  3. archive()/unarchive() round-trip every archived property; unarchive
//     accepts only the three account classes and clears the three flags that
//     the account manager sets (hasOpenServers, hasPPTPServers,
//     isCurrentAccount).
//
// Thread safety: one object, created and used on the main thread.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/core/city.h"
#include "codecs/property_table.h"
#include "ipc/helper_protocol.h"
#include "platform/foundation/value.h"

namespace client {

// Connection type numbers (the client-helper protocol's).
using ipc::ConnectionType;
using enum ipc::ConnectionType;

class BaseAccount : public codecs::PropertyObject {
 public:
  using Ptr = std::shared_ptr<BaseAccount>;

  static const codecs::PropertyTable& table();
  const codecs::PropertyTable& propertyTable() const override { return table(); }

  // A None argument does nothing; otherwise every entry of a dictionary is
  // set with setValue (in the dictionary's order).
  void setAttributesFromDictionary(const platform::Value& dictionary);
  // Key-value setting with the "cities" rule; unknown keys go to
  // setValueForUndefinedKey.
  void setValue(const std::string& key, const platform::Value& value);
  virtual void setValueForUndefinedKey(const std::string& key, const platform::Value& value);

  // The account dictionary (guarantee 2).
  virtual platform::Value dictionaryRepresentation() const;

  // Keyed archive ("$class" names the class) and the reverse (nullptr for
  // anything but an archive of one of the account classes).
  virtual platform::Value archive() const;
  static Ptr unarchive(const platform::Value& archive);

  // --- display strings ---------------------------------------------------
  std::string accountString() const;         // "%@ #W%@" with planName, accountId
  std::string accountLongString() const;     // plus " (%@)" with notes longer than 1 character
  std::string countryString() const;         // "%@, %@" with city, country
  std::string generateLocationName() const;  // "%@ - %@" with country, city
  // generateFullName of each city -> the city (a later equal name wins).
  std::map<std::string, City::Ptr> generateCityDictionary() const;

  // --- kind ----------------------------------------------------------------
  virtual int accountType() const { return 0; }
  bool isOpenAccount() const { return accountType() == 2; }
  bool isPPTPAccount() const { return accountType() == 1; }
  virtual std::string protocolString() const { return "pptp"; }
  virtual bool isCompatibleConnectionType(int type) const;
  virtual int defaultConnectionTypeForAccountType() const { return kConnectionTypeL2TP; }
  bool isself() const { return false; }
  virtual std::string className() const { return "BaseAccount"; }

  // --- properties ------------------------------------------------------------
  const platform::Value& accountId() const { return accountId_; }
  const platform::Value& userId() const { return userId_; }
  const platform::Value& planId() const { return planId_; }
  const platform::Value& planName() const { return planName_; }
  const platform::Value& notes() const { return notes_; }
  const platform::Value& prefix() const { return prefix_; }
  bool active() const { return active_; }
  const platform::Value& assigned() const { return assigned_; }
  // nullopt while no array was ever set.
  const std::optional<std::vector<City::Ptr>>& cities() const { return cities_; }
  const platform::Value& city() const { return city_; }
  const platform::Value& country() const { return country_; }
  bool hasOpenServers() const { return hasOpenServers_; }
  bool hasPPTPServers() const { return hasPPTPServers_; }
  bool isCurrentAccount() const { return isCurrentAccount_; }

  void setAccountId(platform::Value v) { accountId_ = std::move(v); }
  void setUserId(platform::Value v) { userId_ = std::move(v); }
  void setPlanId(platform::Value v) { planId_ = std::move(v); }
  void setPlanName(platform::Value v) { planName_ = std::move(v); }
  void setNotes(platform::Value v) { notes_ = std::move(v); }
  void setPrefix(platform::Value v) { prefix_ = std::move(v); }
  void setActive(bool v) { active_ = v; }
  void setAssigned(platform::Value v) { assigned_ = std::move(v); }
  void setCities(std::optional<std::vector<City::Ptr>> v) { cities_ = std::move(v); }
  void setCity(platform::Value v) { city_ = std::move(v); }
  void setCountry(platform::Value v) { country_ = std::move(v); }
  void setHasOpenServers(bool v) { hasOpenServers_ = v; }
  void setHasPPTPServers(bool v) { hasPPTPServers_ = v; }
  void setIsCurrentAccount(bool v) { isCurrentAccount_ = v; }

  // accountId as a 32-bit integer (an account without an id counts as 0).
  std::int32_t accountId32() const;

 protected:
  // Writers of the base part, used by the kinds.
  void writeBaseDictionary(platform::Value& out) const;
  void writeBaseArchive(platform::Value& out) const;
  void readBaseArchive(const platform::Value& archive);
  static const char* const kBaseArchiveKeys[];

 private:
  void setCitiesFromValue(const platform::Value& value);
  platform::Value citiesValue() const;

  platform::Value accountId_, userId_, planId_, planName_, notes_, prefix_, assigned_, city_,
      country_;
  bool active_ = false;
  std::optional<std::vector<City::Ptr>> cities_;
  bool hasOpenServers_ = false;
  bool hasPPTPServers_ = false;
  bool isCurrentAccount_ = false;
};

}  // namespace client
