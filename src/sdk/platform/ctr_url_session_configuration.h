// CTRURLSessionConfiguration: the settings a CTRURLSession is made with.
//
// The factories hand out the platform's own session configuration when the
// platform has a usable session API (CTRURLSession::NSURLSessionShouldBeUsed),
// else a configuration of this class. This platform has no session API of
// its own, so every factory makes one of these; the background factories
// answer nullptr.
//
// What a configuration carries: the additional header fields added to every
// request of a session made with it, a cookie policy (kept, not applied: the
// URL loading layer keeps no cookies) and the launch-event switch, which is
// always off. A copy carries the additional header fields only.
//
// Thread safety: one object, used from one thread at a time. A session
// keeps its own copy, so changing a configuration after making a session
// with it changes nothing for that session.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/value.h"

namespace sdk {

class CTRURLSessionConfiguration {
 public:
  using Ptr = std::shared_ptr<CTRURLSessionConfiguration>;

  // A new configuration of the session layer (the platform offers none).
  static Ptr defaultSessionConfiguration();
  static Ptr ephemeralSessionConfiguration();
  // Background configurations exist only with the platform's session API:
  // nullptr here.
  static Ptr backgroundSessionConfiguration(const std::string& identifier);
  static Ptr backgroundSessionConfigurationWithIdentifier(const std::string& identifier);

  CTRURLSessionConfiguration() = default;

  // A dictionary Value of header name to text (None when unset). Each entry
  // is appended to every request of the session (see CTRURLSession).
  const platform::Value& HTTPAdditionalHeaders() const { return additionalHeaders_; }
  void setHTTPAdditionalHeaders(platform::Value headers);

  std::uint64_t HTTPCookieAcceptPolicy() const { return cookieAcceptPolicy_; }
  void setHTTPCookieAcceptPolicy(std::uint64_t policy) { cookieAcceptPolicy_ = policy; }

  // Always false; setting it has no effect.
  bool sessionSendsLaunchEvents() const { return false; }
  void setSessionSendsLaunchEvents(bool) {}

  // A new configuration with the same additional header fields and nothing else.
  Ptr copy() const;

 private:
  platform::Value additionalHeaders_;
  std::uint64_t cookieAcceptPolicy_ = 0;
};

}  // namespace sdk
