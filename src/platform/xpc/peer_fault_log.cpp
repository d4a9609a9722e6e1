#include "platform/xpc/peer_fault_log.h"

#include <cstdio>
#include <mutex>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/format.h"

namespace platform::xpc {

namespace {

constexpr double kSummaryInterval = 1.0;

struct State {
  std::mutex mutex;
  std::function<void(const std::string&)> sink;
  // A second is open from the first event after a quiet second until a
  // summary finds nothing more to tell.
  bool secondOpen = false;
  std::string service;
  PeerFaultLog::Counts window;  // counted since the last line
  PeerFaultLog::Counts total;
};

State& state() {
  static State* s = new State;
  return *s;
}

void write(const std::function<void(const std::string&)>& sink, const std::string& line) {
  if (sink) {
    sink(line);
    return;
  }
  const std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
}

void summarize() {
  State& s = state();
  std::string line;
  std::function<void(const std::string&)> sink;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    const PeerFaultLog::Counts c = s.window;
    s.window = {};
    if (c.notAdmitted + c.overTheLimit + c.malformed == 0) {
      s.secondOpen = false;
      return;
    }
    line = format(
        "xpc: %@: in the last second %llu more connections were refused (%llu not admitted, "
        "%llu over the limit of unserved connections per user) and %llu more peers were "
        "dropped for malformed input",
        s.service, static_cast<unsigned long long>(c.notAdmitted + c.overTheLimit),
        static_cast<unsigned long long>(c.notAdmitted),
        static_cast<unsigned long long>(c.overTheLimit),
        static_cast<unsigned long long>(c.malformed));
    sink = s.sink;
  }
  write(sink, line);
  dispatch::Queue::global()->after(kSummaryInterval, [] { summarize(); });
}

// Counts the event; true when it opens a second (it is then told in full).
bool count(const std::string& service, std::uint64_t PeerFaultLog::Counts::*field,
           std::function<void(const std::string&)>* sink) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++(s.total.*field);
  if (s.secondOpen) {
    ++(s.window.*field);
    return false;
  }
  s.secondOpen = true;
  s.service = service;
  *sink = s.sink;
  return true;
}

void openSecond(const std::function<void(const std::string&)>& sink, const std::string& line) {
  write(sink, line);
  dispatch::Queue::global()->after(kSummaryInterval, [] { summarize(); });
}

}  // namespace

void PeerFaultLog::refusedPeer(const std::string& service, const PeerCredentials& peer,
                               Refusal why) {
  std::function<void(const std::string&)> sink;
  const bool notAdmitted = why == Refusal::NotAdmitted;
  if (!count(service, notAdmitted ? &Counts::notAdmitted : &Counts::overTheLimit, &sink)) return;
  openSecond(sink,
             format("xpc: %@: refused a connection from pid %d (uid %u, %@): %@", service,
                    static_cast<int>(peer.pid), static_cast<unsigned>(peer.uid),
                    peer.executable.empty() ? std::string("?") : peer.executable,
                    notAdmitted ? "not admitted" : "its user holds too many unserved connections"));
}

void PeerFaultLog::malformedInput(const std::string& service, const std::string& reason) {
  std::function<void(const std::string&)> sink;
  if (!count(service, &Counts::malformed, &sink)) return;
  openSecond(sink, format("xpc: %@: malformed input (%@)", service, reason));
}

PeerFaultLog::Counts PeerFaultLog::totals() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.total;
}

void PeerFaultLog::setSinkForTesting(std::function<void(const std::string& line)> sink) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.sink = std::move(sink);
}

}  // namespace platform::xpc
