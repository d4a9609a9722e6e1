#include "client/core/ppp_dialer.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "client/Singletons/varnel_log.h"
#include "client/core/connection_state.h"
#include "ipc/helper_protocol.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/format.h"
#include "platform/system/bundle.h"
#include "platform/system/file_util.h"
#include "platform/system/notification_center.h"
#include "platform/system/paths.h"

namespace client {

namespace {

bool has(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// pppd options take double-quoted words; a quote or backslash is escaped.
std::string quoted(const std::string& value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n' || c == '\r') continue;
    out += c;
  }
  return out + "\"";
}

std::string text(const platform::Value& v) { return v.isString() ? v.asString() : v.description(); }

void runOnMainAndWait(const std::function<void()>& block) {
  if (platform::dispatch::Queue::main()->isCurrent()) {
    block();
  } else {
    platform::dispatch::Queue::main()->sync(block);
  }
}

}  // namespace

std::shared_ptr<PPTPWrapper> PPTPWrapper::initWithController(std::shared_ptr<void> controller) {
  return initWithController(std::move(controller), Options());
}

std::shared_ptr<PPTPWrapper> PPTPWrapper::initWithController(std::shared_ptr<void> controller,
                                                             const Options& options) {
  std::shared_ptr<PPTPWrapper> wrapper(new PPTPWrapper());
  wrapper->settle_ = options.settleDelay;
  wrapper->l2tpExtra_ = options.l2tpExtraSettleDelay;
  wrapper->clock_ = options.clock;
  wrapper->controller_ = std::move(controller);
  const platform::BundlePtr bundle = options.bundle ? options.bundle : platform::Bundle::main();
  std::string own = bundle ? bundle->resourcePath() + "/pppd" : std::string();
  wrapper->dialerPath_ = !own.empty() && ::access(own.c_str(), X_OK) == 0 ? own : "/usr/sbin/pppd";
  return wrapper;
}

PPTPWrapper::~PPTPWrapper() {
  if (task_) task_->signal(SIGINT);
  removeOptions();
}

std::string PPTPWrapper::optionsText() const {
  std::string host = account_ ? text(account_->ip()) : std::string();
  if (host.empty() && account_) host = text(account_->host());
  std::string out = "nodetach\nlogfd 1\nnoauth\nrefuse-eap\nnoipdefault\ndefaultroute\n";
  if (account_) {
    out += "user " + quoted(text(account_->username())) + "\n";
    out += "password " + quoted(text(account_->password())) + "\n";
  }
  if (type_ == ipc::kConnectionTypePPTP) {
    out += "require-mppe-128\npty " + quoted("pptp " + host + " --nolaunchpppd") + "\n";
  } else if (type_ == ipc::kConnectionTypeSSTP) {
    out += "pty " + quoted("sstpc --nolaunchpppd " + host) + "\n";
  }
  return out;
}

std::vector<std::string> PPTPWrapper::dialerArguments(const std::string& optionsPath) const {
  return {"file", optionsPath};
}

void PPTPWrapper::Start() {
  disconnecting_ = false;
  fired_ = false;
  std::weak_ptr<PPTPWrapper> weak = weak_from_this();
  if (type_ == ipc::kConnectionTypeL2TP || !account_) {
    VarnelLog::sharedInstance().AddToLog(
        type_ == ipc::kConnectionTypeL2TP
            ? "L2TP needs the system's IPSec service and cannot be dialed directly."
            : "No account to dial.");
    platform::dispatch::Queue::main()->async([weak] {
      if (auto self = weak.lock()) self->FireDisconnectEvent();
    });
    return;
  }
  const std::string folder = platform::paths::applicationSupport() + "/VarnelVPN/ppp";
  platform::paths::createDirectories(folder, 0700);
  ::chmod(folder.c_str(), 0700);
  removeOptions();
  optionsPath_ = folder + "/options-" + std::to_string(::getpid());
  platform::Error error;
  if (!platform::files::writeFileAtomically(optionsPath_, optionsText(), 0600, &error)) {
    VarnelLog::sharedInstance().AddToLog("The dialer's options could not be written.");
    optionsPath_.clear();
    platform::dispatch::Queue::main()->async([weak] {
      if (auto self = weak.lock()) self->FireDisconnectEvent();
    });
    return;
  }
  observing_ = true;
  task_ = platform::pty::PtyProcess::launch(
      dialerPath_, dialerArguments(optionsPath_),
      [weak](const std::string& line) {
        if (auto self = weak.lock()) self->PPPLog(line);
      },
      [weak](int) {
        auto self = weak.lock();
        if (!self || self->disconnecting_ || self->fired_) return;
        VarnelLog::sharedInstance().AddToLog("The dialer ended.");
        self->ended();
      },
      &error);
  if (!task_) {
    VarnelLog::sharedInstance().AddToLog(
        platform::format("The dialer could not be started: %@", error.description()));
    ended();
  }
}

void PPTPWrapper::PPPLog(const std::string& log) {
  std::string message = log;
  std::vector<std::string> parts;
  for (std::size_t start = 0;;) {
    std::size_t at = message.find(" : ", start);
    parts.push_back(
        message.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) break;
    start = at + 3;
  }
  if (parts.size() > 1) {
    message.clear();
    for (std::size_t i = 1; i < parts.size(); ++i) message += parts[i];
  }
  std::string clean;
  for (char c : message)
    if (c != '\n') clean += c;
  VarnelLog::sharedInstance().AddToLog(platform::format("%@", clean));
  if (disconnecting_ || !observing_) return;
  if (type_ == ipc::kConnectionTypeSSTP) {
    if (has(clean, "Connection Established")) {
      platform::NotificationCenter::defaultCenter().post(kVPNConnectNotification);
      return;
    }
    if (has(clean, "Connection Terminated") || has(clean, "Connection disconnected")) ended();
    return;
  }
  if (has(clean, "wait_input: Address added.") || has(clean, "local  IP address"))
    platform::NotificationCenter::defaultCenter().post(kVPNConnectNotification);
  if (has(clean, "error") || has(clean, "authentication failed") ||
      has(clean, "PPTP disconnected") || has(clean, "L2TP disconnected") ||
      has(clean, "Address deleted.") || has(clean, "Connection terminated") ||
      has(clean, "Modem hangup"))
    ended();
}

void PPTPWrapper::ended() {
  observing_ = false;
  std::weak_ptr<PPTPWrapper> weak = weak_from_this();
  platform::dispatch::Queue::main()->async([weak] {
    if (auto self = weak.lock()) self->FireDisconnectEvent();
  });
}

void PPTPWrapper::Disconnect() {
  disconnecting_ = true;
  std::shared_ptr<PPTPWrapper> self = shared_from_this();
  runOnMainAndWait([self] { self->observing_ = false; });
  if (task_) task_->signal(SIGTERM);
  VarnelLog::sharedInstance().AddToLog(
      "Disconnection complete. Waiting 3-5 seconds to let OSX fix things up.");
  platform::dispatch::sleepFor(
      clock_, platform::dispatch::seconds(settle_ +
                                          (type_ == ipc::kConnectionTypeL2TP ? l2tpExtra_ : 0.0)));
  if (task_) task_->signal(SIGKILL);  // a dialer that ignored the request
  runOnMainAndWait([self] { self->FireDisconnectEvent(); });
}

void PPTPWrapper::FireDisconnectEvent() {
  if (fired_) return;
  fired_ = true;
  observing_ = false;
  removeOptions();
  VarnelLog::sharedInstance().AddToLog("Firing disconnect event.");
  platform::NotificationCenter::defaultCenter().post(kVPNDisconnectNotification);
}

void PPTPWrapper::removeOptions() {
  if (!optionsPath_.empty()) ::unlink(optionsPath_.c_str());
  optionsPath_.clear();
}

}  // namespace client
