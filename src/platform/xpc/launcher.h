// platform::xpc::Launcher: starts services on demand, the way a socket unit
// does in a real install.
//
// For each launch record it binds the sockets of the record's services and
// watches them. When a client connects and the record's program is not
// running, it starts the program with the listening sockets as descriptors 3
// and up (LISTEN_FDS, LISTEN_PID), stops watching while the program runs, and
// watches again when it exits. A program that exits within a second of its
// start is not restarted before that second is over.
//
// Thread safety: create, add records and stop on one thread; the work runs on
// the queue given at construction.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/error.h"
#include "platform/xpc/service_names.h"

namespace platform::xpc {

class Launcher {
 public:
  explicit Launcher(dispatch::QueuePtr queue = nullptr);
  ~Launcher();  // stops watching; running programs are left running

  // Binds the record's service sockets and watches them; false with `error`
  // when a socket cannot be bound (nothing of the record is kept then).
  bool addRecord(const LaunchRecord& record, Error* error = nullptr);
  // Adds every record of `directory` (default: paths::launchDaemons());
  // returns how many were added.
  int addRecords(const std::string& directory = "");
  void stop();

  // Called on the launcher's queue after each start (pid, or -1 on failure)
  // and exit (wait status).
  void setObserver(std::function<void(const std::string& label, pid_t pid, int status)> observer);

 private:
  struct Service;
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace platform::xpc
