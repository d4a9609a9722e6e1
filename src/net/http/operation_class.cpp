#include "net/http/operation_class.h"

#include <map>
#include <mutex>

#include "net/http/http_request_operation.h"
#include "net/http/image_request_operation.h"
#include "net/http/json_request_operation.h"
#include "net/http/property_list_request_operation.h"
#include "net/http/xml_request_operation.h"

namespace net::http {
namespace {

std::mutex& registryMutex() {
  static std::mutex m;
  return m;
}
std::map<std::string, const NKOperationClass*, std::less<>>& registry() {
  // Never destroyed: operations finishing on other threads may look classes
  // up while the process runs its exit handlers.
  static auto* r = new std::map<std::string, const NKOperationClass*, std::less<>>;
  return *r;
}

}  // namespace

NKOperationClass::NKOperationClass(std::string n, const NKOperationClass* super, Factory f,
                                   Claim claim)
    : name(std::move(n)),
      superclass(super),
      create(std::move(f)),
      canProcessRequest(std::move(claim)) {
  std::lock_guard lock(registryMutex());
  registry()[name] = this;
}

bool NKOperationClass::isSubclassOf(const NKOperationClass& other) const {
  for (const NKOperationClass* c = this; c; c = c->superclass) {
    if (c == &other) return true;
  }
  return false;
}

const NKOperationClass* NKOperationClass::named(std::string_view name) {
  // Make sure the library's own classes are known.
  NKHTTPRequestOperation::operationClass();
  NKJSONRequestOperation::operationClass();
  NKPropertyListRequestOperation::operationClass();
  NKXMLRequestOperation::operationClass();
  NKImageRequestOperation::operationClass();
  std::lock_guard lock(registryMutex());
  auto it = registry().find(name);
  return it == registry().end() ? nullptr : it->second;
}

}  // namespace net::http
