// AvailableServers: the account service's server-list reply, two lists of
// SwitchableServer: "open" (OpenVPN-family servers) and "pptp" (PPTP-family
// servers). A list stays nullopt unless the reply holds an array under its
// key; a reply that is not a dictionary leaves both nullopt.
//
// Thread safety: one object, used on the main thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/core/switchable_server.h"
#include "platform/foundation/value.h"

namespace client {

class AvailableServers {
 public:
  using Ptr = std::shared_ptr<AvailableServers>;
  using List = std::vector<SwitchableServer::Ptr>;

  static Ptr instanceFromDictionary(const platform::Value& dictionary);
  void setAttributesFromDictionary(const platform::Value& dictionary);
  // "open" and "pptp" take only an array; other keys are ignored.
  void setValue(const std::string& key, const platform::Value& value);

  const std::optional<List>& open() const { return open_; }
  const std::optional<List>& pptp() const { return pptp_; }

 private:
  std::optional<List> open_;
  std::optional<List> pptp_;
};

}  // namespace client
