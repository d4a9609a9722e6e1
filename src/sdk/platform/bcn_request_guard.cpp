#include "sdk/platform/bcn_request_guard.h"

#include <atomic>
#include <string>

#include "platform/foundation/value.h"
#include "platform/urlloading/url_connection.h"

namespace sdk {
namespace {

std::atomic<bool> gAllowCredentialsOverPlainHTTP{false};

constexpr const char* kCredentialHeaders[] = {"X-Crashtrail-API-Key",
                                              "X-Crashtrail-Developer-Token"};

std::string lowered(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

int effectivePort(const platform::URL& url) {
  if (url.port()) return *url.port();
  if (url.scheme() == "https") return 443;
  if (url.scheme() == "http") return 80;
  return -1;
}

}  // namespace

bool BCNRequestGuard::isSameOrigin(const platform::URL& a, const platform::URL& b) {
  if (!a.isValid() || !b.isValid()) return false;
  return a.scheme() == b.scheme() && lowered(a.host()) == lowered(b.host()) &&
         effectivePort(a) == effectivePort(b);
}

bool BCNRequestGuard::mayFollowRedirect(const platform::URL& original,
                                        const platform::URL& redirected) {
  return isSameOrigin(original, redirected);
}

bool BCNRequestGuard::carriesCredentials(const platform::urlloading::URLRequest& request) {
  for (const char* name : kCredentialHeaders) {
    if (request.valueForHTTPHeaderField(name)) return true;
  }
  return false;
}

platform::urlloading::URLRequest BCNRequestGuard::requestForSending(
    platform::urlloading::URLRequest request) {
  if (request.url().scheme() == "https" || gAllowCredentialsOverPlainHTTP.load()) return request;
  // Header names are matched without regard to case by the field table.
  for (const char* name : kCredentialHeaders) request.allHTTPHeaderFields().remove(name);
  return request;
}

platform::Error BCNRequestGuard::redirectRefusedError(const platform::URL& from,
                                                      const platform::URL& to) {
  return platform::Error(
      kBCNRequestGuardErrorDomain, kBCNRequestGuardCrossOriginRedirect,
      platform::Value::dictionary(
          {{"NSLocalizedDescription",
            platform::Value("Refused a redirect that leaves the request's origin.")},
           {"NSErrorFailingURLKey", platform::Value(from.absoluteString())},
           {"RedirectURL", platform::Value(to.absoluteString())}}));
}

void BCNRequestGuard::setAllowsCredentialsOverPlainHTTPForTesting(bool allows) {
  gAllowCredentialsOverPlainHTTP.store(allows);
}

}  // namespace sdk
