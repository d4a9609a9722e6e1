// ServerModel: one row of the server lists (a server's names and the list it
// came from) with the results of its two-part test: the average round-trip
// time measured by the system's ping tool and the download speed measured
// by fetching a fixed test file with the system's curl tool.
//
// Guarantees:
//  1. Every property may be read from any thread while a test writes it
//     (each read is consistent on its own).
//  2. performSpeedTest starts both tools as child processes at once and
//     returns. Each test ends exactly once: "PingCompletedNotification" and
//     "TestCompletedNotification" (object = the model) are posted on the main
//     thread when the ping and the download end, with or without a result,
//     and isPinging / isTesting are NO by then.
//  3. A missing tool, a ping without a summary line ("min/avg/max" = ...),
//     and a download that fails (non-zero exit, killed) leave ping / speed
//     unset; a failed download is never reported as a speed. Each such end
//     says why in pingFailure / speedFailure ("unknown host", "no reply",
//     "connection refused", "timed out", "curl is not installed", ...),
//     which are "" while a test runs, before one ran, and after a result.
//     The download gives up after 10 s without a connection, 60 s in all.
//  4. The download goes to /dev/null: no file is written anywhere.
//  5. The tool paths and the test domain are given at creation (ToolPaths,
//     the defaults when none are given) and each model keeps its own copy:
//     no setting is shared between models, so tests point one model at fake
//     programs without touching any other.
//
// Thread safety: every member may be called from any thread; the child
// processes' callbacks arrive on the main queue and the process-termination
// queue.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace ipc {
class DispatchTask;
}

namespace client {

inline constexpr const char* kPingCompletedNotification = "PingCompletedNotification";
inline constexpr const char* kTestCompletedNotification = "TestCompletedNotification";

class ServerModel : public std::enable_shared_from_this<ServerModel> {
 public:
  using Ptr = std::shared_ptr<ServerModel>;

  // Where the tools live and which domain the test host names end in.
  struct ToolPaths {
    std::string ping = "/bin/ping";
    std::string curl = "/usr/bin/curl";
    std::string python = "/usr/bin/python3";
    // The host of both tests is "<serverName>.<speedTestDomain>" (just the
    // server name when the domain is empty).
    std::string speedTestDomain = "speedtest.varnelvpn.net";
  };

  // A model that runs the default tools / the given ones (guarantee 5).
  static Ptr create();
  static Ptr create(ToolPaths tools);
  ToolPaths tools() const { return tools_; }

  std::string serverName() const;
  std::string cityName() const;
  std::string countryName() const;
  std::string networkName() const;
  std::string type() const;  // "PPTP" or "Open"
  void setServerName(std::string v);
  void setCityName(std::string v);
  void setCountryName(std::string v);
  void setNetworkName(std::string v);
  void setType(std::string v);

  // Whole milliseconds / whole kilobytes per second; nullopt until measured.
  std::optional<long> ping() const;
  std::optional<long> speed() const;
  // Why the last ping / download gave no figure ("" when it did, or runs).
  std::string pingFailure() const;
  std::string speedFailure() const;
  bool testPerformed() const { return testPerformed_; }
  bool isPinging() const { return isPinging_; }
  bool isTesting() const { return isTesting_; }
  bool available() const { return available_; }
  // Child processes of this model whose exit has not been handled yet.
  int runningTools() const { return runningTools_; }
  void setAvailable(bool v) { available_ = v; }

  // Starts both tests (guarantee 2).
  void performSpeedTest();
  // Runs the bundle's "VarnelSpeed.py" with the server name and "8",
  // blocking; its output on exit status 0, else nullopt (also when the
  // script or the interpreter is missing).
  std::optional<std::string> runSpeedScript();

  // The test host: "<serverName>.<domain>".
  std::string testHostName() const;
  // The average of a ping summary line ("rtt min/avg/max/mdev = 1.0/23.9/...",
  // "round-trip min/avg/max/stddev = ..."), truncated; nullopt otherwise.
  static std::optional<long> parsePingSummary(std::string_view text);
  // 16785.0 divided by the seconds (at least a millisecond), truncated.
  static long speedForDuration(double seconds);
  // Why a ping run gave no summary, from its output and exit status.
  static std::string pingFailureReason(std::string_view output, int status);
  // Why a download failed, from curl's exit status (a wait status) and its
  // error output.
  static std::string downloadFailureReason(int status, std::string_view errors);

 private:
  explicit ServerModel(ToolPaths tools) : tools_(std::move(tools)) {}
  void startPing();
  void startDownload();
  void finishPing(std::optional<long> result, std::string failure);
  void finishDownload(std::optional<long> result, std::string failure);

  const ToolPaths tools_;
  mutable std::mutex mutex_;
  std::string serverName_, cityName_, countryName_, networkName_, type_;
  std::optional<long> ping_, speed_;
  std::string pingFailure_, speedFailure_;
  std::atomic<bool> testPerformed_{false}, isPinging_{false}, isTesting_{false}, available_{false};
  std::atomic<int> runningTools_{0};
};

}  // namespace client
