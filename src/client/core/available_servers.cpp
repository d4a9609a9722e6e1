#include "client/core/available_servers.h"

namespace client {

using platform::Value;

AvailableServers::Ptr AvailableServers::instanceFromDictionary(const Value& dictionary) {
  auto servers = std::make_shared<AvailableServers>();
  servers->setAttributesFromDictionary(dictionary);
  return servers;
}

void AvailableServers::setAttributesFromDictionary(const Value& dictionary) {
  if (!dictionary.isDictionary()) return;
  for (const auto& [key, value] : dictionary.pairs()) {
    if (key.isString()) setValue(key.asString(), value);
  }
}

void AvailableServers::setValue(const std::string& key, const Value& value) {
  std::optional<List>* target = key == "open" ? &open_ : key == "pptp" ? &pptp_ : nullptr;
  if (target == nullptr || !value.isArray()) return;
  List list;
  for (const Value& element : value.elements()) {
    list.push_back(SwitchableServer::instanceFromDictionary(element));
  }
  *target = std::move(list);
}

}  // namespace client
