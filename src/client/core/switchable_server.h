// SwitchableServer: one entry of the account service's server-list reply
// ("city", "country", "prefix", "static"). "static" sets staticserv; other
// unknown keys are ignored.
//
// Thread safety: one object, used on the main thread.
#pragma once

#include <memory>
#include <string>

#include "codecs/property_table.h"
#include "platform/foundation/value.h"

namespace client {

class SwitchableServer : public codecs::PropertyObject {
 public:
  using Ptr = std::shared_ptr<SwitchableServer>;
  static const codecs::PropertyTable& table();
  const codecs::PropertyTable& propertyTable() const override { return table(); }

  static Ptr instanceFromDictionary(const platform::Value& dictionary);
  // Only a dictionary sets anything, entry by entry.
  void setAttributesFromDictionary(const platform::Value& dictionary);
  void setValue(const std::string& key, const platform::Value& value);

  const platform::Value& city() const { return city_; }
  const platform::Value& country() const { return country_; }
  const platform::Value& prefix() const { return prefix_; }
  bool staticserv() const { return staticserv_; }

 private:
  friend class SwitchableServerTable;
  platform::Value city_, country_, prefix_;
  bool staticserv_ = false;
};

}  // namespace client
