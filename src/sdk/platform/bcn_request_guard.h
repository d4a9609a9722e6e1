// sdk::BCNRequestGuard: what every request of the SDK may do on the wire.
//
// Guarantees:
//  1. A request goes only to the origin it was built for: a redirect to
//     another scheme, host or port is refused and the load fails with
//     redirectRefusedError(), so the caller keeps its data and judges the
//     outcome as a transport failure. The connection's own redirect rules
//     (which also turn a redirected POST into a body-less GET) never decide
//     for the SDK.
//  2. The SDK's credential headers (the API key and the developer token)
//     never leave over plain HTTP: requestForSending() removes them from a
//     request whose scheme is not "https".
// Not promised: anything about what the server does with the request.
//
// Thread safety: all functions may be called from any thread; the test
// allowance is meant to be set once before a test starts loading.
#pragma once

#include "platform/foundation/error.h"
#include "platform/foundation/url.h"
#include "platform/urlloading/url_request.h"

namespace sdk {

inline constexpr const char* kBCNRequestGuardErrorDomain = "BCNRequestGuard";
// The redirect left the request's origin.
inline constexpr std::int64_t kBCNRequestGuardCrossOriginRedirect = 1;

class BCNRequestGuard {
 public:
  // Same scheme, host (ignoring case) and port (the scheme's default when
  // none is written).
  static bool isSameOrigin(const platform::URL& a, const platform::URL& b);
  // True when `redirected` may be followed from a load that began at `original`.
  static bool mayFollowRedirect(const platform::URL& original, const platform::URL& redirected);
  // `request` without the credential headers when it is not sent over HTTPS
  // (unless the test allowance is set).
  static platform::urlloading::URLRequest requestForSending(
      platform::urlloading::URLRequest request);
  // True when `request` carries one of the credential headers.
  static bool carriesCredentials(const platform::urlloading::URLRequest& request);
  static platform::Error redirectRefusedError(const platform::URL& from, const platform::URL& to);

  // Tests whose local servers speak plain HTTP still see the credential
  // headers with this set. Never set outside tests.
  static void setAllowsCredentialsOverPlainHTTPForTesting(bool allows);
};

}  // namespace sdk
