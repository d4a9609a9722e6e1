// NMMock: the scripted NetworkManager of tests/support/nm_mock.py (on its
// own private bus, inside private network and PID namespaces when the test
// may make them), driven line by line from a test.
//
// `start` answers false with `skipReason()` when the mock cannot run here
// (no /usr/bin/python3 with dbusmock, no dbus-daemon). The destructor ends
// the mock and its bus; the namespaces end with them, so nothing stays.
//
// Thread safety: one object, used from the test's thread.
#pragma once

#include <sys/types.h>

#include <string>

namespace varnel::testing {

// The path of a file of tests/support (its scripts).
std::string supportFile(const std::string& name);

class NMMock {
 public:
  NMMock() = default;
  ~NMMock();
  NMMock(const NMMock&) = delete;
  NMMock& operator=(const NMMock&) = delete;

  bool start();
  const std::string& skipReason() const { return skipReason_; }
  // "unix:path=..." of the private bus.
  const std::string& address() const { return address_; }
  // Sends one command (see nm_mock.py) and returns its answer line, without
  // the leading "ok " ("error ..." answers come back whole).
  std::string command(const std::string& line);
  void stop();

 private:
  std::string readLine(int timeoutMs);
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  std::string buffer_, address_, skipReason_;
};

}  // namespace varnel::testing
