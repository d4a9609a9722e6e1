// LocalProxy: a real HTTP CONNECT proxy (tinyproxy, as the demo runs for the
// OpenVPN proxy type) on a free loopback port, for loads that go the way a
// desktop's https_proxy setting sends them. With credentials it asks for
// them (BasicAuth): a CONNECT without them is answered 407.
//
// available() is false when the program is not installed (tests skip then).
// The proxy is stopped and its folder removed on destruction.
//
// Thread safety: none needed; one test owns it.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "support/temp_dir.h"

namespace varnel::testing {

class LocalProxy {
 public:
  static constexpr const char* kProgram = "/usr/bin/tinyproxy";
  static bool available();

  // Starts the proxy and waits until it listens; user non-empty: it asks
  // for that user and password. Throws std::runtime_error when it cannot.
  explicit LocalProxy(const std::string& user = {}, const std::string& password = {});
  ~LocalProxy();
  LocalProxy(const LocalProxy&) = delete;
  LocalProxy& operator=(const LocalProxy&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>", what https_proxy is set to.
  std::string url() const;
  // What the proxy logged so far (its connections among it).
  std::string log() const;

 private:
  TempDir dir_{"proxy"};
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace varnel::testing
