#include "net/http/pinned_certificates.h"

#include <dirent.h>

#include <algorithm>
#include <mutex>
#include <string>

#include "platform/security/trust.h"
#include "platform/system/bundle.h"
#include "platform/system/file_util.h"

namespace net::http {

namespace security = platform::security;

namespace {

std::vector<platform::Bytes> readBundleCertificates() {
  std::vector<platform::Bytes> out;
  auto bundle = platform::Bundle::main();
  if (!bundle) return out;
  const std::string& folder = bundle->resourcePath();
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (dirent* e = ::readdir(dir)) {
      std::string name = e->d_name;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".cer") == 0) names.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (auto bytes = platform::files::readFile(folder + "/" + name)) {
      out.emplace_back(bytes->begin(), bytes->end());
    }
  }
  return out;
}

}  // namespace

NKPinnedCertificates::Ptr NKPinnedCertificates::fromDER(std::vector<platform::Bytes> certificates) {
  auto pins = std::make_shared<NKPinnedCertificates>();
  pins->certificates_ = std::move(certificates);
  for (const platform::Bytes& der : pins->certificates_) {
    auto cert = security::Certificate::fromDER(der);
    if (!cert) continue;
    pins->anchors_.push_back(*cert);
    auto trust = security::ServerTrust::basic({*cert});
    security::TrustResult result;
    if (!trust.evaluate(&result)) continue;
    if (auto key = trust.publicKey()) pins->keys_.push_back(*key);
  }
  return pins;
}

NKPinnedCertificates::Ptr NKPinnedCertificates::bundled() {
  static std::once_flag once;
  static Ptr* pins = nullptr;  // never destroyed: operations may still run at exit
  std::call_once(once, [] { pins = new Ptr(fromDER(readBundleCertificates())); });
  return *pins;
}

}  // namespace net::http
