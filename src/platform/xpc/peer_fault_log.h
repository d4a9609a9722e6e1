// platform::xpc::PeerFaultLog: what the listening side refuses and drops,
// counted and told at a bounded rate.
//
// A service under a flood (connections it refuses, frames it cannot read)
// must not pay a log line per event: the first event after a quiet second
// is told at once, in full; what follows within the second is counted, and
// one summary line a second gives the counts while events go on. So a
// flood writes at most two lines a second, whatever its rate.
//
// Lines go to standard error (the service's journal), or to the sink a test
// sets.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/xpc/peer_credentials.h"

namespace platform::xpc {

class PeerFaultLog {
 public:
  enum class Refusal {
    NotAdmitted,   // the service's peer check refused it
    OverTheLimit,  // its user holds too many connections the service has not served yet
  };
  struct Counts {
    std::uint64_t notAdmitted = 0;
    std::uint64_t overTheLimit = 0;
    std::uint64_t malformed = 0;
  };

  static void refusedPeer(const std::string& service, const PeerCredentials& peer, Refusal why);
  static void malformedInput(const std::string& service, const std::string& reason);

  // Everything counted since the process started.
  static Counts totals();
  // Where the lines go (nullptr: standard error).
  static void setSinkForTesting(std::function<void(const std::string& line)> sink);
};

}  // namespace platform::xpc
