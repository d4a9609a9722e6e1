// NKOperationClass: what stands for an operation class at run time: its
// name, its superclass, how to make an instance for a request and how it
// claims a request. The HTTP client keeps classes by name in its registry
// and resolves the names through NKOperationClass::named.
//
// Thread safety: descriptors are immutable once made; the name registry is
// guarded by a lock.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/urlloading/url_request.h"

namespace net::http {

class NKURLConnectionOperation;

struct NKOperationClass {
  using Factory =
      std::function<std::shared_ptr<NKURLConnectionOperation>(platform::urlloading::URLRequest)>;
  using Claim = std::function<bool(const platform::urlloading::URLRequest&)>;

  // Registers the class under `name` (a later class of the same name replaces it).
  NKOperationClass(std::string name, const NKOperationClass* superclass, Factory create,
                   Claim canProcessRequest);

  std::string name;
  const NKOperationClass* superclass;
  Factory create;
  Claim canProcessRequest;

  // True for the class itself and for every class derived from `other`.
  bool isSubclassOf(const NKOperationClass& other) const;
  // The class registered under `name`; nullptr when none (the built-in
  // classes of this library are always known).
  static const NKOperationClass* named(std::string_view name);
};

}  // namespace net::http
