// PPTPWrapper: a direct PPP connection run from the client process itself
// (not through the helper): the PPP daemon runs on a pseudo-terminal, and its
// log lines drive the connection's notifications. "VPNConnectNotification"
// is posted when the link is up and "VPNDisconnectNotification" once when it
// has ended (failures included), both on the main thread with no object.
//
// The dialer is the installation's own pppd when it ships one, else the
// system's. L2TP needs the system's IPSec service, which only the helper
// drives: a direct L2TP connect ends at once with a log line. The account's credentials go to the
// daemon in an options file that only the user can read (never on its command line), removed when
// the connection ends.
//
// Guarantees:
//  1. One "VPNDisconnectNotification" per Start: from the log, from the
//     daemon's exit, or from Disconnect, whichever comes first.
//  2. Lines that arrive after Disconnect was called are logged but change
//     nothing.
//  3. Disconnect blocks its caller for the settle delay (3 s, 5 s for L2TP)
//     and then posts on the main thread, waiting for it.
//
// Thread safety: main thread (Start, the log lines); Disconnect may be called
// from another thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client/core/pptp_account.h"
#include "platform/dispatch/time_source.h"
#include "platform/pty/pty_process.h"
#include "platform/system/bundle.h"

namespace client {

class PPTPWrapper : public std::enable_shared_from_this<PPTPWrapper> {
 public:
  // What a wrapper is given at creation; the defaults are production's.
  struct Options {
    // Seconds Disconnect waits for the system to settle, and the extra for L2TP.
    double settleDelay = 3.0;
    double l2tpExtraSettleDelay = 2.0;
    // The time source of that wait (none: the steady clock).
    platform::dispatch::TimeSourcePtr clock;
    // The client installation whose own pppd is preferred (nullptr: the
    // running program's).
    platform::BundlePtr bundle;
  };

  static std::shared_ptr<PPTPWrapper> initWithController(std::shared_ptr<void> controller);
  static std::shared_ptr<PPTPWrapper> initWithController(std::shared_ptr<void> controller,
                                                         const Options& options);
  ~PPTPWrapper();  // interrupts a running dialer

  void SetAccount(PPTPAccount::Ptr account) { account_ = std::move(account); }
  // 0 PPTP, 1 L2TP, 2 SSTP.
  void SetType(std::uint8_t type) { type_ = type; }
  std::uint8_t type() const { return type_; }
  void Start();
  // One log message of the dialer.
  void PPPLog(const std::string& message);
  void Disconnect();
  void FireDisconnectEvent();

  const std::string& dialerPath() const { return dialerPath_; }
  void setDialerPath(std::string path) { dialerPath_ = std::move(path); }
  // The daemon's command line and options file text for the stored account.
  std::vector<std::string> dialerArguments(const std::string& optionsPath) const;
  std::string optionsText() const;

 private:
  PPTPWrapper() = default;
  void ended();
  void removeOptions();

  std::shared_ptr<void> controller_;
  PPTPAccount::Ptr account_;
  std::string dialerPath_;
  std::string optionsPath_;
  std::shared_ptr<platform::pty::PtyProcess> task_;
  std::atomic<bool> disconnecting_{false};
  bool observing_ = false;
  bool fired_ = false;
  std::uint8_t type_ = 0;
  double settle_ = 3.0, l2tpExtra_ = 2.0;
  platform::dispatch::TimeSourcePtr clock_;
};

}  // namespace client
